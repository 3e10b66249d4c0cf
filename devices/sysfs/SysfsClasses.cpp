// Which setup class a node belongs to, and each class's GUID.
#include "devices/sysfs/SysfsClasses.h"

#include <algorithm>
#include <array>

#include "devices/DeviceText.h"
#include "devices/sysfs/SysfsParse.h"
#include "devices/sysfs/SysfsState.h"

namespace quillon::devices::sysfs {

namespace {

// Bit `bit` of a capability bitmap as sysfs prints it: hexadecimal words of
// 64 bits, most significant word first.
bool TestBit(std::string_view bitmap, unsigned bit) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < bitmap.size()) {
    const std::size_t end = std::min(bitmap.find(' ', pos), bitmap.size());
    if (end > pos)
      words.push_back(bitmap.substr(pos, end - pos));
    pos = end + 1;
  }
  const std::size_t index = bit / 64;
  if (index >= words.size())
    return false;
  const std::string_view word = words[words.size() - 1 - index];
  const std::size_t nibble = (bit % 64) / 4;
  if (nibble >= word.size())
    return false;
  const auto digit = ParseHex(word.substr(word.size() - 1 - nibble, 1));
  return digit && ((*digit >> (bit % 4)) & 1U) != 0;
}

enum class InputKind { kNone, kKeyboard, kMouse, kOther };

InputKind InputKindOf(const Node& node) {
  InputKind kind = InputKind::kNone;
  for (const std::string& dir : ClassDevices(node, "input")) {
    const auto caps = node.Tree().Child(dir, "capabilities");
    if (!caps) {
      kind = InputKind::kOther;
      continue;
    }
    const std::string key = node.Tree().Read(*caps, "key").value_or("");
    const std::string rel = node.Tree().Read(*caps, "rel").value_or("");
    const std::string abs = node.Tree().Read(*caps, "abs").value_or("");
    // A keyboard has the keys from Esc to D (bits 1 to 31), as udev decides.
    bool keyboard = true;
    for (unsigned bit = 1; bit < 32 && keyboard; ++bit)
      keyboard = TestBit(key, bit);
    if (keyboard)
      return InputKind::kKeyboard;
    constexpr unsigned kBtnLeft = 0x110;
    constexpr unsigned kBtnToolPen = 0x140;
    constexpr unsigned kBtnToolFinger = 0x145;
    // Relative or absolute (a touchpad, or a virtual machine's tablet with
    // mouse buttons), but not a pen.
    const bool absolute = TestBit(abs, 0) && TestBit(abs, 1) && !TestBit(key, kBtnToolPen);
    const bool pointer = (TestBit(rel, 0) && TestBit(rel, 1) && TestBit(key, kBtnLeft)) ||
                         (absolute && (TestBit(key, kBtnToolFinger) || TestBit(key, kBtnLeft)));
    if (pointer)
      return InputKind::kMouse;
    kind = InputKind::kOther;
  }
  return kind;
}

bool OwnsClassDevice(const Node& node, std::string_view className) {
  return !ClassDevices(node, className).empty();
}

bool HasDrmCard(const Node& node) {
  for (const std::string& dir : ClassDevices(node, "drm")) {
    const std::string name = BaseName(dir);
    if (StartsWith(name, "card") && name.find('-') == std::string::npos)
      return true;
  }
  return false;
}

std::string_view PciClassRule(const PciClass& pci) {
  switch (pci.base) {
    case 0x01:
      return (pci.sub == 0x01 || pci.sub == 0x05 || pci.sub == 0x06) ? "HDC" : "SCSIAdapter";
    case 0x02:
      return "Net";
    case 0x03:
      return "Display";
    case 0x04:
      return pci.sub == 0x03 ? "System" : "MEDIA";
    case 0x07:
      if (pci.sub == 0x00 || pci.sub == 0x01)
        return "Ports";
      if (pci.sub == 0x03)
        return "Modem";
      return {};
    case 0x0C:
      if (pci.sub == 0x03)
        return "USB";
      if (pci.sub == 0x00)
        return "1394";
      if (pci.sub == 0x06)
        return "InfiniBand";
      return {};
    case 0x0D:
      return pci.sub == 0x11 ? "Bluetooth" : std::string_view{};
    case 0x08:
      return pci.sub == 0x05 ? "SDHost" : "System";
    case 0x05:
    case 0x06:
    case 0x09:
    case 0x0B:
    case 0x10:
    case 0x11:
    case 0x12:
      return "System";
    default:
      return {};
  }
}

