#include "app/StartupRules.h"

#include <cstddef>
#include <cstdio>

namespace quillon::app {

std::string_view FirstPlatform(const DisplayEnvironment& environment) {
  const std::string_view list = environment.qtQpaPlatform;
  return list.substr(0, list.find_first_of(";:"));
}

PlatformChoice ChoosePlatform(const DisplayEnvironment& environment, bool commandMode) {
  if (!environment.qtQpaPlatform.empty()) {
    const std::string_view first = FirstPlatform(environment);
    if (!commandMode || first == "offscreen" || first == "minimal")
      return PlatformChoice::kUserChoice;
    if (first == "xcb" && environment.display.empty())
      return PlatformChoice::kUserChoiceUnreachable;
    return PlatformChoice::kUserChoiceOrOffscreen;
  }
  if (!environment.display.empty() || !environment.waylandDisplay.empty()) {
    return PlatformChoice::kDisplayOrOffscreen;
  }
  return commandMode ? PlatformChoice::kOffscreen : PlatformChoice::kNoDisplay;
}

bool RunsHeadless(PlatformChoice choice, const DisplayEnvironment& environment, bool commandMode) {
  if (!commandMode)
    return false;
  if (choice == PlatformChoice::kOffscreen || choice == PlatformChoice::kUserChoiceUnreachable)
    return true;
  if (choice != PlatformChoice::kUserChoice)
    return false;
  // The first platform of the list that loads is used, and these always do.
  const std::string_view chosen = FirstPlatform(environment);
  return chosen == "offscreen" || chosen == "minimal";
}

std::string PlatformsWithFallback(const DisplayEnvironment& environment) {
  // Qt 6 prefers Wayland in a Wayland session and falls back to X11; platforms
  // whose plugin is not installed are skipped.
  if (environment.sessionType == "wayland") {
    return "wayland;xcb;offscreen";
  }
  return "xcb;offscreen";
}

std::string UserPlatformsWithFallback(const DisplayEnvironment& environment) {
  return environment.qtQpaPlatform + ";offscreen";
}

std::string ExceptionBoxText(std::string_view message) {
  std::string text(message);
  // Compared as a byte, so that a non-ASCII last character counts as after ".".
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') {
    text += '.';
  }
  return text;
}

bool IsIrrelevantQtMessage(std::string_view message) {
  return message.starts_with("QStandardPaths: XDG_RUNTIME_DIR not set");
}

std::string OneLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;  // CR LF is one break
    }
    line += (text[i] == '\r' || text[i] == '\n') ? ' ' : text[i];
  }
  return line;
}

void WriteExceptionLine(std::string_view message) noexcept {
  try {
    const std::string line =
        std::string(kApplicationTitle) + ": " + OneLine(ExceptionBoxText(message)) + "\n";
    std::fputs(line.c_str(), stderr);
  } catch (...) {
    // Out of memory, most likely: say what we can.
    std::fputs(kApplicationTitle, stderr);
    std::fputs(": an exception could not be shown\n", stderr);
  }
  std::fflush(stderr);
}

}  // namespace quillon::app
