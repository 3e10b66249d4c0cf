// A node's cached attributes and firmware IDs, and the facts several rules read.
#include "devices/sysfs/SysfsNode.h"

#include <algorithm>

#include "devices/sysfs/SysfsParse.h"
#include "devices/sysfs/SysfsUevent.h"

namespace quillon::devices::sysfs {

namespace {

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

std::optional<UsbClass> UsbInterfaceClass(const SysfsTree& tree, const std::string& dir) {
  // INTERFACE=3/1/1: the three in one read.
  if (tree.ReadsUevents()) {
    if (const auto uevent = tree.Read(dir, "uevent")) {
      if (const auto triple = UeventValue(*uevent, "INTERFACE")) {
        const auto part = [&](std::size_t index) {
          return ParseDecimal(UeventField(*triple, '/', index));
        };
        if (const auto base = part(0))
          return UsbClass{*base, part(1).value_or(0), part(2).value_or(0)};
      }
    }
  }
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

}  // namespace

// ---- Node

Node::Node(const SysfsTree& tree, NodeLocation location)
    : tree_(&tree), location_(std::move(location)), name_(BaseName(location_.path)) {}

std::optional<std::string> Node::FromUevent(std::string_view name) const {
  // Only for an attribute the node has: the uevent gives its value, the
  // folder's listing (read anyway) whether it is there.
  if (!tree_->ReadsUevents() || !UeventMayCarry(location_.bus, IsUsbInterface(*this), name) ||
      !tree_->HasFile(location_.path, name)) {
    return std::nullopt;
  }
  const auto& uevent = Uevent();
  if (!uevent)
    return std::nullopt;
  return AttributeFromUevent(*uevent, location_.bus, IsUsbInterface(*this), name);
}

const std::optional<std::string>& Node::Attr(std::string_view name) const {
  for (const auto& [key, value] : attributes_) {
    if (key == name)
      return value;
  }
  std::optional<std::string> value = FromUevent(name);
  if (!value)
    value = tree_->Read(location_.path, name);
  attributes_.emplace_back(std::string(name), std::move(value));
  return attributes_.back().second;
}

const std::optional<std::string>& Node::Uevent() const {
  if (!uevent_)
    uevent_ = tree_->Read(location_.path, "uevent");
  return *uevent_;
}

bool Node::HasAttr(std::string_view name) const {
  for (const auto& [key, value] : attributes_) {
    if (key == name)
      return value.has_value();
  }
  return tree_->HasFile(location_.path, name);
}

std::optional<std::uint32_t> Node::HexAttr(std::string_view name) const {
  // An ID the kept uevent carries is not kept a second time as text: a set
  // of many nodes holds a dozen of them a node.
  if (std::none_of(attributes_.begin(), attributes_.end(),
                   [&](const auto& entry) { return entry.first == name; })) {
    if (const auto text = FromUevent(name))
      return ParseHex(*text);
  }
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

// ---- Facts several rules read

std::string ModAlias(const Node& node) {
  if (const auto& text = node.Attr("modalias"); text && !text->empty())
    return *text;
  if (const auto& uevent = node.Uevent()) {
    if (const auto value = UeventValue(*uevent, "MODALIAS"))
      return std::string(*value);
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

std::optional<PciClass> PciClassOf(const Node& node) {
  if (node.Bus() != "pci")
    return std::nullopt;
  const auto code = node.HexAttr("class");
  if (!code)
    return std::nullopt;
  return PciClass{(*code >> 16) & 0xFF, (*code >> 8) & 0xFF, *code & 0xFF};
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

bool AnyId(const Node& node, std::initializer_list<std::string_view> wanted) {
  for (const std::string& id : node.PnpIds()) {
    if (std::find(wanted.begin(), wanted.end(), id) != wanted.end())
      return true;
  }
  return false;
}

}  // namespace quillon::devices::sysfs
