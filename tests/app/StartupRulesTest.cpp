#include "StartupRules.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon::app {
namespace {

struct TextCase {
  std::string message;
  std::string expected;
};

TEST(ExceptionBoxTextTest, FullStopRule) {
  const TextCase cases[] = {
      {"", ""},
      {"Access violation", "Access violation."},
      {"Already ends.", "Already ends."},
      {"Code 5", "Code 5."},           // '5' sorts after '.'
      {"What?", "What?."},             // '?' sorts after '.'
      {"Stop!", "Stop!"},              // '!' sorts before '.'
      {"(see above)", "(see above)"},  // ')' sorts before '.'
      {"trailing blank ", "trailing blank "},
      {"a-", "a-"},                       // '-' sorts before '.'
      {"path/", "path/."},                // '/' sorts right after '.'
      {"Ger\xc3\xa4t", "Ger\xc3\xa4t."},  // a byte above 127 sorts after '.'
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(ExceptionBoxText(c.message), c.expected) << "message: " << c.message;
  }
}

TEST(OneLineTest, LineBreaksBecomeBlanks) {
  EXPECT_EQ(OneLine("a\nb\r\nc\rd"), "a b c d");
  EXPECT_EQ(OneLine("plain"), "plain");
}

struct PlatformCase {
  const char* what;
  DisplayEnvironment environment;
  bool commandMode;
  PlatformChoice expected;
};

TEST(ChoosePlatformTest, Table) {
  using enum PlatformChoice;
  const PlatformCase cases[] = {
      {"no display, command", {}, true, kOffscreen},
      {"no display, window", {}, false, kNoDisplay},
      {"X11, command", {"", ":0", ""}, true, kToolkitDefault},
      {"X11, window", {"", ":0", ""}, false, kToolkitDefault},
      {"Wayland, window", {"", "", "wayland-0"}, false, kToolkitDefault},
      {"Wayland, command", {"", "", "wayland-0"}, true, kToolkitDefault},
      {"user chose, command", {"xcb", "", ""}, true, kToolkitDefault},
      {"user chose offscreen, window", {"offscreen", "", ""}, false, kToolkitDefault},
      {"user chose vnc, window", {"vnc", "", ""}, false, kToolkitDefault},
      {"-platform given, window", {"", "", "", true}, false, kToolkitDefault},
      {"-platform given, command", {"", "", "", true}, true, kToolkitDefault},
  };
  for (const PlatformCase& c : cases) {
    EXPECT_EQ(ChoosePlatform(c.environment, c.commandMode), c.expected) << c.what;
  }
}

TEST(HasPlatformOptionTest, SeesQtsOwnOption) {
  const char* withSingle[] = {"quillon", "/deviceCommand=x", "-platform", "vnc", nullptr};
  const char* withDouble[] = {"quillon", "--platform", "offscreen", nullptr};
  const char* without[] = {"quillon", "/platform=x", "-platformpluginpath", "p", nullptr};
  const char* programOnly[] = {"-platform", nullptr};
  EXPECT_TRUE(HasPlatformOption(4, withSingle));
  EXPECT_TRUE(HasPlatformOption(3, withDouble));
  EXPECT_FALSE(HasPlatformOption(4, without));
  EXPECT_FALSE(HasPlatformOption(1, programOnly));
}

}  // namespace
}  // namespace quillon::app
