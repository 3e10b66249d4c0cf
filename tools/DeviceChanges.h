// What changed between two readings of a device source: devices that
// appeared or vanished, and changes of status, problem, name or driver. The
// lines quillon-devices --watch and --since write for them.
#pragma once

#include <string>
#include <vector>

#include "tools/DeviceFilter.h"
#include "tools/DeviceSnapshot.h"

namespace quillon::tools {

struct DeviceChange {
  enum class Kind { kAdded, kRemoved, kChanged };
  Kind kind = Kind::kChanged;
  DeviceEntry before;  // kRemoved, kChanged
  DeviceEntry after;   // kAdded, kChanged
  bool status = false;
  bool problem = false;
  bool name = false;
  bool driver = false;
};

// The changes from `before` to `after`, devices matched by instance ID
// (ignoring case; by handle when it cannot be read): removed ones in the
// order of `before`, then added and changed ones in the order of `after`.
// Only changes of a device `filter` shows, before or after, are kept.
std::vector<DeviceChange> DiffDevices(const std::vector<DeviceEntry>& before,
                                      const std::vector<DeviceEntry>& after,
                                      const DeviceFilter& filter = {});

// "added <line>", "removed <line>" (the lines of the listing), or
// "changed <instance ID> status 0x... -> 0x..., problem 0 (enabled) -> 22 (disabled), ...".
std::string ChangeLine(const DeviceChange& change);
// One JSON object (see the schema's "change").
std::string ChangeJson(const DeviceChange& change);

}  // namespace quillon::tools
