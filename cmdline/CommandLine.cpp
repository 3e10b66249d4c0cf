#include "cmdline/CommandLine.h"

#include <algorithm>
#include <cstddef>

#include "os/LocaleText.h"

namespace quillon::app {
namespace {

// Bytes of the ANSI code page above 127 are letters, not separators: compare
// without the sign a plain char may carry.
bool IsSeparator(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view raw) {
  std::vector<std::string> elements;
  std::size_t i = 0;
  while (true) {
    while (i < raw.size() && IsSeparator(raw[i])) {
      ++i;
    }
    if (i == raw.size()) {
      break;
    }
    std::string element;
    bool quoted = false;
    for (; i < raw.size() && (quoted || !IsSeparator(raw[i])); ++i) {
      if (raw[i] == '"') {
        quoted = !quoted;
      } else {
        element += raw[i];
      }
    }
    elements.push_back(std::move(element));
  }
  if (!elements.empty()) {
    elements.erase(elements.begin());
  }
  return elements;
}

std::vector<std::string> ArgumentsFromArgv(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    std::string argument = argv[i];
    std::erase(argument, '"');
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::string GetSwitchValue(const std::vector<std::string>& arguments, std::string_view name,
                           std::string_view switchCharacters) {
  const std::size_t length = name.size();
  for (const std::string& argument : arguments) {
    // "<c><name>=" and at least one character after it.
    if (argument.size() <= length + 2) {
      continue;
    }
    if (switchCharacters.find(argument[0]) == std::string_view::npos) {
      continue;
    }
    if (!devices::EqualsIgnoringCaseInLocale(std::string_view(argument).substr(1, length), name)) {
      continue;
    }
    if (argument[length + 1] != '=') {
      continue;
    }
    return argument.substr(length + 2);
  }
  return {};
}

}  // namespace quillon::app
