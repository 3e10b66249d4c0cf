// A node's status flags and problem code.
#include "devices/sysfs/SysfsState.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "devices/DeviceService.h"
#include "devices/sysfs/SysfsCollect.h"
#include "devices/sysfs/SysfsGuard.h"
#include "devices/sysfs/SysfsParse.h"

namespace quillon::devices::sysfs {

bool DriverlessByDesign(const Node& node) {
  if (node.Kind() != NodeKind::kBusDevice || node.Bus() == "cpu")
    return true;
  if (const auto pci = PciClassOf(node))
    return pci->base == 0x06;
  // Buses, thermal zones, and what the ACPI core serves itself: PCI
  // interrupt links and motherboard resources.
  if (node.Bus() == "acpi") {
    return AnyId(node, {"LNXSYSTM", "LNXSYBUS", "LNXTHERM", "PNP0A03", "PNP0A08", "PNP0A05",
                        "PNP0A06", "ACPI0004", "PNP0C0F", "PNP0C01", "PNP0C02"});
  }
  return false;
}

namespace {

// A driver exists for the device: one chosen through driver_override that
// the bus has, or one the kernel offers for its modalias (USB devices all
// have the generic one).
bool DriverExists(const Node& node, const ModuleAliases& drivers) {
  const auto wanted = node.Attr("driver_override");
  if (wanted && !wanted->empty() && *wanted != "(null)" && *wanted != "none") {
    const std::string bus = node.Tree().Sys() + "/bus/" + node.Bus() + "/drivers";
    return node.Tree().Has(bus, *wanted);
  }
  if (node.Bus() == "usb" && !IsUsbInterface(node))
    return true;
  return drivers.Matches(ModAlias(node));
}

}  // namespace

Switch SwitchOf(const Node& node) {
  if (node.Bus() == "usb" && node.HasAttr("authorized"))
    return Switch::kAuthorized;
  if (node.HasAttr("driver_override"))
    return Switch::kDriverOverride;
  return Switch::kNone;
}

std::string RootDeviceNumber() {
  struct stat info {};
  if (stat("/", &info) != 0 || major(info.st_dev) == 0)
    return std::string();
  return std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
}

NodeState ReadState(const Node& node, const Guard& guard, const ModuleAliases& drivers) {
  NodeState state;
  state.status = DN_NT_ENUMERATOR;
  // A USB device taken away stays bound to the generic driver: that it is
  // not authorized decides.
  if (node.Attr("authorized") == "0") {
    state.problem = CM_PROB_DISABLED;
  } else if (node.Driver()) {
    state.status |= DN_DRIVER_LOADED | DN_STARTED | DN_NT_DRIVER;
  } else if (node.Attr("driver_override") == "none") {
    state.problem = CM_PROB_DISABLED;
  } else if (node.Attr("waiting_for_supplier") == "1") {
    state.problem = CM_PROB_WAITING_ON_DEPENDENCY;
  } else if (DriverlessByDesign(node)) {
    state.status |= DN_STARTED;
  } else if (DriverExists(node, drivers)) {
    state.problem = CM_PROB_FAILED_START;
  } else {
    state.problem = CM_PROB_FAILED_INSTALL;
  }
  if (state.problem != 0)
    state.status |= DN_HAS_PROBLEM;
  if (guard.MayDisable(node))
    state.status |= DN_DISABLEABLE;
  if (node.Attr("removable") == "removable")
    state.status |= DN_REMOVABLE;
  if (Enumerator(node) == "ROOT")
    state.status |= DN_ROOT_ENUMERATED;
  return state;
}

}  // namespace quillon::devices::sysfs
