// What a node is called: its description and its friendly name.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "devices/sysfs/IdDatabase.h"
#include "devices/sysfs/SysfsNode.h"

namespace quillon::devices::sysfs {

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

// The description; none when no source names the node.
std::optional<std::string> Description(const Node& node, const IdDatabases& databases);
// The ifalias of the node's one network interface, when set.
std::optional<std::string> FriendlyName(const Node& node);

}  // namespace quillon::devices::sysfs
