#include "tools/DeviceFilter.h"

#include <cstring>

#include "devices/DeviceText.h"

namespace quillon::tools {

namespace {

using namespace devices;

bool ClassNamed(std::string_view wanted, const GUID& guid) {
  GUID parsed{};
  if (ParseGuid(wanted, parsed))
    return FormatGuid(parsed) == FormatGuid(guid);
  const auto name = SetupClassNameOf(guid);
  return name && EqualsIgnoringCase(*name, wanted);
}

}  // namespace

namespace {

// `segment` (no '*'; '?' any byte; letters lowered) matches `text` at `at`,
// ignoring case.
bool SegmentAt(std::string_view text, std::size_t at, std::string_view segment) {
  if (text.size() - at < segment.size())
    return false;
  for (std::size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] != '?' && segment[i] != AsciiLower(text[at + i]))
      return false;
  }
  return true;
}

// The first place at or after `from` where `segment` matches in `text`;
// npos for none. A loop over the bytes finds the candidates: the IDs are
// short, where a library call for each would cost more than the scan.
std::size_t FindSegment(std::string_view text, std::size_t from, std::string_view segment) {
  const char first = segment.front();
  for (std::size_t at = from; at + segment.size() <= text.size(); ++at) {
    if ((first == '?' || AsciiLower(text[at]) == first) && SegmentAt(text, at, segment))
      return at;
  }
  return std::string_view::npos;
}

}  // namespace

Glob::Glob(std::string_view pattern) {
  std::string lowered(pattern);
  for (char& c : lowered)
    c = AsciiLower(c);
  const std::size_t firstStar = lowered.find('*');
  if (firstStar == std::string::npos) {
    head_ = std::move(lowered);
    return;
  }
  star_ = true;
  const std::size_t lastStar = lowered.rfind('*');
  head_ = lowered.substr(0, firstStar);
  tail_ = lowered.substr(lastStar + 1);
  for (std::size_t from = firstStar + 1; from < lastStar;) {
    const std::size_t star = lowered.find('*', from);
    if (star > from)
      middle_.push_back(lowered.substr(from, star - from));
    from = star + 1;
  }
}

bool Glob::Matches(std::string_view text) const {
  if (!star_)
    return head_.size() == text.size() && SegmentAt(text, 0, head_);
  // The parts between stars, each taken at its first place after the one
  // before: the leftmost place never loses a match a later one would find.
  // Linear in practice, never exponential whatever the pattern.
  if (text.size() < head_.size() + tail_.size() || !SegmentAt(text, 0, head_) ||
      !SegmentAt(text, text.size() - tail_.size(), tail_)) {
    return false;
  }
  std::size_t at = head_.size();
  const std::string_view middle = text.substr(0, text.size() - tail_.size());
  for (const std::string& segment : middle_) {
    at = FindSegment(middle, at, segment);
    if (at == std::string_view::npos)
      return false;
    at += segment.size();
  }
  return true;
}

bool GlobMatches(std::string_view pattern, std::string_view text) {
  return Glob(pattern).Matches(text);
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
  return !Rejects(device, kReadAll);
}

bool DeviceFilter::Rejects(const DeviceEntry& device, unsigned read) const {
  if (className && !ClassMatches(device.classGuid))
    return true;
  if (problem && (device.statusResult != CR_SUCCESS ||
                  (device.problem == 0 && (device.status & DN_HAS_PROBLEM) == 0))) {
    return true;
  }
  if (idPattern && (read & kReadHardwareIds) != 0) {
    if (!idGlob_)
      idGlob_.emplace(*idPattern);
    bool any = device.instanceId.text && idGlob_->Matches(*device.instanceId.text);
    for (const std::string_view id : device.hardwareIds)
      any = any || idGlob_->Matches(id);
    if (!any)
      return true;
  }
  if (driver && (read & kReadDrivers) != 0) {
    const auto same = [&](const TextRead& text) {
      return text.text && EqualsIgnoringCase(*text.text, *driver);
    };
    if (!same(device.driver) && !same(device.driverModule))
      return true;
  }
  return false;
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
