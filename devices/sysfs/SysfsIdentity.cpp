// Hardware and compatible IDs, driver module, location and parent of a sysfs node.
#include "devices/sysfs/SysfsIdentity.h"

#include "devices/sysfs/SysfsParse.h"
#include "devices/sysfs/SysfsUevent.h"

namespace quillon::devices::sysfs {

namespace {

NodeIds PciIds(const Node& node) {
  NodeIds ids;
  const std::string base = "PCI\\VEN_" + UpperHex(node.HexAttr("vendor").value_or(0), 4) + "&DEV_" +
                           UpperHex(node.HexAttr("device").value_or(0), 4);
  const auto subVendor = node.HexAttr("subsystem_vendor");
  const auto subDevice = node.HexAttr("subsystem_device");
  const auto revision = node.HexAttr("revision");
  const std::string rev = revision ? "&REV_" + UpperHex(*revision, 2) : std::string();
  if (subVendor && subDevice) {
    const std::string subsys =
        base + "&SUBSYS_" + UpperHex(*subDevice, 4) + UpperHex(*subVendor, 4);
    if (revision)
      ids.hardware.push_back(subsys + rev);
    ids.hardware.push_back(subsys);
  }
  if (revision)
    ids.hardware.push_back(base + rev);
  ids.hardware.push_back(base);
  if (revision)
    ids.compatible.push_back(base + rev);
  ids.compatible.push_back(base);
  const std::string vendor = "PCI\\VEN_" + UpperHex(node.HexAttr("vendor").value_or(0), 4);
  if (const auto pci = PciClassOf(node)) {
    const std::string cc = "CC_" + UpperHex(pci->base, 2) + UpperHex(pci->sub, 2);
    ids.compatible.push_back(vendor + "&" + cc + UpperHex(pci->prog, 2));
    ids.compatible.push_back(vendor + "&" + cc);
    ids.compatible.push_back(vendor);
    ids.compatible.push_back("PCI\\" + cc + UpperHex(pci->prog, 2));
    ids.compatible.push_back("PCI\\" + cc);
  } else {
    ids.compatible.push_back(vendor);
  }
  return ids;
}

void AddUsbClass(NodeIds& ids, const std::optional<UsbClass>& usb) {
  if (!usb)
    return;
  const std::string cls = "USB\\Class_" + UpperHex(usb->base, 2);
  const std::string sub = cls + "&SubClass_" + UpperHex(usb->sub, 2);
  ids.compatible.push_back(sub + "&Prot_" + UpperHex(usb->protocol, 2));
  ids.compatible.push_back(sub);
  ids.compatible.push_back(cls);
}

NodeIds UsbIds(const Node& node) {
  NodeIds ids;
  const bool interface = IsUsbInterface(node);
  const std::string device = interface ? ParentPath(node.Path()) : node.Path();
  const SysfsTree& tree = node.Tree();
  // The device's numbers: a device's from its kept uevent or files; an
  // interface's uevent carries its device's (PRODUCT=), so neither folder
  // is read for them where the tree has uevent files.
  const auto hex = [&](std::string_view name, std::size_t index) {
    if (!interface)
      return node.HexAttr(name);
    if (tree.ReadsUevents() && node.Uevent()) {
      if (const auto product = UeventValue(*node.Uevent(), "PRODUCT"))
        return ParseHex(UeventField(*product, '/', index));
    }
    return ParseHex(tree.Read(device, name).value_or(""));
  };
  const std::string base = "USB\\VID_" + UpperHex(hex("idVendor", 0).value_or(0), 4) + "&PID_" +
                           UpperHex(hex("idProduct", 1).value_or(0), 4);
  const auto revision = hex("bcdDevice", 2);
  const std::string rev = revision ? "&REV_" + UpperHex(*revision, 4) : std::string();
  const std::string mi =
      interface ? "&MI_" + UpperHex(node.HexAttr("bInterfaceNumber").value_or(0), 2)
                : std::string();
  if (revision)
    ids.hardware.push_back(base + rev + mi);
  ids.hardware.push_back(base + mi);
  if (interface) {
    AddUsbClass(ids, UsbClassOf(node));
    return ids;
  }
  // A device of several interfaces is a composite device: its own class
  // (0 for "per interface"), then the generic parent's ID.
  const bool composite = ParseDecimal(node.Attr("bNumInterfaces").value_or("")).value_or(1) > 1;
  if (composite) {
    AddUsbClass(ids, UsbClass{node.HexAttr("bDeviceClass").value_or(0),
                              node.HexAttr("bDeviceSubClass").value_or(0),
                              node.HexAttr("bDeviceProtocol").value_or(0)});
    ids.compatible.push_back("USB\\COMPOSITE");
  } else {
    AddUsbClass(ids, UsbClassOf(node));
  }
  return ids;
}

// ACPI\HID and *HID for the hardware ID, the same two for each compatible ID.
NodeIds FirmwareIds(const std::vector<std::string>& pnpIds) {
  NodeIds ids;
  for (std::size_t i = 0; i < pnpIds.size(); ++i) {
    auto& list = i == 0 ? ids.hardware : ids.compatible;
    list.push_back("ACPI\\" + pnpIds[i]);
    list.push_back("*" + pnpIds[i]);
  }
  return ids;
}

}  // namespace

NodeIds IdsOf(const Node& node, const std::string& instanceId) {
  if (node.Kind() == NodeKind::kBusDevice) {
    if (node.Bus() == "pci")
      return PciIds(node);
    if (node.Bus() == "usb")
      return UsbIds(node);
    if (StartsWith(instanceId, "ACPI\\") && !node.PnpIds().empty())
      return FirmwareIds(node.PnpIds());
  }
  // Any other node: ENUMERATOR\HARDWARE, the instance ID without its last
  // part, then the kernel's modalias ("virtio:d00000001v00001AF4" gives
  // VIRTIO\D00000001V00001AF4), which drivers are matched by.
  NodeIds ids;
  if (const std::size_t last = instanceId.rfind('\\'); last != std::string::npos && last > 0)
    ids.hardware.push_back(instanceId.substr(0, last));
  std::string modalias = ModAlias(node);
  if (const std::size_t features = modalias.find(":feature:"); features != std::string::npos)
    modalias.resize(features);
  if (const std::size_t colon = modalias.find(':');
      colon != std::string::npos && colon > 0 && colon + 1 < modalias.size()) {
    std::string id = Upper(modalias.substr(0, colon)) + "\\" + Upper(modalias.substr(colon + 1));
    for (char& c : id) {
      if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F)
        c = '_';
    }
    if (ids.hardware.empty() || ids.hardware.front() != id)
      ids.hardware.push_back(std::move(id));
  }
  return ids;
}

std::optional<std::string> DriverModule(const Node& node) {
  if (!node.Driver())
    return std::nullopt;
  const auto driver = node.Tree().Child(node.Path(), "driver");
  if (!driver)
    return std::nullopt;
  return node.Tree().LinkName(*driver, "module");
}

std::string SysfsLocation(const Node& node) {
  const std::string& sys = node.Tree().Sys();
  return "/sys" + node.Path().substr(sys.size());
}

std::optional<std::string> AcpiNodeOfFolder(const SysfsTree& tree, const std::string& folder) {
  if (!tree.Has(folder, "firmware_node"))
    return std::nullopt;
  auto acpi = tree.Child(folder, "firmware_node");
  if (!acpi || tree.LinkName(*acpi, "subsystem") != "acpi")
    return std::nullopt;
  return acpi;
}

}  // namespace quillon::devices::sysfs
