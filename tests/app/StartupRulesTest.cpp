#include "StartupRules.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

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

DisplayEnvironment Env(std::string qpa, std::string display, std::string wayland,
                       std::string session = "", bool platformOption = false) {
  return {std::move(qpa), std::move(display), std::move(wayland), std::move(session),
          platformOption};
}

TEST(IsIrrelevantQtMessageTest, OnlyTheRuntimeDirectoryNotice) {
  EXPECT_TRUE(IsIrrelevantQtMessage(
      "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'"));
  EXPECT_FALSE(IsIrrelevantQtMessage(
      "QStandardPaths: wrong permissions on runtime directory /run/user/0, 0755 instead of 0700"));
  EXPECT_FALSE(IsIrrelevantQtMessage("qt.qpa.xcb: could not connect to display :9876"));
  EXPECT_FALSE(IsIrrelevantQtMessage(""));
}

struct PlatformCase {
  const char* what;
  DisplayEnvironment environment;
  bool commandMode;
  PlatformChoice expected;
};

TEST(ChoosePlatformTest, Table) {
  using enum PlatformChoice;
  // QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY, XDG_SESSION_TYPE, -platform
  const PlatformCase cases[] = {
      {"no display, command", Env("", "", ""), true, kOffscreen},
      {"no display, window", Env("", "", ""), false, kNoDisplay},
      {"session type alone is no display", Env("", "", "", "x11"), false, kNoDisplay},
      {"X11, command", Env("", ":0", ""), true, kDisplayOrOffscreen},
      {"X11, window", Env("", ":0", ""), false, kDisplayOrOffscreen},
      {"Wayland, window", Env("", "", "wayland-0"), false, kDisplayOrOffscreen},
      {"Wayland, command", Env("", "", "wayland-0"), true, kDisplayOrOffscreen},
      {"user chose, command", Env("xcb", "", ""), true, kUserChoice},
      {"user chose, with display", Env("xcb", ":0", ""), false, kUserChoice},
      {"user chose offscreen, window", Env("offscreen", "", ""), false, kUserChoice},
      {"-platform given, window", Env("", "", "", "", true), false, kUserChoice},
      {"-platform given, command", Env("", ":0", "", "", true), true, kUserChoice},
  };
  for (const PlatformCase& c : cases) {
    EXPECT_EQ(ChoosePlatform(c.environment, c.commandMode), c.expected) << c.what;
  }
}

TEST(PlatformsWithFallbackTest, QtsOrderThenOffscreen) {
  EXPECT_EQ(PlatformsWithFallback(Env("", ":0", "", "")), "xcb;offscreen");
  EXPECT_EQ(PlatformsWithFallback(Env("", ":0", "", "x11")), "xcb;offscreen");
  EXPECT_EQ(PlatformsWithFallback(Env("", ":0", "wayland-0", "wayland")), "wayland;xcb;offscreen");
  // Qt follows the session type, not WAYLAND_DISPLAY alone.
  EXPECT_EQ(PlatformsWithFallback(Env("", "", "wayland-0", "")), "xcb;offscreen");
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
