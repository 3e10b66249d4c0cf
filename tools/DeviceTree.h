// quillon-devices --tree: the shown devices indented under their parents.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/DeviceSnapshot.h"

namespace quillon::tools {

// Writes the devices for which `shown` is true (indexes into
// snapshot.devices), each as `line` gives it, two blanks deeper than its
// parent. A parent that is not shown (filtered out, never listed, or known
// only as an ancestor) still groups its children: it stands as its instance
// ID alone, in its own place. Siblings are sorted by name, then instance ID.
void WriteTree(const Snapshot& snapshot, const std::vector<bool>& shown,
               const std::function<std::string(const DeviceEntry&)>& line, std::ostream& out);

}  // namespace quillon::tools
