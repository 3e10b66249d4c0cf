// Which sysfs entries are device nodes, and each one's enumerator and instance ID.
#include "devices/sysfs/SysfsCollect.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "devices/sysfs/SysfsParse.h"
#include "devices/sysfs/SysfsUevent.h"

namespace quillon::devices::sysfs {

namespace {

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

// Kernel bookkeeping, and buses whose devices only mirror another node
// (edac's memory controllers, nvmem's views of a chip's memory).
bool IsExcludedBus(std::string_view bus) {
  static constexpr std::array<std::string_view, 16> kBookkeeping = {
      "memory",    "memory_tiering", "clockevents", "clocksource",  "event_source",
      "workqueue", "node",           "container",   "machinecheck", "serial-base",
      "faux",      "cpuid",          "nd",          "dax",          "edac",
      "nvmem"};
  return std::find(kBookkeeping.begin(), kBookkeeping.end(), bus) != kBookkeeping.end();
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

// Hardware ID part of the instance ID.
std::string HardwareId(const Node& node, const std::string& enumerator) {
  if (enumerator == "PCI") {
    std::string id = "VEN_" + UpperHex(node.HexAttr("vendor").value_or(0), 4) + "&DEV_" +
                     UpperHex(node.HexAttr("device").value_or(0), 4);
    const auto subVendor = node.HexAttr("subsystem_vendor");
    const auto subDevice = node.HexAttr("subsystem_device");
    if (subVendor && subDevice)
      id += "&SUBSYS_" + UpperHex(*subDevice, 4) + UpperHex(*subVendor, 4);
    if (const auto revision = node.HexAttr("revision"))
      id += "&REV_" + UpperHex(*revision, 2);
    return id;
  }
  if (enumerator == "USB") {
    if (IsUsbInterface(node)) {
      const std::string parent = ParentPath(node.Path());
      // An interface's PRODUCT= is its device's: no reads in that folder.
      const auto deviceId = [&](const char* attribute, std::size_t index) {
        if (node.Tree().ReadsUevents() && node.Uevent()) {
          if (const auto product = UeventValue(*node.Uevent(), "PRODUCT"))
            return ParseHex(UeventField(*product, '/', index));
        }
        return ParseHex(node.Tree().Read(parent, attribute).value_or(""));
      };
      const auto vendor = deviceId("idVendor", 0);
      const auto product = deviceId("idProduct", 1);
      const auto number = node.HexAttr("bInterfaceNumber");
      return "VID_" + UpperHex(vendor.value_or(0), 4) + "&PID_" + UpperHex(product.value_or(0), 4) +
             "&MI_" + UpperHex(number.value_or(0), 2);
    }
    return "VID_" + UpperHex(node.HexAttr("idVendor").value_or(0), 4) + "&PID_" +
           UpperHex(node.HexAttr("idProduct").value_or(0), 4);
  }
  if (enumerator == "ACPI") {
    return node.PnpIds().empty() ? std::string("DEVICE") : IdPart(node.PnpIds().front());
  }
  if (enumerator == "STORAGE")
    return node.Kind() == NodeKind::kPartition ? "VOLUME" : "DISK";
  if (node.Bus() == "virtio") {
    return "VEN_" + UpperHex(node.HexAttr("vendor").value_or(0), 4) + "&DEV_" +
           UpperHex(node.HexAttr("device").value_or(0), 4);
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
      std::string hardware = "VEN_" + UpperHex(*id >> 16, 4) + "&DEV_" + UpperHex(*id & 0xFFFF, 4);
      if (const auto subsystem = node.HexAttr("subsystem_id")) {
        hardware += "&SUBSYS_" + UpperHex(*subsystem, 8);
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

}  // namespace

std::vector<NodeLocation> CollectNodes(const SysfsTree& tree) {
  std::vector<NodeLocation> nodes;
  if (!tree.Ok())
    return nodes;
  const std::string virtualDir = tree.Sys() + "/devices/virtual";
  const auto isVirtual = [&](const std::string& path) {
    return StartsWith(path, virtualDir) &&
           (path.size() == virtualDir.size() || path[virtualDir.size()] == '/');
  };
  // Canonical folders all the way: links in them are then followed through
  // the listings already read.
  const auto canonical = [&](const std::optional<std::string>& dir, std::string_view name) {
    return dir ? tree.Child(*dir, name) : std::nullopt;
  };
  // Hashed: tens of thousands of long paths that share their beginnings.
  std::unordered_set<std::string> seen;
  const std::optional<std::string> busRoot = tree.Child(tree.Sys(), "bus");
  for (const std::string& bus : busRoot ? tree.List(*busRoot) : std::vector<std::string>()) {
    if (IsExcludedBus(bus))
      continue;
    const std::optional<std::string> devices = canonical(canonical(busRoot, bus), "devices");
    if (!devices)
      continue;
    for (const std::string& name : tree.List(*devices)) {
      // SCSI hosts and targets are bookkeeping; the host adapter and the
      // logical units stand for them.
      if (bus == "scsi" && (StartsWith(name, "host") || StartsWith(name, "target")))
        continue;
      const auto path = tree.Child(*devices, name);
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
  std::optional<std::string> blockDir = canonical(tree.Child(tree.Sys(), "class"), "block");
  if (!blockDir || !tree.IsDirectory(*blockDir))
    blockDir = tree.Child(tree.Sys(), "block");
  std::vector<NodeLocation> blocks;
  for (const std::string& name : blockDir ? tree.List(*blockDir) : std::vector<std::string>()) {
    // A disk lies in a class folder of its controller ("nvme/nvme0") that
    // nothing else reads.
    const auto path = tree.LinkedDirectory(*blockDir, name);
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

}  // namespace quillon::devices::sysfs
