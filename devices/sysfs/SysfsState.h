// A node's status flags and problem code, and the devices that hold the root
// file system, which are never offered for disabling.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SysfsNode.h"
#include "SysfsTree.h"

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

struct NodeState {
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
};
NodeState ReadState(const Node& node, const RootChain& rootChain);

}  // namespace quillon::devices::sysfs
