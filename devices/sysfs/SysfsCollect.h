// Which sysfs entries are device nodes, and the enumerator and instance ID
// each one gets.
#pragma once

#include <string>
#include <vector>

#include "devices/sysfs/SysfsNode.h"
#include "devices/sysfs/SysfsTree.h"

namespace quillon::devices::sysfs {

// The device nodes of a tree, sorted by path (parents before children). A
// device that cannot be read or vanishes while walking is left out.
std::vector<NodeLocation> CollectNodes(const SysfsTree& tree);

constexpr std::size_t kMaxInstanceId = 200;

// PCI, USB, ACPI, ROOT, STORAGE or the bus name in upper case.
std::string Enumerator(const Node& node);
// ENUMERATOR\HARDWAREID\sysname, at most 200 characters.
std::string InstanceId(const Node& node);

}  // namespace quillon::devices::sysfs