std::string_view UsbClassRule(const Node& node) {
  if (!IsUsbInterface(node)) {
    const auto deviceClass = node.HexAttr("bDeviceClass");
    if (deviceClass == 0x09U)
      return "USB";
    const auto interfaces = node.Attr("bNumInterfaces");
    if (interfaces && ParseDecimal(*interfaces).value_or(1) > 1)
      return "USB";
  }
  const auto usb = UsbClassOf(node);
  if (!usb)
    return {};
  switch (usb->base) {
    case 0x01:
      return "MEDIA";
    case 0x02:
    case 0x0A:
      return "Ports";
    case 0x03:
      return "HIDClass";
    case 0x06:
      return "Image";
    case 0x07:
      return "Printer";
    case 0x08:
    case 0x09:
      return "USB";
    case 0x0B:
      return "SmartCardReader";
    case 0x0E:
      return "Camera";
    case 0xE0:
      return (usb->sub == 0x01 && usb->protocol == 0x01) ? "Bluetooth" : std::string_view{};
    case 0xFF:
      return "USBDevice";
    default:
      return {};
  }
}

std::string_view PnpIdRule(const Node& node) {
  if (AnyId(node, {"PNP0303", "PNP030B"}))
    return "Keyboard";
  if (AnyId(node, {"PNP0F03", "PNP0F13"}))
    return "Mouse";
  if (AnyId(node, {"PNP0400", "PNP0401", "PNP0500", "PNP0501"}))
    return "Ports";
  if (AnyId(node, {"PNP0C0A", "ACPI0003"}))
    return "Battery";
  if (AnyId(node, {"ACPI0007", "LNXCPU"}))
    return "Processor";
  if (AnyId(node, {"MSFT0101", "PNP0C31"}))
    return "SecurityDevices";
  if (AnyId(node, {"PNP0C50"}))
    return "HIDClass";
  // The ACPI buttons and thermal zones are system devices, as on Windows.
  if (AnyId(node, {"LNXSYSTM", "LNXSYBUS", "PNP0A03", "PNP0A08", "PNP0C02", "PNP0C09", "PNP0C0C",
                   "PNP0C0D", "PNP0C0E", "PNP0C14", "LNXPWRBN", "LNXSLPBN", "LNXTHERM"})) {
    return "System";
  }
  return {};
}

std::string_view ClassDeviceRule(const Node& node) {
  if (OwnsClassDevice(node, "net"))
    return "Net";
  if (node.Kind() == NodeKind::kDisk)
    return "DiskDrive";
  if (node.Kind() == NodeKind::kPartition)
    return "Volume";
  if (OwnsClassDevice(node, "block")) {
    return (node.Bus() == "scsi" && node.Attr("type") == "5") ? "CDROM" : "DiskDrive";
  }
  if (OwnsClassDevice(node, "tty"))
    return "Ports";
  if (OwnsClassDevice(node, "sound"))
    return "MEDIA";
  if (HasDrmCard(node))
    return "Display";
  if (OwnsClassDevice(node, "video4linux"))
    return "Camera";
  if (OwnsClassDevice(node, "bluetooth"))
    return "Bluetooth";
  // Input before power_supply: a wireless mouse reporting its battery is a mouse.
  switch (InputKindOf(node)) {
    case InputKind::kKeyboard:
      return "Keyboard";
    case InputKind::kMouse:
      return "Mouse";
    case InputKind::kOther:
      return "HIDClass";
    case InputKind::kNone:
      break;
  }
  if (OwnsClassDevice(node, "power_supply"))
    return "Battery";
  if (OwnsClassDevice(node, "scsi_host"))
    return "SCSIAdapter";
  if (OwnsClassDevice(node, "tpm"))
    return "SecurityDevices";
  return {};
}

std::string_view BusRule(const Node& node) {
  const std::string& bus = node.Bus();
  if (bus == "cpu")
    return "Processor";
  if (bus == "hid")
    return "HIDClass";
  if (bus == "hdaudio")
    return "MEDIA";
  if (bus == "mmc")
    return "DiskDrive";
  if (bus == "serio") {
    const std::string description = Upper(node.Attr("description").value_or(""));
    return description.find("AUX") != std::string::npos ? "Mouse" : "Keyboard";
  }
  if (bus == "virtio") {
    switch (node.HexAttr("device").value_or(0)) {
      case 1:
        return "Net";
      case 2:
        return "DiskDrive";
      case 3:
        return "Ports";
      case 8:
        return "SCSIAdapter";
      case 16:
        return "Display";
      case 18:
        return "HIDClass";
      default:
        return {};
    }
  }
  return {};
}

}  // namespace

std::string_view SetupClassName(const Node& node) {
  if (const auto pci = PciClassOf(node)) {
    if (const auto name = PciClassRule(*pci); !name.empty())
      return name;
  }
  if (node.Bus() == "usb") {
    if (const auto name = UsbClassRule(node); !name.empty())
      return name;
  }
  if (const auto name = PnpIdRule(node); !name.empty())
    return name;
  if (const auto name = ClassDeviceRule(node); !name.empty())
    return name;
  if (const auto name = BusRule(node); !name.empty())
    return name;
  // A device that works without a driver of its own is part of the system.
  return node.Driver() || DriverlessByDesign(node) ? "System" : "Unknown";
}

GUID SetupClassGuid(std::string_view className) {
  if (const auto guid = SetupClassGuidOf(className))
    return *guid;
  return *SetupClassGuidOf("Unknown");
}

}  // namespace quillon::devices::sysfs
