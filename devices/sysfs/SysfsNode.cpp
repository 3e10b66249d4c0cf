#include "SysfsNode.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace quillon::devices::sysfs {

namespace {

constexpr std::size_t kMaxInstanceId = 200;
constexpr std::size_t kMaxText = 259;

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::optional<std::uint32_t> ParseHex(std::string_view text) {
  if (StartsWith(text, "0x") || StartsWith(text, "0X"))
    text.remove_prefix(2);
  if (text.empty() || text.size() > 8)
    return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    if (digit < 0)
      return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

std::optional<std::uint32_t> ParseDecimal(std::string_view text) {
  // Some attributes are right-aligned: bNumInterfaces reads " 1".
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  if (text.empty() || text.size() > 9)
    return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

std::string Hex(std::uint32_t value, int digits) {
  std::array<char, 12> text{};
  std::snprintf(text.data(), text.size(), "%0*X", digits, static_cast<unsigned>(value));
  return text.data();
}

// Text fit for a property: control characters become blanks, outer blanks
// go, and it is cut (at a character boundary) to what the caller's buffer holds.
std::optional<std::string> CleanText(std::optional<std::string> text) {
  if (!text)
    return std::nullopt;
  std::string clean;
  for (const char c : *text) {
    const auto byte = static_cast<unsigned char>(c);
    clean += (byte < 0x20 || byte == 0x7F) ? ' ' : c;
  }
  const std::size_t first = clean.find_first_not_of(' ');
  if (first == std::string::npos)
    return std::nullopt;
  clean = clean.substr(first, clean.find_last_not_of(' ') - first + 1);
  if (clean.size() > kMaxText) {
    std::size_t cut = kMaxText;
    while (cut > 0 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80)
      --cut;
    clean.resize(cut);
  }
  return clean;
}

// Characters an instance ID part may not hold become underscores.
std::string IdPart(std::string_view text) {
  std::string part = Upper(text);
  for (char& c : part) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '\\' || c == ',' || c == '/' ||
        static_cast<unsigned char>(c) >= 0x7F) {
      c = '_';
    }
  }
  return part;
}

bool IsExcludedBus(std::string_view bus) {
  static constexpr std::array<std::string_view, 14> kBookkeeping = {
      "memory",    "memory_tiering", "clockevents", "clocksource",  "event_source",
      "workqueue", "node",           "container",   "machinecheck", "serial-base",
      "faux",      "cpuid",          "nd",          "dax"};
  return std::find(kBookkeeping.begin(), kBookkeeping.end(), bus) != kBookkeeping.end();
}

// The modalias, from its own attribute or (cpu devices) from uevent.
std::string ModAlias(const Node& node) {
  if (const auto& text = node.Attr("modalias"); text && !text->empty())
    return *text;
  const std::string uevent = node.Attr("uevent").value_or("");
  const std::string_view key = "MODALIAS=";
  std::size_t pos = 0;
  while (pos < uevent.size()) {
    const std::size_t end = std::min(uevent.find('\n', pos), uevent.size());
    const std::string_view line = std::string_view(uevent).substr(pos, end - pos);
    if (StartsWith(line, key))
      return std::string(line.substr(key.size()));
    pos = end + 1;
  }
  return std::string();
}

bool IsUsbInterface(const Node& node) {
  return node.Bus() == "usb" && node.Name().find(':') != std::string::npos;
}

bool IsUsbRootHub(const Node& node) {
  return node.Bus() == "usb" && StartsWith(node.Name(), "usb") &&
         node.Name().find_first_not_of("0123456789", 3) == std::string::npos &&
         node.Name().size() > 3;
}

// Class, subclass and programming interface of a PCI function.
struct PciClass {
  std::uint32_t base = 0;
  std::uint32_t sub = 0;
  std::uint32_t prog = 0;
};

std::optional<PciClass> PciClassOf(const Node& node) {
  if (node.Bus() != "pci")
    return std::nullopt;
  const auto code = node.HexAttr("class");
  if (!code)
    return std::nullopt;
  return PciClass{(*code >> 16) & 0xFF, (*code >> 8) & 0xFF, *code & 0xFF};
}

// USB class triple: an interface's own, or for a device that of its one
// interface (the device's own class when it names one).
struct UsbClass {
  std::uint32_t base = 0;
  std::uint32_t sub = 0;
  std::uint32_t protocol = 0;
};

std::optional<UsbClass> UsbInterfaceClass(const SysfsTree& tree, const std::string& dir) {
  const auto base = tree.Read(dir, "bInterfaceClass");
  if (!base)
    return std::nullopt;
  const auto value = ParseHex(*base);
  if (!value)
    return std::nullopt;
  UsbClass usb{*value, 0, 0};
  if (const auto sub = tree.Read(dir, "bInterfaceSubClass"))
    usb.sub = ParseHex(*sub).value_or(0);
  if (const auto prot = tree.Read(dir, "bInterfaceProtocol")) {
    usb.protocol = ParseHex(*prot).value_or(0);
  }
  return usb;
}

std::optional<UsbClass> UsbClassOf(const Node& node) {
  if (IsUsbInterface(node))
    return UsbInterfaceClass(node.Tree(), node.Path());
  const auto deviceClass = node.HexAttr("bDeviceClass");
  if (deviceClass && *deviceClass != 0) {
    return UsbClass{*deviceClass, node.HexAttr("bDeviceSubClass").value_or(0),
                    node.HexAttr("bDeviceProtocol").value_or(0)};
  }
  for (const std::string& name : node.Tree().List(node.Path())) {
    if (StartsWith(name, node.Name() + ":")) {
      if (const auto dir = node.Tree().Child(node.Path(), name)) {
        if (auto usb = UsbInterfaceClass(node.Tree(), *dir))
          return usb;
      }
    }
  }
  return std::nullopt;
}

// Canonical directories of the class devices `className` below the node
// (sysfs keeps them in a directory named after the class).
std::vector<std::string> ClassDevices(const Node& node, std::string_view className) {
  std::vector<std::string> dirs;
  // Most nodes own none of the classes asked about: one lstat is far
  // cheaper than resolving a path that is not there.
  if (!node.Tree().Has(node.Path(), className))
    return dirs;
  const auto classDir = node.Tree().Child(node.Path(), className);
  if (!classDir)
    return dirs;
  for (const std::string& name : node.Tree().List(*classDir)) {
    if (auto dir = node.Tree().Child(*classDir, name); dir && node.Tree().IsDirectory(*dir)) {
      dirs.push_back(std::move(*dir));
    }
  }
  return dirs;
}

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

bool AnyId(const Node& node, std::initializer_list<std::string_view> wanted) {
  for (const std::string& id : node.PnpIds()) {
    if (std::find(wanted.begin(), wanted.end(), id) != wanted.end())
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

// ---- Descriptions from small built-in tables.

// The name `key` has in `table`, if any.
template <typename Key, std::size_t N>
std::optional<std::string> NameIn(const std::array<std::pair<Key, std::string_view>, N>& table,
                                  const Key& key) {
  for (const auto& [entry, name] : table) {
    if (entry == key)
      return std::string(name);
  }
  return std::nullopt;
}

std::optional<std::string> PnpIdDescription(const Node& node) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 46> kNames = {{
      {"PNP0000", "Programmable interrupt controller"},
      {"PNP0100", "System timer"},
      {"PNP0103", "High precision event timer"},
      {"PNP0200", "Direct memory access controller"},
      {"PNP0303", "Standard PS/2 Keyboard"},
      {"PNP030B", "Standard PS/2 Keyboard"},
      {"PNP0400", "Printer Port"},
      {"PNP0401", "ECP Printer Port"},
      {"PNP0500", "Communications Port"},
      {"PNP0501", "Communications Port"},
      {"PNP0800", "System speaker"},
      {"PNP0A03", "PCI Bus"},
      {"PNP0A05", "Generic Bus"},
      {"PNP0A06", "Extended I/O Bus"},
      {"PNP0A08", "PCI Express Root Complex"},
      {"PNP0B00", "System CMOS/real time clock"},
      {"PNP0C01", "System board"},
      {"PNP0C02", "Motherboard resources"},
      {"PNP0C04", "Numeric data processor"},
      {"PNP0C09", "Embedded Controller"},
      {"PNP0C0A", "Control Method Battery"},
      {"PNP0C0C", "Power Button"},
      {"PNP0C0D", "Lid"},
      {"PNP0C0E", "Sleep Button"},
      {"PNP0C0F", "PCI Interrupt Link"},
      {"PNP0C14", "WMI Interface"},
      {"PNP0C31", "Trusted Platform Module"},
      {"PNP0C50", "I2C HID Device"},
      {"PNP0F03", "PS/2 Compatible Mouse"},
      {"PNP0F13", "PS/2 Compatible Mouse"},
      {"ACPI0003", "AC Adapter"},
      {"ACPI0004", "ACPI Module Device"},
      {"ACPI0007", "Processor"},
      {"ACPI000E", "Time and Alarm Device"},
      {"ACPI0010", "Processor Aggregator"},
      {"ACPI0013", "Generic Event Device"},
      {"LNXCPU", "Processor"},
      {"LNXPWRBN", "ACPI Power Button"},
      {"LNXSLPBN", "ACPI Sleep Button"},
      {"LNXSYBUS", "ACPI System Bus"},
      {"LNXSYSTM", "ACPI System"},
      {"LNXTHERM", "ACPI Thermal Zone"},
      {"LNXVIDEO", "ACPI Video Bus"},
      {"MSFT0101", "Trusted Platform Module 2.0"},
      {"VMCLOCK", "Virtual Machine Clock"},
      {"VMGENCTR", "Virtual Machine Generation Counter"},
  }};
  for (const std::string& id : node.PnpIds()) {
    if (auto name = NameIn(kNames, std::string_view(id)))
      return name;
  }
  return std::nullopt;
}

std::optional<std::string> VirtioDescription(const Node& node) {
  if (node.Bus() != "virtio")
    return std::nullopt;
  static constexpr std::array<std::pair<std::uint32_t, std::string_view>, 16> kNames = {{
      {1, "Virtio network device"},
      {2, "Virtio block device"},
      {3, "Virtio console"},
      {4, "Virtio RNG"},
      {5, "Virtio memory balloon"},
      {8, "Virtio SCSI"},
      {9, "Virtio 9P transport"},
      {16, "Virtio GPU"},
      {18, "Virtio input"},
      {19, "Virtio socket"},
      {20, "Virtio crypto"},
      {23, "Virtio IOMMU"},
      {24, "Virtio memory"},
      {25, "Virtio sound"},
      {26, "Virtio file system"},
      {27, "Virtio persistent memory"},
  }};
  const auto id = node.HexAttr("device");
  if (!id)
    return std::nullopt;
  return NameIn(kNames, *id);
}

// "Intel64 Family 6 Model 167", from the modalias
// "cpu:type:x86,ven0000fam0006mod00A7:feature:...".
std::optional<std::string> CpuDescription(const Node& node) {
  if (node.Bus() != "cpu")
    return std::nullopt;
  const std::string modalias = ModAlias(node);
  const std::string_view prefix = "cpu:type:";
  if (!StartsWith(modalias, prefix))
    return std::nullopt;
  std::string_view type = std::string_view(modalias).substr(prefix.size());
  type = type.substr(0, type.find(':'));
  const std::size_t comma = type.find(',');
  const std::string_view arch = type.substr(0, comma);
  if (arch == "x86" && comma != std::string_view::npos) {
    const std::string_view ids = type.substr(comma + 1);
    const std::size_t ven = ids.find("ven");
    const std::size_t fam = ids.find("fam");
    const std::size_t mod = ids.find("mod");
    if (ven != std::string_view::npos && fam != std::string_view::npos &&
        mod != std::string_view::npos) {
      const auto vendor = ParseHex(ids.substr(ven + 3, 4));
      const auto family = ParseHex(ids.substr(fam + 3, 4));
      const auto model = ParseHex(ids.substr(mod + 3, 4));
      if (vendor && family && model) {
        const char* maker = *vendor == 0 ? "Intel64" : *vendor == 2 ? "AMD64" : "x86";
        return std::string(maker) + " Family " + std::to_string(*family) + " Model " +
               std::to_string(*model);
      }
    }
  }
  if (arch == "aarch64")
    return std::string("ARM64 processor");
  if (arch.empty())
    return std::nullopt;
  return std::string(arch) + " processor";
}

std::optional<std::string> PlatformDescription(const Node& node) {
  if (node.Bus() != "platform")
    return std::nullopt;
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 14> kNames = {{
      {"alarmtimer", "Alarm timer"},
      {"coretemp", "CPU temperature sensor"},
      {"efi-framebuffer", "EFI framebuffer"},
      {"i8042", "PS/2 keyboard and mouse controller"},
      {"intel_pmc_core", "Intel power management controller"},
      {"intel_rapl_msr", "Running average power limit"},
      {"iTCO_wdt", "Watchdog timer"},
      {"microcode", "Processor microcode"},
      {"pcspkr", "PC speaker"},
      {"platform-framebuffer", "Framebuffer"},
      {"reg-dummy", "Dummy regulator"},
      {"rtc_cmos", "CMOS real-time clock"},
      {"serial8250", "Standard serial ports"},
      {"simple-framebuffer", "Framebuffer"},
  }};
  std::string_view name = node.Name();
  if (const std::size_t dot = name.rfind('.');
      dot != std::string_view::npos &&
      name.find_first_not_of("0123456789", dot + 1) == std::string_view::npos) {
    name = name.substr(0, dot);
  }
  return NameIn(kNames, name);
}

std::optional<std::string> PciClassDescription(const PciClass& pci, const IdDatabase& database) {
  const auto base = static_cast<std::uint8_t>(pci.base);
  const auto sub = static_cast<std::uint8_t>(pci.sub);
  if (auto name = database.InterfaceName(base, sub, static_cast<std::uint8_t>(pci.prog))) {
    if (auto subclass = database.SubclassName(base, sub))
      return *subclass + " (" + *name + ")";
    return name;
  }
  if (auto name = database.SubclassName(base, sub))
    return name;
  if (auto name = database.ClassName(base))
    return name;
  static constexpr std::array<std::string_view, 0x14> kClasses = {
      "Unclassified device",
      "Mass storage controller",
      "Network controller",
      "Display controller",
      "Multimedia controller",
      "Memory controller",
      "Bridge",
      "Communication controller",
      "Generic system peripheral",
      "Input device controller",
      "Docking station",
      "Processor",
      "Serial bus controller",
      "Wireless controller",
      "Intelligent controller",
      "Satellite communications controller",
      "Encryption controller",
      "Signal processing controller",
      "Processing accelerators",
      "Non-Essential Instrumentation"};
  if (pci.base < kClasses.size())
    return std::string(kClasses[pci.base]);
  return std::nullopt;
}

std::optional<std::string> FirstInputName(const Node& node) {
  for (const std::string& dir : ClassDevices(node, "input")) {
    if (auto name = node.Tree().Read(dir, "name"); name && !name->empty())
      return name;
  }
  return std::nullopt;
}

// The directory whose attributes describe a disk: the device the block
// directory hangs below (an nvme controller, a scsi device).
std::optional<std::string> DiskParent(const Node& node) {
  std::string parent = ParentPath(node.Path());
  if (BaseName(parent) == "block")
    parent = ParentPath(parent);
  if (!node.Tree().Contains(parent))
    return std::nullopt;
  return parent;
}

std::optional<std::string> DatabaseDescription(const Node& node, const IdDatabases& databases) {
  if (node.Bus() == "pci") {
    const auto vendor = node.HexAttr("vendor");
    const auto device = node.HexAttr("device");
    if (!vendor || !device)
      return std::nullopt;
    const auto v = static_cast<std::uint16_t>(*vendor);
    const auto d = static_cast<std::uint16_t>(*device);
    const auto subVendor = node.HexAttr("subsystem_vendor");
    const auto subDevice = node.HexAttr("subsystem_device");
    if (subVendor && subDevice) {
      if (auto name = databases.Pci().SubsystemName(v, d, static_cast<std::uint16_t>(*subVendor),
                                                    static_cast<std::uint16_t>(*subDevice))) {
        return name;
      }
    }
    return databases.Pci().DeviceName(v, d);
  }
  if (node.Bus() == "usb") {
    if (IsUsbInterface(node)) {
      const auto usb = UsbClassOf(node);
      if (!usb)
        return std::nullopt;
      return databases.Usb().ClassName(static_cast<std::uint8_t>(usb->base));
    }
    const auto vendor = node.HexAttr("idVendor");
    const auto product = node.HexAttr("idProduct");
    if (!vendor || !product)
      return std::nullopt;
    return databases.Usb().DeviceName(static_cast<std::uint16_t>(*vendor),
                                      static_cast<std::uint16_t>(*product));
  }
  return std::nullopt;
}

std::optional<std::string> OwnDescription(const Node& node) {
  if (node.Bus() == "usb") {
    if (auto text = node.Attr(IsUsbInterface(node) ? "interface" : "product"))
      return text;
  }
  if (node.Bus() == "scsi") {
    const std::string vendor = CleanText(node.Attr("vendor")).value_or("");
    const std::string model = CleanText(node.Attr("model")).value_or("");
    if (!vendor.empty() || !model.empty()) {
      return vendor.empty() ? model : model.empty() ? vendor : vendor + " " + model;
    }
  }
  if (auto model = CleanText(node.Attr("model")))
    return model;
  if (node.Kind() == NodeKind::kDisk) {
    if (const auto parent = DiskParent(node)) {
      if (auto model = CleanText(node.Tree().Read(*parent, "model")))
        return model;
    }
  }
  if (node.Bus() == "hdaudio") {
    const std::string vendor = CleanText(node.Attr("vendor_name")).value_or("");
    const std::string chip = CleanText(node.Attr("chip_name")).value_or("");
    if (!chip.empty())
      return vendor.empty() ? chip : vendor + " " + chip;
  }
  if (node.Bus() == "mmc") {
    if (auto name = CleanText(node.Attr("name")))
      return name;
  }
  if (auto name = FirstInputName(node))
    return name;
  if (node.Bus() == "acpi") {
    if (auto text = CleanText(node.Attr("description")))
      return text;
  } else if (!node.Firmware().path.empty()) {
    if (auto text = CleanText(node.Tree().Read(node.Firmware().path, "description")))
      return text;
  }
  return std::nullopt;
}

std::optional<std::string> BuiltInDescription(const Node& node) {
  if (auto text = CpuDescription(node))
    return text;
  if (auto text = PnpIdDescription(node))
    return text;
  if (auto text = VirtioDescription(node))
    return text;
  if (auto text = PlatformDescription(node))
    return text;
  if (node.Kind() == NodeKind::kPartition)
    return std::string("Generic volume");
  if (node.Kind() == NodeKind::kDisk)
    return std::string("Disk drive");
  return std::nullopt;
}

// Hardware ID part of the instance ID.
std::string HardwareId(const Node& node, const std::string& enumerator) {
  if (enumerator == "PCI") {
    std::string id = "VEN_" + Hex(node.HexAttr("vendor").value_or(0), 4) + "&DEV_" +
                     Hex(node.HexAttr("device").value_or(0), 4);
    const auto subVendor = node.HexAttr("subsystem_vendor");
    const auto subDevice = node.HexAttr("subsystem_device");
    if (subVendor && subDevice)
      id += "&SUBSYS_" + Hex(*subDevice, 4) + Hex(*subVendor, 4);
    if (const auto revision = node.HexAttr("revision"))
      id += "&REV_" + Hex(*revision, 2);
    return id;
  }
  if (enumerator == "USB") {
    if (IsUsbInterface(node)) {
      const std::string parent = ParentPath(node.Path());
      const auto vendor = ParseHex(node.Tree().Read(parent, "idVendor").value_or(""));
      const auto product = ParseHex(node.Tree().Read(parent, "idProduct").value_or(""));
      const auto number = node.HexAttr("bInterfaceNumber");
      return "VID_" + Hex(vendor.value_or(0), 4) + "&PID_" + Hex(product.value_or(0), 4) + "&MI_" +
             Hex(number.value_or(0), 2);
    }
    return "VID_" + Hex(node.HexAttr("idVendor").value_or(0), 4) + "&PID_" +
           Hex(node.HexAttr("idProduct").value_or(0), 4);
  }
  if (enumerator == "ACPI") {
    return node.PnpIds().empty() ? std::string("DEVICE") : IdPart(node.PnpIds().front());
  }
  if (enumerator == "STORAGE")
    return node.Kind() == NodeKind::kPartition ? "VOLUME" : "DISK";
  if (node.Bus() == "virtio") {
    return "VEN_" + Hex(node.HexAttr("vendor").value_or(0), 4) + "&DEV_" +
           Hex(node.HexAttr("device").value_or(0), 4);
  }
  if (node.Bus() == "hid") {
    // bus:vendor:product.instance
    const std::string& name = node.Name();
    if (name.size() >= 19 && name[4] == ':' && name[9] == ':') {
      return "VID_" + Upper(name.substr(5, 4)) + "&PID_" + Upper(name.substr(10, 4));
    }
  }
  if (node.Bus() == "hdaudio") {
    if (const auto id = node.HexAttr("vendor_id")) {
      std::string hardware = "VEN_" + Hex(*id >> 16, 4) + "&DEV_" + Hex(*id & 0xFFFF, 4);
      if (const auto subsystem = node.HexAttr("subsystem_id")) {
        hardware += "&SUBSYS_" + Hex(*subsystem, 8);
      }
      return hardware;
    }
  }
  if (node.Bus() == "scsi" && node.Attr("type")) {
    static constexpr std::array<std::string_view, 15> kTypes = {
        "DISK",    "SEQUENTIAL", "PRINTER", "PROCESSOR", "WORM",  "CDROM",     "SCANNER", "OPTICAL",
        "CHANGER", "COMM",       "ASC0",    "ASC1",      "ARRAY", "ENCLOSURE", "RBC"};
    const auto type = ParseDecimal(*node.Attr("type"));
    const std::string typeName =
        type && *type < kTypes.size() ? std::string(kTypes[*type]) : std::string("OTHER");
    return typeName + "&VEN_" + IdPart(CleanText(node.Attr("vendor")).value_or("")) + "&PROD_" +
           IdPart(CleanText(node.Attr("model")).value_or(""));
  }
  if (enumerator == "ROOT") {
    const std::string modalias = ModAlias(node);
    if (StartsWith(modalias, "platform:") && modalias.size() > 9)
      return IdPart(modalias.substr(9));
    return IdPart(node.Name());
  }
  // Any other bus: what the kernel matches drivers with, without the bus
  // prefix and the processor feature list.
  std::string modalias = ModAlias(node);
  if (const std::size_t colon = modalias.find(':'); colon != std::string::npos) {
    modalias.erase(0, colon + 1);
  }
  if (const std::size_t features = modalias.find(":feature:"); features != std::string::npos) {
    modalias.resize(features);
  }
  if (StartsWith(modalias, "type:"))
    modalias.erase(0, 5);
  if (modalias.size() > 64)
    modalias.resize(64);
  if (!modalias.empty())
    return IdPart(modalias);
  std::string name = node.Name();
  while (!name.empty() && name.back() >= '0' && name.back() <= '9')
    name.pop_back();
  return name.empty() ? std::string("DEVICE") : IdPart(name);
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

bool IsAcpiNodeShown(const Node& node) {
  const auto hid = node.Attr("hid");
  if (!hid || hid->empty())
    return false;
  if (node.Tree().Has(node.Path(), "physical_node"))
    return false;
  const auto status = node.Attr("status");
  if (!status)
    return true;
  const auto value = ParseDecimal(*status);
  return value && (*value & 1U) != 0;
}

std::vector<std::string> SplitIds(std::string_view modalias) {
  std::vector<std::string> ids;
  std::size_t pos = 0;
  while (pos <= modalias.size()) {
    const std::size_t end = std::min(modalias.find(':', pos), modalias.size());
    if (end > pos)
      ids.push_back(Upper(modalias.substr(pos, end - pos)));
    pos = end + 1;
  }
  return ids;
}

}  // namespace

// ---- Node

Node::Node(const SysfsTree& tree, NodeLocation location)
    : tree_(&tree), location_(std::move(location)), name_(BaseName(location_.path)) {}

const std::optional<std::string>& Node::Attr(std::string_view name) const {
  for (const auto& [key, value] : attributes_) {
    if (key == name)
      return value;
  }
  attributes_.emplace_back(std::string(name), tree_->Read(location_.path, name));
  return attributes_.back().second;
}

std::optional<std::uint32_t> Node::HexAttr(std::string_view name) const {
  const auto& text = Attr(name);
  if (!text)
    return std::nullopt;
  return ParseHex(*text);
}

const std::optional<std::string>& Node::Driver() const {
  if (!driver_)
    driver_ = tree_->LinkName(location_.path, "driver");
  return *driver_;
}

const FirmwareNode& Node::Firmware() const {
  if (firmware_)
    return *firmware_;
  FirmwareNode firmware;
  std::optional<std::string> dir;
  if (location_.bus == "acpi") {
    dir = location_.path;
  } else if (tree_->Has(location_.path, "firmware_node")) {
    dir = tree_->Child(location_.path, "firmware_node");
    if (dir && tree_->LinkName(*dir, "subsystem") != "acpi")
      dir.reset();
  }
  if (dir) {
    firmware.path = *dir;
    const std::string hid = Upper(tree_->Read(*dir, "hid").value_or(""));
    if (!hid.empty())
      firmware.ids.push_back(hid);
    // "acpi:HID:CID1:CID2:" adds the compatible IDs.
    const std::string modalias = tree_->Read(*dir, "modalias").value_or("");
    if (StartsWith(modalias, "acpi:")) {
      for (std::string& id : SplitIds(std::string_view(modalias).substr(5))) {
        if (std::find(firmware.ids.begin(), firmware.ids.end(), id) == firmware.ids.end()) {
          firmware.ids.push_back(std::move(id));
        }
      }
    }
  }
  firmware_ = std::move(firmware);
  return *firmware_;
}

const std::vector<std::string>& Node::PnpIds() const {
  if (pnpIds_)
    return *pnpIds_;
  std::vector<std::string> ids = Firmware().ids;
  if (location_.bus == "pnp") {
    // The pnp bus lists its own IDs, one a line; they come first.
    std::vector<std::string> own;
    const std::string text = Attr("id").value_or("");
    std::size_t pos = 0;
    while (pos < text.size()) {
      const std::size_t end = std::min(text.find('\n', pos), text.size());
      if (end > pos)
        own.push_back(Upper(text.substr(pos, end - pos)));
      pos = end + 1;
    }
    for (std::string& id : ids) {
      if (std::find(own.begin(), own.end(), id) == own.end())
        own.push_back(std::move(id));
    }
    ids = std::move(own);
  }
  pnpIds_ = std::move(ids);
  return *pnpIds_;
}

// ---- Databases

const IdDatabase& IdDatabases::Pci() const {
  if (!pci_)
    pci_.emplace(root_ + "/usr/share/misc/pci.ids");
  return *pci_;
}

const IdDatabase& IdDatabases::Usb() const {
  if (!usb_)
    usb_.emplace(root_ + "/usr/share/misc/usb.ids");
  return *usb_;
}

// ---- Root chain

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

// ---- Collection

std::vector<NodeLocation> CollectNodes(const SysfsTree& tree) {
  std::vector<NodeLocation> nodes;
  if (!tree.Ok())
    return nodes;
  const std::string virtualDir = tree.Sys() + "/devices/virtual";
  const auto isVirtual = [&](const std::string& path) {
    return StartsWith(path, virtualDir) &&
           (path.size() == virtualDir.size() || path[virtualDir.size()] == '/');
  };
  std::set<std::string> seen;
  const std::string busRoot = tree.Sys() + "/bus";
  for (const std::string& bus : tree.List(busRoot)) {
    if (IsExcludedBus(bus))
      continue;
    const std::string devices = busRoot + "/" + bus + "/devices";
    for (const std::string& name : tree.List(devices)) {
      // SCSI hosts and targets are bookkeeping; the host adapter and the
      // logical units stand for them.
      if (bus == "scsi" && (StartsWith(name, "host") || StartsWith(name, "target")))
        continue;
      const auto path = tree.Child(devices, name);
      if (!path || isVirtual(*path) || !tree.IsDirectory(*path))
        continue;
      if (bus == "acpi" && !IsAcpiNodeShown(Node(tree, NodeLocation{*path, bus})))
        continue;
      if (seen.insert(*path).second)
        nodes.push_back(NodeLocation{*path, bus});
    }
  }
  // Block devices no bus device stands for: every partition, and a disk
  // whose parent is no node (an nvme namespace below its controller).
  std::string blockDir = tree.Sys() + "/class/block";
  if (!tree.IsDirectory(blockDir))
    blockDir = tree.Sys() + "/block";
  std::vector<NodeLocation> blocks;
  for (const std::string& name : tree.List(blockDir)) {
    const auto path = tree.Child(blockDir, name);
    if (!path || isVirtual(*path) || !tree.IsDirectory(*path) || seen.count(*path) != 0)
      continue;
    if (tree.Has(*path, "partition")) {
      blocks.push_back(NodeLocation{*path, "block", NodeKind::kPartition});
      continue;
    }
    std::string parent = ParentPath(*path);
    if (BaseName(parent) == "block")
      parent = ParentPath(parent);
    if (seen.count(parent) == 0)
      blocks.push_back(NodeLocation{*path, "block", NodeKind::kDisk});
  }
  for (NodeLocation& block : blocks) {
    seen.insert(block.path);
    nodes.push_back(std::move(block));
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const NodeLocation& a, const NodeLocation& b) { return a.path < b.path; });
  return nodes;
}

// ---- Mapping

std::string Enumerator(const Node& node) {
  const std::string& bus = node.Bus();
  if (node.Kind() != NodeKind::kBusDevice)
    return "STORAGE";
  if (bus == "pci")
    return "PCI";
  if (bus == "usb")
    return "USB";
  if (bus == "acpi")
    return "ACPI";
  const bool firmwareBus =
      bus == "platform" || bus == "pnp" || bus == "i2c" || bus == "spi" || bus == "cpu";
  if (firmwareBus && !node.Firmware().path.empty())
    return "ACPI";
  if (bus == "platform")
    return "ROOT";
  return IdPart(bus);
}

std::string InstanceId(const Node& node) {
  const std::string enumerator = Enumerator(node);
  std::string hardware = HardwareId(node, enumerator);
  const std::string name = node.Name();
  const std::size_t fixed = enumerator.size() + name.size() + 2;
  if (fixed < kMaxInstanceId && hardware.size() > kMaxInstanceId - fixed) {
    hardware.resize(kMaxInstanceId - fixed);
  }
  std::string id = enumerator + "\\" + hardware + "\\" + name;
  if (id.size() > kMaxInstanceId)
    id.resize(kMaxInstanceId);
  return id;
}

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

std::optional<std::string> Description(const Node& node, const IdDatabases& databases) {
  if (auto text = CleanText(DatabaseDescription(node, databases)))
    return text;
  if (auto text = CleanText(OwnDescription(node)))
    return text;
  if (auto text = BuiltInDescription(node))
    return text;
  if (const auto pci = PciClassOf(node))
    return CleanText(PciClassDescription(*pci, databases.Pci()));
  return std::nullopt;
}

std::optional<std::string> FriendlyName(const Node& node) {
  const std::vector<std::string> interfaces = ClassDevices(node, "net");
  if (interfaces.size() != 1)
    return std::nullopt;
  auto alias = node.Tree().Read(interfaces.front(), "ifalias");
  if (!alias || alias->empty())
    return std::nullopt;
  if (alias->size() > kMaxText)
    alias->resize(kMaxText);
  return alias;
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
