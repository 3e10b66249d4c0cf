// Which devices quillon-devices shows: --class, --problem, --id and --driver,
// all of those given at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/DeviceSnapshot.h"

namespace quillon::tools {

// A glob ('*' any run, '?' one byte, everything else itself), ignoring the
// case of ASCII letters, taken apart once for the many texts it is matched
// against.
class Glob {
 public:
  explicit Glob(std::string_view pattern);
  bool Matches(std::string_view text) const;

 private:
  bool star_ = false;
  // Lowered: the part before the first star (the whole pattern without
  // one), the parts between stars, and the part after the last.
  std::string head_;
  std::vector<std::string> middle_;
  std::string tail_;
};

struct DeviceFilter {
  std::optional<std::string> className;  // a setup class name or GUID
  bool problem = false;                  // only nodes with a problem (disabled included)
  std::optional<std::string> idPattern;  // a glob over instance ID and hardware IDs
  std::optional<std::string> driver;     // driver (service) or kernel module name

  bool Empty() const { return !className && !problem && !idPattern && !driver; }
  bool Matches(const DeviceEntry& device) const;
  // True when the device fails a filter on its class or status, or on what
  // the ReadWhat bits in `read` name: each filter asked about once, as soon
  // as what it needs is read.
  bool Rejects(const DeviceEntry& device, unsigned read) const;

 private:
  bool ClassMatches(const devices::GUID& guid) const;
  // Answers for the class GUIDs met so far: a machine has a few dozen.
  mutable std::vector<std::pair<devices::GUID, bool>> classAnswers_;
  mutable std::optional<Glob> idGlob_;  // idPattern, taken apart at its first use
};

// Takes `argument` when it is one of the filter switches: true, and `error`
// set when its value is unusable. False for any other argument.
bool ParseFilterArgument(std::string_view argument, DeviceFilter& filter, std::string& error);

// `text` matches the glob `pattern` ('*' any run, '?' one byte, everything
// else itself), ignoring the case of ASCII letters.
bool GlobMatches(std::string_view pattern, std::string_view text);

}  // namespace quillon::tools
