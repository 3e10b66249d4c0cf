// What identifies a node beyond its instance ID: the hardware and compatible
// IDs in the forms Windows gives each bus (most specific first), the bound
// driver's kernel module, the node's place in sysfs, and the node above it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "devices/sysfs/SysfsNode.h"
#include "devices/sysfs/SysfsTree.h"

namespace quillon::devices::sysfs {

struct NodeIds {
  std::vector<std::string> hardware;
  std::vector<std::string> compatible;
};

// From the node's attributes (PCI, USB, ACPI/PNP), else from its instance ID
// and modalias. `instanceId` is the one the node was handed.
NodeIds IdsOf(const Node& node, const std::string& instanceId);

// The kernel module behind the bound driver; none without a driver or for a
// driver built into the kernel without a module entry.
std::optional<std::string> DriverModule(const Node& node);

// The node's folder as the machine names it ("/sys/devices/..."), without
// the tree's root prefix.
std::string SysfsLocation(const Node& node);

// The folder of the node that a node at `path` hangs below: the nearest
// folder above it for which `isNode` is true, or, where a folder on the way
// stands for an ACPI node (a PCI root's "pci0000:00"), that ACPI node's
// folder. None for a node at the top. `isNode` takes a canonical path.
template <typename IsNode>
std::optional<std::string> ParentFolder(const SysfsTree& tree, const std::string& path,
                                        IsNode isNode);

// The ACPI node a plain folder stands for, by its firmware_node link.
std::optional<std::string> AcpiNodeOfFolder(const SysfsTree& tree, const std::string& folder);

template <typename IsNode>
std::optional<std::string> ParentFolder(const SysfsTree& tree, const std::string& path,
                                        IsNode isNode) {
  const std::string top = tree.Sys() + "/devices";
  for (std::string folder = ParentPath(path); folder.size() > top.size() && tree.Contains(folder);
       folder = ParentPath(folder)) {
    if (isNode(folder))
      return folder;
    if (auto acpi = AcpiNodeOfFolder(tree, folder))
      return acpi;
  }
  return std::nullopt;
}

}  // namespace quillon::devices::sysfs
