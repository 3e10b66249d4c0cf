// A node's status flags and problem code, and the devices that hold the root
// file system, which are never offered for disabling.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/sysfs/ModuleAliases.h"
#include "devices/sysfs/SysfsNode.h"
#include "devices/sysfs/SysfsTree.h"

namespace quillon::devices::sysfs {

// The block device holding "/" and its ancestors (and those of the devices
// under it, for device-mapper and md): none of them may be disabled.
class RootChain {
 public:
  // `devNumber` is "major:minor"; an unknown number gives an empty chain.
  RootChain(const SysfsTree& tree, const std::string& devNumber);
  bool Holds(const std::string& nodePath) const;

 private:
  void Add(const SysfsTree& tree, const std::string& path, int depth);
  std::vector<std::string> dirs_;
};

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
// `drivers` is asked only about a node without a driver.
NodeState ReadState(const Node& node, const RootChain& rootChain, const ModuleAliases& drivers);

}  // namespace quillon::devices::sysfs
