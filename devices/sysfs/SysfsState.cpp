// A node's status flags and problem code, and which nodes hold the root file system.
#include "SysfsState.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>

#include "DeviceService.h"
#include "SysfsCollect.h"
#include "SysfsParse.h"

namespace quillon::devices::sysfs {

namespace {

bool IsUsbRootHub(const Node& node) {
  return node.Bus() == "usb" && StartsWith(node.Name(), "usb") &&
         node.Name().find_first_not_of("0123456789", 3) == std::string::npos &&
         node.Name().size() > 3;
}

// Devices that work without a driver of their own.
bool DriverlessByDesign(const Node& node) {
  if (node.Kind() != NodeKind::kBusDevice || node.Bus() == "cpu")
    return true;
  if (const auto pci = PciClassOf(node))
    return pci->base == 0x06;
  if (node.Bus() == "acpi") {
    return AnyId(node, {"LNXSYSTM", "LNXSYBUS", "LNXTHERM", "PNP0A03", "PNP0A08", "PNP0A05",
                        "PNP0A06", "ACPI0004"});
  }
  return false;
}

// A driver was chosen for the device (driver_override names one the bus
// has), yet it is not bound.
bool DriverChosenButUnbound(const Node& node) {
  const auto wanted = node.Attr("driver_override");
  if (!wanted || wanted->empty() || *wanted == "(null)" || *wanted == "none")
    return false;
  const std::string drivers = node.Tree().Sys() + "/bus/" + node.Bus() + "/drivers";
  return node.Tree().Has(drivers, *wanted);
}

}  // namespace

RootChain::RootChain(const SysfsTree& tree, const std::string& devNumber) {
  if (devNumber.empty() || devNumber.find('/') != std::string::npos || !tree.Ok())
    return;
  if (const auto path = tree.Child(tree.Sys() + "/dev/block", devNumber))
    Add(tree, *path, 0);
}

void RootChain::Add(const SysfsTree& tree, const std::string& path, int depth) {
  if (depth > 8 || std::find(dirs_.begin(), dirs_.end(), path) != dirs_.end())
    return;
  dirs_.push_back(path);
  // A mapped or RAID device rests on the devices in its slaves directory.
  if (const auto slaves = tree.Has(path, "slaves") ? tree.Child(path, "slaves") : std::nullopt) {
    for (const std::string& name : tree.List(*slaves)) {
      if (const auto slave = tree.Child(*slaves, name))
        Add(tree, *slave, depth + 1);
    }
  }
}

bool RootChain::Holds(const std::string& nodePath) const {
  for (const std::string& dir : dirs_) {
    if (dir == nodePath || (dir.size() > nodePath.size() && StartsWith(dir, nodePath) &&
                            dir[nodePath.size()] == '/')) {
      return true;
    }
  }
  return false;
}

std::string RootDeviceNumber() {
  struct stat info {};
  if (stat("/", &info) != 0 || major(info.st_dev) == 0)
    return std::string();
  return std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
}

NodeState ReadState(const Node& node, const RootChain& rootChain) {
  NodeState state;
  state.status = DN_NT_ENUMERATOR;
  if (node.Driver()) {
    state.status |= DN_DRIVER_LOADED | DN_STARTED | DN_NT_DRIVER;
  } else if (node.Attr("authorized") == "0" || node.Attr("driver_override") == "none") {
    state.problem = CM_PROB_DISABLED;
  } else if (node.Attr("waiting_for_supplier") == "1") {
    state.problem = CM_PROB_WAITING_ON_DEPENDENCY;
  } else if (DriverlessByDesign(node)) {
    state.status |= DN_STARTED;
  } else if (DriverChosenButUnbound(node)) {
    state.problem = CM_PROB_FAILED_START;
  } else {
    state.problem = CM_PROB_FAILED_INSTALL;
  }
  if (state.problem != 0)
    state.status |= DN_HAS_PROBLEM;
  const bool switchable =
      node.Attr("authorized").has_value() || node.Attr("driver_override").has_value();
  if (switchable && !IsUsbRootHub(node) && !rootChain.Holds(node.Path())) {
    state.status |= DN_DISABLEABLE;
  }
  if (node.Attr("removable") == "removable")
    state.status |= DN_REMOVABLE;
  if (Enumerator(node) == "ROOT")
    state.status |= DN_ROOT_ENUMERATED;
  return state;
}

}  // namespace quillon::devices::sysfs
