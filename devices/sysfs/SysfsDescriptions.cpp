// What a node is called: description (databases, own strings, tables) and friendly name.
#include "devices/sysfs/SysfsDescriptions.h"

#include <fcntl.h>

#include <array>

#include "devices/sysfs/OpenBeneath.h"
#include "devices/sysfs/SysfsCollect.h"
#include "devices/sysfs/SysfsParse.h"

namespace quillon::devices::sysfs {

namespace {

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
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 48> kNames = {{
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
      {"PNP0700", "Standard floppy disk controller"},
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
      {"QEMU0002", "QEMU firmware configuration device"},
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

// The driver-matching name of a platform device: "alarmtimer" for
// alarmtimer.0.auto, "serial8250" for serial8250.
std::string PlatformName(const Node& node) {
  const std::string modalias = ModAlias(node);
  if (StartsWith(modalias, "platform:") && modalias.size() > 9)
    return modalias.substr(9);
  std::string name = node.Name();
  if (const std::size_t dot = name.find('.'); dot != std::string::npos)
    name.resize(dot);
  return name;
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
  return NameIn(kNames, std::string_view(PlatformName(node)));
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
    // The chip's name: a subsystem name names the board or the machine,
    // the same for all of its functions.
    const auto vendor = node.HexAttr("vendor");
    const auto device = node.HexAttr("device");
    if (!vendor || !device)
      return std::nullopt;
    return databases.Pci().DeviceName(static_cast<std::uint16_t>(*vendor),
                                      static_cast<std::uint16_t>(*device));
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
      if (auto model = CleanText(node.Tree().ReadAlone(*parent, "model")))
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
  // A port with nothing plugged in: "i8042 AUX port".
  if (node.Bus() == "serio") {
    if (auto text = CleanText(node.Attr("description")))
      return text;
  }
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

}  // namespace

const IdDatabase& IdDatabases::Pci() const {
  if (!pci_)
    pci_ = IdDatabase::Open(root_, "pci.ids");
  return *pci_;
}

const IdDatabase& IdDatabases::Usb() const {
  if (!usb_)
    usb_ = IdDatabase::Open(root_, "usb.ids");
  return *usb_;
}

// What the kernel says of a node no source names: "ACPI device QEMU0002",
// "Platform device reg-fixed-voltage", "SERIO device psmouse".
std::optional<std::string> LastResort(const Node& node) {
  const std::string enumerator = Enumerator(node);
  const std::string kind = enumerator == "ROOT" ? "Platform" : enumerator;
  if (!node.PnpIds().empty())
    return kind + " device " + node.PnpIds().front();
  std::string modalias = ModAlias(node);
  if (node.Bus() == "platform" && !modalias.empty())
    return kind + " device " + PlatformName(node);
  if (node.Driver())
    return kind + " device " + *node.Driver();
  if (modalias.empty())
    return std::nullopt;
  modalias.erase(0, modalias.find(':') + 1);
  if (modalias.size() > 64)
    modalias.resize(64);
  return kind + " device " + modalias;
}

std::optional<std::string> Description(const Node& node, const IdDatabases& databases) {
  // A USB device's own product string first: product IDs are shared (QEMU's
  // keyboard and tablet). A root hub's names its host controller instead.
  if (node.Bus() == "usb" && !IsUsbInterface(node) && !IsUsbRootHub(node)) {
    if (auto text = CleanText(node.Attr("product")))
      return text;
  }
  if (auto text = CleanText(DatabaseDescription(node, databases)))
    return text;
  if (auto text = CleanText(OwnDescription(node)))
    return text;
  if (auto text = BuiltInDescription(node))
    return text;
  if (const auto pci = PciClassOf(node)) {
    if (auto text = CleanText(PciClassDescription(*pci, databases.Pci())))
      return text;
  }
  return CleanText(LastResort(node));
}

std::optional<std::string> FriendlyName(const Node& node) {
  const std::vector<std::string> interfaces = ClassDevices(node, "net");
  if (interfaces.size() != 1)
    return std::nullopt;
  // Cleaned like every other text: a tab or line break in an alias must not
  // split a report log record.
  return CleanText(node.Tree().ReadAlone(interfaces.front(), "ifalias"));
}

}  // namespace quillon::devices::sysfs
