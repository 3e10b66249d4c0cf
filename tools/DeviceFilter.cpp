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

namespace {

// `segment` (no '*'; '?' any byte) matches `text` at `at`, ignoring case.
bool SegmentAt(std::string_view text, std::size_t at, std::string_view segment) {
  if (text.size() - at < segment.size())
    return false;
  for (std::size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] != '?' && Lower(segment[i]) != Lower(text[at + i]))
      return false;
  }
  return true;
}

// Where one byte stands next in a text. A search goes on from its last
// hit, and a byte found nowhere is not looked for again.
class NextByte {
 public:
  NextByte(std::string_view text, char c) : text_(text), c_(c) {}
  std::size_t At(std::size_t from) {
    if (!searched_ || (next_ != std::string_view::npos && next_ < from)) {
      searched_ = true;
      const void* hit = std::memchr(text_.data() + from, c_, text_.size() - from);
      next_ = hit == nullptr
                  ? std::string_view::npos
                  : static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data());
    }
    return next_;
  }

 private:
  std::string_view text_;
  char c_;
  bool searched_ = false;
  std::size_t next_ = std::string_view::npos;
};

// The first place at or after `from` where `segment` matches in `text`;
// npos for none. Candidates are found by their first byte, in either case,
// with memchr: each case's search resumes where it stopped, so a text full
// of one case does not make the other's scan the rest of it each time.
std::size_t FindSegment(std::string_view text, std::size_t from, std::string_view segment) {
  if (segment.front() == '?') {
    for (std::size_t at = from; at + segment.size() <= text.size(); ++at) {
      if (SegmentAt(text, at, segment))
        return at;
    }
    return std::string_view::npos;
  }
  const char lower = Lower(segment.front());
  const char upper = lower >= 'a' && lower <= 'z' ? static_cast<char>(lower - 'a' + 'A') : lower;
  NextByte lowers(text, lower);
  NextByte uppers(text, upper);
  while (from + segment.size() <= text.size()) {
    const std::size_t at =
        std::min(lowers.At(from), upper != lower ? uppers.At(from) : std::string_view::npos);
    if (at == std::string_view::npos)
      return std::string_view::npos;
    if (SegmentAt(text, at, segment))
      return at;
    from = at + 1;
  }
  return std::string_view::npos;
}

}  // namespace

bool GlobMatches(std::string_view pattern, std::string_view text) {
  // The parts between stars, each taken at its first place after the one
  // before: the leftmost place never loses a match a later one would find.
  // Linear in practice, never exponential whatever the pattern.
  const std::size_t firstStar = pattern.find('*');
  if (firstStar == std::string_view::npos)
    return pattern.size() == text.size() && SegmentAt(text, 0, pattern);
  const std::string_view head = pattern.substr(0, firstStar);
  const std::size_t lastStar = pattern.rfind('*');
  const std::string_view tail = pattern.substr(lastStar + 1);
  if (text.size() < head.size() + tail.size() || !SegmentAt(text, 0, head) ||
      !SegmentAt(text, text.size() - tail.size(), tail)) {
    return false;
  }
  std::size_t at = head.size();
  const std::size_t end = text.size() - tail.size();
  for (std::size_t from = firstStar + 1; from < lastStar;) {
    const std::size_t star = pattern.find('*', from);
    const std::string_view segment = pattern.substr(from, star - from);
    from = star + 1;
    if (segment.empty())
      continue;
    at = FindSegment(text.substr(0, end), at, segment);
    if (at == std::string_view::npos)
      return false;
    at += segment.size();
  }
  return true;
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
