// A device node read from sysfs: where it is, its attributes (read once and
// kept), its firmware IDs, and the facts about it that the mapping rules
// (SysfsCollect, SysfsClasses, SysfsDescriptions, SysfsState) share.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devices/sysfs/SysfsTree.h"

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
  // Taken from the node's uevent where that carries it (one read for many
  // attributes), else read from the attribute's own file.
  const std::optional<std::string>& Attr(std::string_view name) const;
  // The node's uevent file, read once.
  const std::optional<std::string>& Uevent() const;
  // True when the node has the attribute, read or not.
  bool HasAttr(std::string_view name) const;
  // An attribute parsed as hexadecimal ("0x8086" or "046d").
  std::optional<std::uint32_t> HexAttr(std::string_view name) const;
  // Name of the bound driver, from the `driver` link (asked when needed,
  // not taken from a uevent read earlier: a node gone since has none).
  const std::optional<std::string>& Driver() const;
  const FirmwareNode& Firmware() const;
  // The ACPI or PNP IDs that name this node (empty for other nodes).
  const std::vector<std::string>& PnpIds() const;

 private:
  // The attribute as the node's uevent carries it; none when it does not
  // (or the node lacks the attribute, or its tree reads no uevents).
  std::optional<std::string> FromUevent(std::string_view name) const;

  const SysfsTree* tree_;
  NodeLocation location_;
  std::string name_;
  mutable std::vector<std::pair<std::string, std::optional<std::string>>> attributes_;
  mutable std::optional<std::optional<std::string>> uevent_;
  mutable std::optional<std::optional<std::string>> driver_;
  mutable std::optional<FirmwareNode> firmware_;
  mutable std::optional<std::vector<std::string>> pnpIds_;
};

// ---- Facts about a node that more than one mapping rule reads.

// The modalias, from its own attribute or (cpu devices) from uevent.
std::string ModAlias(const Node& node);

bool IsUsbInterface(const Node& node);
// "usb1", "usb2": the hub in a host controller.
bool IsUsbRootHub(const Node& node);

// Class, subclass and programming interface of a PCI function.
struct PciClass {
  std::uint32_t base = 0;
  std::uint32_t sub = 0;
  std::uint32_t prog = 0;
};
std::optional<PciClass> PciClassOf(const Node& node);

// USB class triple: an interface's own, or for a device that of its one
// interface (the device's own class when it names one).
struct UsbClass {
  std::uint32_t base = 0;
  std::uint32_t sub = 0;
  std::uint32_t protocol = 0;
};
std::optional<UsbClass> UsbClassOf(const Node& node);

// Canonical directories of the class devices `className` below the node
// (sysfs keeps them in a directory named after the class).
std::vector<std::string> ClassDevices(const Node& node, std::string_view className);

// True when one of the node's PnpIds() is among `wanted`.
bool AnyId(const Node& node, std::initializer_list<std::string_view> wanted);

}  // namespace quillon::devices::sysfs
