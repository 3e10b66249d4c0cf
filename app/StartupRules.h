// Start-up decisions that need no Qt: which platform the application object
// gets, and how an escaped exception is worded.
#pragma once

#include <string>
#include <string_view>

namespace quillon::app {

// What the environment says about reaching a display. An empty value counts
// as unset, as it does for Qt.
struct DisplayEnvironment {
  std::string qtQpaPlatform;      // QT_QPA_PLATFORM
  std::string display;            // DISPLAY
  std::string waylandDisplay;     // WAYLAND_DISPLAY
  bool platformArgument = false;  // -platform given on the command line
};

enum class PlatformChoice {
  kToolkitDefault,  // leave the choice to Qt: the user chose, or a display is there
  kOffscreen,       // command mode with no display: no window is needed
  kNoDisplay,       // window mode with no display: cannot run
};

// Whether Qt's own -platform (or --platform) option is among the arguments of
// main(); Qt then takes the platform from it, whatever the environment says.
bool HasPlatformOption(int argc, const char* const* argv);

// Only meaningful where windows come from a display server (Linux and other
// X11/Wayland systems); Windows always has its desktop.
PlatformChoice ChoosePlatform(const DisplayEnvironment& environment, bool commandMode);

// The text of the box that shows an escaped exception: the message, with a
// full stop added when it is non-empty and its last character sorts after ".".
std::string ExceptionBoxText(std::string_view message);

// `text` on one line, for standard error: line breaks become blanks.
std::string OneLine(std::string_view text);

}  // namespace quillon::app
