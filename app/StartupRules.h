// Start-up decisions that need no Qt: which platform the application object
// gets, whether the window toolkit is needed at all, and how an escaped
// exception is worded.
#pragma once

#include <string>
#include <string_view>

namespace quillon::app {

inline constexpr char kApplicationTitle[] = "Quillon - Varnholt";

// The text shown for an exception that is no std::exception.
inline constexpr char kUnknownException[] = "Unknown exception";

// What the environment says about reaching a display. An empty value counts
// as unset, as it does for Qt.
struct DisplayEnvironment {
  std::string qtQpaPlatform;   // QT_QPA_PLATFORM
  std::string display;         // DISPLAY
  std::string waylandDisplay;  // WAYLAND_DISPLAY
  std::string sessionType;     // XDG_SESSION_TYPE
};

enum class PlatformChoice {
  kUserChoice,  // QT_QPA_PLATFORM: used as it is
  // QT_QPA_PLATFORM names a display's platform in command mode: used, but
  // offscreen after it, so that a display that does not answer leaves the
  // command running instead of aborting.
  kUserChoiceOrOffscreen,
  // QT_QPA_PLATFORM is xcb in command mode, but DISPLAY is not set: no
  // window toolkit, as when no display is named at all.
  kUserChoiceUnreachable,
  // A display is named, but it may not answer (a stale DISPLAY after ssh, no
  // access for root): the usual platforms, then offscreen instead of Qt's abort.
  kDisplayOrOffscreen,
  kOffscreen,  // command mode with no display: no window is needed
  kNoDisplay,  // window mode with no display: cannot run
};

// Only meaningful where windows come from a display server (Linux and other
// X11/Wayland systems); Windows always has its desktop.
PlatformChoice ChoosePlatform(const DisplayEnvironment& environment, bool commandMode);

// Whether the run needs no window toolkit at all: command mode on offscreen
// (chosen for want of a display, or by the user), where nobody could answer
// a box and error boxes become lines on standard error anyway.
bool RunsHeadless(PlatformChoice choice, const DisplayEnvironment& environment, bool commandMode);

// The QT_QPA_PLATFORM list for kDisplayOrOffscreen: the platforms Qt would try
// for this session, in its order, then offscreen.
std::string PlatformsWithFallback(const DisplayEnvironment& environment);

// The text of the box that shows an escaped exception: the message, with a
// full stop added when it is non-empty and its last character sorts after ".".
std::string ExceptionBoxText(std::string_view message);

// The QT_QPA_PLATFORM list for kUserChoiceOrOffscreen: the user's, then offscreen.
std::string UserPlatformsWithFallback(const DisplayEnvironment& environment);

// The first platform QT_QPA_PLATFORM names, without its options.
std::string_view FirstPlatform(const DisplayEnvironment& environment);

// Qt's notice that XDG_RUNTIME_DIR is unset (usual for root over ssh, in
// containers and CI) says nothing about this program, which keeps no runtime
// files; it is dropped so that standard error holds only our own messages.
bool IsIrrelevantQtMessage(std::string_view message);

// `text` on one line, for standard error: line breaks become blanks.
std::string OneLine(std::string_view text);

// Where no box can be shown: the exception box's text as one line on
// standard error, after the application title.
void WriteExceptionLine(std::string_view message) noexcept;

}  // namespace quillon::app
