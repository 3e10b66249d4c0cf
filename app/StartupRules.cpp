#include "StartupRules.h"

#include <cstddef>

namespace quillon::app {

bool HasPlatformOption(int argc, const char* const* argv) {
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-platform" || argument == "--platform") {
      return true;
    }
  }
  return false;
}

PlatformChoice ChoosePlatform(const DisplayEnvironment& environment, bool commandMode) {
  if (!environment.qtQpaPlatform.empty() || environment.platformArgument) {
    return PlatformChoice::kUserChoice;
  }
  if (!environment.display.empty() || !environment.waylandDisplay.empty()) {
    return PlatformChoice::kDisplayOrOffscreen;
  }
  return commandMode ? PlatformChoice::kOffscreen : PlatformChoice::kNoDisplay;
}

std::string PlatformsWithFallback(const DisplayEnvironment& environment) {
  // Qt 6 prefers Wayland in a Wayland session and falls back to X11; platforms
  // whose plugin is not installed are skipped.
  if (environment.sessionType == "wayland") {
    return "wayland;xcb;offscreen";
  }
  return "xcb;offscreen";
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

}  // namespace quillon::app
