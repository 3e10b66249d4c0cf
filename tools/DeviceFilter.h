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

struct DeviceFilter {
  std::optional<std::string> className;  // a setup class name or GUID
  bool problem = false;                  // only nodes with a problem (disabled included)
  std::optional<std::string> idPattern;  // a glob over instance ID and hardware IDs
  std::optional<std::string> driver;     // driver (service) or kernel module name

  bool Empty() const { return !className && !problem && !idPattern && !driver; }
  bool Matches(const DeviceEntry& device) const;

 private:
  bool ClassMatches(const devices::GUID& guid) const;
  // Answers for the class GUIDs met so far: a machine has a few dozen.
  mutable std::vector<std::pair<devices::GUID, bool>> classAnswers_;
};

// Takes `argument` when it is one of the filter switches: true, and `error`
// set when its value is unusable. False for any other argument.
bool ParseFilterArgument(std::string_view argument, DeviceFilter& filter, std::string& error);

// `text` matches the glob `pattern` ('*' any run, '?' one byte, everything
// else itself), ignoring the case of ASCII letters.
bool GlobMatches(std::string_view pattern, std::string_view text);

}  // namespace quillon::tools
