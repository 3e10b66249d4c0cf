// A node's status flags and problem code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/sysfs/ModuleAliases.h"
#include "devices/sysfs/SysfsNode.h"
#include "devices/sysfs/SysfsTree.h"

namespace quillon::devices::sysfs {

// "major:minor" of the file system mounted at "/" on this computer; empty
// when it is no block device.
std::string RootDeviceNumber();

// Devices that work without a driver of their own: PCI bridges, processors,
// disks and partitions, ACPI buses and what the ACPI core serves.
bool DriverlessByDesign(const Node& node);

// How a node is switched off and on: USB devices and interfaces through
// `authorized`, devices of buses that let a driver be chosen through
// `driver_override`; others cannot be.
enum class Switch { kNone, kAuthorized, kDriverOverride };
Switch SwitchOf(const Node& node);

struct NodeState {
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
};
// `drivers` is asked only about a node without a driver; `guard` only about
// one that could be switched off.
class Guard;
NodeState ReadState(const Node& node, const Guard& guard, const ModuleAliases& drivers);

}  // namespace quillon::devices::sysfs
