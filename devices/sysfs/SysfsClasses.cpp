// Which setup class a node belongs to, and each class's GUID.
#include "SysfsClasses.h"

#include <algorithm>
#include <array>

#include "SysfsParse.h"

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
    constexpr unsigned kBtnToolFinger = 0x145;
    const bool pointer = (TestBit(rel, 0) && TestBit(rel, 1) && TestBit(key, kBtnLeft)) ||
                         (TestBit(abs, 0) && TestBit(abs, 1) && TestBit(key, kBtnToolFinger));
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
  return node.Driver() ? "System" : "Unknown";
}

GUID SetupClassGuid(std::string_view className) {
  struct Row {
    std::string_view name;
    GUID guid;
  };
  static constexpr std::array<Row, 29> kClasses = {{
      {"CDROM", {0x4D36E965, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"DiskDrive", {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Display", {0x4D36E968, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"HDC", {0x4D36E96A, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Keyboard", {0x4D36E96B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"MEDIA", {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Modem", {0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Monitor", {0x4D36E96E, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Mouse", {0x4D36E96F, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Net", {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Ports", {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Printer", {0x4D36E979, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"SCSIAdapter",
       {0x4D36E97B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"System", {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"Unknown", {0x4D36E97E, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}},
      {"USB", {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}}},
      {"USBDevice", {0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}}},
      {"HIDClass", {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}}},
      {"Volume", {0x71A27CDD, 0x812A, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}}},
      {"Processor", {0x50127DC3, 0x0F36, 0x415E, {0xA6, 0xCC, 0x4C, 0xB3, 0xBE, 0x91, 0x0B, 0x65}}},
      {"Bluetooth", {0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}}},
      {"Battery", {0x72631E54, 0x78A4, 0x11D0, {0xBC, 0xF7, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A}}},
      {"Camera", {0xCA3E7AB9, 0xB4C3, 0x4AE6, {0x82, 0x51, 0x57, 0x9E, 0xF9, 0x33, 0x89, 0x0F}}},
      {"Image", {0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}}},
      {"1394", {0x6BDD1FC1, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}}},
      {"SmartCardReader",
       {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}}},
      {"SDHost", {0xA0A588A4, 0xC46F, 0x4B37, {0xB7, 0xEA, 0xC8, 0x2F, 0xE8, 0x98, 0x70, 0xC6}}},
      {"SecurityDevices",
       {0xD94EE5D8, 0xD189, 0x4994, {0x83, 0xD2, 0xF6, 0x8D, 0x7D, 0x41, 0xB0, 0xE6}}},
      {"InfiniBand",
       {0x30EF7132, 0xD858, 0x4A0C, {0xAC, 0x24, 0xB9, 0x02, 0x8A, 0x5C, 0xCA, 0x3F}}},
  }};
  for (const Row& row : kClasses) {
    if (row.name == className)
      return row.guid;
  }
  return SetupClassGuid("Unknown");
}

}  // namespace quillon::devices::sysfs
