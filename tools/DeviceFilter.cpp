#include "tools/DeviceFilter.h"

#include <cctype>
#include <cstring>

#include "devices/DeviceText.h"

namespace quillon::tools {

namespace {

using namespace devices;

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool ClassNamed(std::string_view wanted, const GUID& guid) {
  GUID parsed{};
  if (ParseGuid(wanted, parsed))
    return FormatGuid(parsed) == FormatGuid(guid);
  const auto name = SetupClassNameOf(guid);
  return name && EqualsIgnoringCase(*name, wanted);
}

}  // namespace

bool GlobMatches(std::string_view pattern, std::string_view text) {
  // Iterative, with one backtracking point: linear in practice, never
  // exponential whatever the pattern.
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}

bool DeviceFilter::ClassMatches(const GUID& guid) const {
  for (const auto& [known, answer] : classAnswers_) {
    if (std::memcmp(&known, &guid, sizeof guid) == 0)
      return answer;
  }
  const bool answer = ClassNamed(*className, guid);
  classAnswers_.emplace_back(guid, answer);
  return answer;
}

bool DeviceFilter::Matches(const DeviceEntry& device) const {
  if (className && !ClassMatches(device.classGuid))
    return false;
  if (problem && (device.statusResult != CR_SUCCESS ||
                  (device.problem == 0 && (device.status & DN_HAS_PROBLEM) == 0))) {
    return false;
  }
  if (idPattern) {
    bool any = device.instanceId.text && GlobMatches(*idPattern, *device.instanceId.text);
    for (const std::string& id : device.hardwareIds)
      any = any || GlobMatches(*idPattern, id);
    if (!any)
      return false;
  }
  if (driver) {
    const auto same = [&](const TextRead& read) {
      return read.text && EqualsIgnoringCase(*read.text, *driver);
    };
    if (!same(device.driver) && !same(device.driverModule))
      return false;
  }
  return true;
}

bool ParseFilterArgument(std::string_view argument, DeviceFilter& filter, std::string& error) {
  const auto value = [&](std::string_view name, std::optional<std::string>& target) {
    if (argument.substr(0, name.size()) != name)
      return false;
    const std::string_view text = argument.substr(name.size());
    if (text.empty())
      error = std::string(name.substr(0, name.size() - 1)) + " needs a value";
    else if (target)
      error = std::string(name.substr(0, name.size() - 1)) + " is given twice";
    else
      target = std::string(text);
    return true;
  };
  if (argument == "--problem") {
    filter.problem = true;
    return true;
  }
  return value("--class=", filter.className) || value("--id=", filter.idPattern) ||
         value("--driver=", filter.driver);
}

}  // namespace quillon::tools
