// Device nodes read from sysfs and their mapping onto the Windows device
// model: which entries are nodes, enumerator and instance ID, setup class,
// description, friendly name, status flags and problem code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DeviceService.h"
#include "IdDatabase.h"
#include "SysfsTree.h"

namespace quillon::devices::sysfs {

enum class NodeKind { kBusDevice, kDisk, kPartition };

// Where a node lives: enough to find it again and re-read its state.
struct NodeLocation {
  std::string path;  // canonical device directory
  std::string bus;   // the bus, or "block" for disks and partitions
  NodeKind kind = NodeKind::kBusDevice;
};

// The ACPI node behind a device (its own directory for the acpi bus).
struct FirmwareNode {
  std::string path;              // empty when there is none
  std::vector<std::string> ids;  // hardware ID first, then compatible IDs, upper case
};

// One node. Attributes are read on first use and kept for the node's life,
// which is that of the open set holding it.
class Node {
 public:
  Node(const SysfsTree& tree, NodeLocation location);

  const SysfsTree& Tree() const { return *tree_; }
  const NodeLocation& Location() const { return location_; }
  const std::string& Path() const { return location_.path; }
  const std::string& Bus() const { return location_.bus; }
  NodeKind Kind() const { return location_.kind; }
  const std::string& Name() const { return name_; }

  // The attribute's text, trailing white space removed; none when absent.
  const std::optional<std::string>& Attr(std::string_view name) const;
  // An attribute parsed as hexadecimal ("0x8086" or "046d").
  std::optional<std::uint32_t> HexAttr(std::string_view name) const;
  // Name of the bound driver, from the `driver` link.
  const std::optional<std::string>& Driver() const;
  const FirmwareNode& Firmware() const;
  // The ACPI or PNP IDs that name this node (empty for other nodes).
  const std::vector<std::string>& PnpIds() const;

 private:
  const SysfsTree* tree_;
  NodeLocation location_;
  std::string name_;
  mutable std::vector<std::pair<std::string, std::optional<std::string>>> attributes_;
  mutable std::optional<std::optional<std::string>> driver_;
  mutable std::optional<FirmwareNode> firmware_;
  mutable std::optional<std::vector<std::string>> pnpIds_;
};

// The two ID databases of a root, opened on first use.
class IdDatabases {
 public:
  explicit IdDatabases(std::string root) : root_(std::move(root)) {}
  const IdDatabase& Pci() const;
  const IdDatabase& Usb() const;

 private:
  std::string root_;
  mutable std::optional<IdDatabase> pci_;
  mutable std::optional<IdDatabase> usb_;
};

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

// The device nodes of a tree, sorted by path (parents before children). A
// device that cannot be read or vanishes while walking is left out.
std::vector<NodeLocation> CollectNodes(const SysfsTree& tree);

// PCI, USB, ACPI, ROOT, STORAGE or the bus name in upper case.
std::string Enumerator(const Node& node);
// ENUMERATOR\HARDWAREID\sysname, at most 200 characters.
std::string InstanceId(const Node& node);
// The setup class name ("Net", "System", ...) and its GUID.
std::string_view SetupClassName(const Node& node);
GUID SetupClassGuid(std::string_view className);
// The description; none when no source names the node.
std::optional<std::string> Description(const Node& node, const IdDatabases& databases);
// The ifalias of the node's one network interface, when set.
std::optional<std::string> FriendlyName(const Node& node);

struct NodeState {
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
};
NodeState ReadState(const Node& node, const RootChain& rootChain);

}  // namespace quillon::devices::sysfs
