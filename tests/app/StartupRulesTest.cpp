#include "app/StartupRules.h"

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
                       std::string session = "") {
  return {std::move(qpa), std::move(display), std::move(wayland), std::move(session)};
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
  // QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY, XDG_SESSION_TYPE
  const PlatformCase cases[] = {
      {"no display, command", Env("", "", ""), true, kOffscreen},
      {"no display, window", Env("", "", ""), false, kNoDisplay},
      {"session type alone is no display", Env("", "", "", "x11"), false, kNoDisplay},
      {"X11, command", Env("", ":0", ""), true, kDisplayOrOffscreen},
      {"X11, window", Env("", ":0", ""), false, kDisplayOrOffscreen},
      {"Wayland, window", Env("", "", "wayland-0"), false, kDisplayOrOffscreen},
      {"Wayland, command", Env("", "", "wayland-0"), true, kDisplayOrOffscreen},
      // In command mode a display's platform that cannot answer falls back.
      {"user chose xcb without DISPLAY, command", Env("xcb", "", ""), true, kUserChoiceUnreachable},
      {"user chose xcb, command", Env("xcb", ":0", ""), true, kUserChoiceOrOffscreen},
      {"user chose wayland, command", Env("wayland", "", ""), true, kUserChoiceOrOffscreen},
      {"user chose offscreen, command", Env("offscreen", "", ""), true, kUserChoice},
      {"user chose xcb without DISPLAY, window", Env("xcb", "", ""), false, kUserChoice},
      {"user chose, with display", Env("xcb", ":0", ""), false, kUserChoice},
      {"user chose offscreen, window", Env("offscreen", "", ""), false, kUserChoice},
  };
  for (const PlatformCase& c : cases) {
    EXPECT_EQ(ChoosePlatform(c.environment, c.commandMode), c.expected) << c.what;
  }
}

TEST(PlatformsWithFallbackTest, QtsOrderThenOffscreen) {
  EXPECT_EQ(UserPlatformsWithFallback(Env("xcb:foo=1", ":0", "")), "xcb:foo=1;offscreen");
  EXPECT_EQ(PlatformsWithFallback(Env("", ":0", "", "")), "xcb;offscreen");
  EXPECT_EQ(PlatformsWithFallback(Env("", ":0", "", "x11")), "xcb;offscreen");
  EXPECT_EQ(PlatformsWithFallback(Env("", ":0", "wayland-0", "wayland")), "wayland;xcb;offscreen");
  // Qt follows the session type, not WAYLAND_DISPLAY alone.
  EXPECT_EQ(PlatformsWithFallback(Env("", "", "wayland-0", "")), "xcb;offscreen");
}

// Only command mode on offscreen (or minimal), chosen for want of a display or
// by the user, does without the window toolkit.
TEST(RunsHeadlessTest, Table) {
  using enum PlatformChoice;
  const struct {
    PlatformChoice choice;
    const char* qpa;
    bool commandMode;
    bool headless;
  } cases[] = {
      {kOffscreen, "", true, true},
      {kUserChoice, "offscreen", true, true},
      {kUserChoice, "minimal", true, true},
      {kUserChoice, "offscreen:fontengine=freetype", true, true},
      {kUserChoice, "offscreen;xcb", true, true},
      {kUserChoice, "xcb;offscreen", true, false},  // xcb may answer: boxes
      {kUserChoice, "xcb", true, false},
      {kUserChoiceOrOffscreen, "xcb", true, false},
      {kUserChoiceUnreachable, "xcb", true, true},
      {kUserChoice, "offscreen", false, false},  // a window is always built
      {kDisplayOrOffscreen, "", true, false},
      {kDisplayOrOffscreen, "", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunsHeadless(c.choice, Env(c.qpa, "", ""), c.commandMode), c.headless)
        << c.qpa << " command mode " << c.commandMode;
  }
}

}  // namespace
}  // namespace quillon::app
