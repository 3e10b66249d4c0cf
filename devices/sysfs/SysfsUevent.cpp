// A node's attributes as its uevent file carries them.
#include "devices/sysfs/SysfsUevent.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "devices/sysfs/SysfsParse.h"

namespace quillon::devices::sysfs {

namespace {

std::optional<std::string> Print(const char* format, std::optional<std::uint32_t> value) {
  if (!value)
    return std::nullopt;
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), format, static_cast<unsigned>(*value));
  return std::string(text.data());
}

// A field of `key` printed in hexadecimal, as its attribute prints it.
std::optional<std::string> HexField(std::string_view uevent, std::string_view key, char separator,
                                    std::size_t index, const char* format) {
  const auto value = UeventValue(uevent, key);
  if (!value)
    return std::nullopt;
  return Print(format, ParseHex(UeventField(*value, separator, index)));
}

// A decimal field of `key` ("TYPE=9/0/1"), printed as its attribute prints it.
std::optional<std::string> DecimalField(std::string_view uevent, std::string_view key,
                                        std::size_t index, const char* format) {
  const auto value = UeventValue(uevent, key);
  if (!value)
    return std::nullopt;
  return Print(format, ParseDecimal(UeventField(*value, '/', index)));
}

// The hexadecimal digits after `tag` in a modalias, up to the next letter
// that is no hexadecimal digit ("in" in "...ip01in00", "d" in "virtio:d...").
std::optional<std::uint32_t> ModaliasNumber(std::string_view modalias, std::string_view tag,
                                            std::size_t digits) {
  const std::size_t at = modalias.rfind(tag);
  if (at == std::string_view::npos || at + tag.size() + digits > modalias.size())
    return std::nullopt;
  return ParseHex(modalias.substr(at + tag.size(), digits));
}

std::optional<std::string> FromModalias(std::string_view uevent, std::string_view prefix,
                                        std::string_view tag, std::size_t digits,
                                        const char* format) {
  const auto modalias = UeventValue(uevent, "MODALIAS");
  if (!modalias || !StartsWith(*modalias, prefix))
    return std::nullopt;
  return Print(format, ModaliasNumber(modalias->substr(prefix.size()), tag, digits));
}

}  // namespace

std::string_view UeventField(std::string_view value, char separator, std::size_t index) {
  for (; index > 0; --index) {
    const std::size_t at = value.find(separator);
    if (at == std::string_view::npos)
      return {};
    value.remove_prefix(at + 1);
  }
  return value.substr(0, value.find(separator));
}

std::optional<std::string_view> UeventValue(std::string_view uevent, std::string_view key) {
  std::size_t pos = 0;
  while (pos < uevent.size()) {
    const std::size_t end = std::min(uevent.find('\n', pos), uevent.size());
    const std::string_view line = uevent.substr(pos, end - pos);
    if (line.size() > key.size() && line[key.size()] == '=' && StartsWith(line, key))
      return line.substr(key.size() + 1);
    pos = end + 1;
  }
  return std::nullopt;
}

bool UeventMayCarry(std::string_view bus, bool usbInterface, std::string_view name) {
  if (name == "modalias")
    return true;
  if (bus == "pci") {
    return name == "vendor" || name == "device" || name == "subsystem_vendor" ||
           name == "subsystem_device" || name == "class";
  }
  if (bus == "usb" && usbInterface) {
    return name == "bInterfaceClass" || name == "bInterfaceSubClass" ||
           name == "bInterfaceProtocol" || name == "bInterfaceNumber";
  }
  if (bus == "usb") {
    return name == "idVendor" || name == "idProduct" || name == "bcdDevice" ||
           name == "bDeviceClass" || name == "bDeviceSubClass" || name == "bDeviceProtocol";
  }
  if (bus == "virtio")
    return name == "vendor" || name == "device";
  if (bus == "hdaudio")
    return name == "vendor_id";
  return false;
}

std::optional<std::string> AttributeFromUevent(std::string_view uevent, std::string_view bus,
                                               bool usbInterface, std::string_view name) {
  if (!UeventMayCarry(bus, usbInterface, name))
    return std::nullopt;
  if (name == "modalias") {
    const auto value = UeventValue(uevent, "MODALIAS");
    return value ? std::optional<std::string>(*value) : std::nullopt;
  }
  if (bus == "pci") {
    // PCI_ID=8086:0D57, PCI_SUBSYS_ID=17AA:2293, PCI_CLASS=60000.
    if (name == "vendor" || name == "device")
      return HexField(uevent, "PCI_ID", ':', name == "device" ? 1 : 0, "0x%04x");
    if (name == "class")
      return HexField(uevent, "PCI_CLASS", ':', 0, "0x%06x");
    return HexField(uevent, "PCI_SUBSYS_ID", ':', name == "subsystem_device" ? 1 : 0, "0x%04x");
  }
  if (bus == "usb" && usbInterface) {
    // INTERFACE=3/1/1 in decimal; the number only in the modalias ("in00").
    if (name == "bInterfaceNumber")
      return FromModalias(uevent, "usb:", "in", 2, "%02x");
    const std::size_t index = name == "bInterfaceClass" ? 0 : name == "bInterfaceSubClass" ? 1 : 2;
    return DecimalField(uevent, "INTERFACE", index, "%02x");
  }
  if (bus == "usb") {
    // PRODUCT=46d/c31c/110 in hexadecimal without leading zeros, TYPE=0/0/0 in decimal.
    if (name == "idVendor" || name == "idProduct" || name == "bcdDevice") {
      const std::size_t index = name == "idVendor" ? 0 : name == "idProduct" ? 1 : 2;
      return HexField(uevent, "PRODUCT", '/', index, "%04x");
    }
    const std::size_t index = name == "bDeviceClass" ? 0 : name == "bDeviceSubClass" ? 1 : 2;
    return DecimalField(uevent, "TYPE", index, "%02x");
  }
  if (bus == "virtio") {
    // MODALIAS=virtio:d00000005v00001AF4
    return FromModalias(uevent, "virtio:", name == "device" ? "d" : "v", 8, "0x%04x");
  }
  if (bus == "hdaudio")  // MODALIAS=hdaudio:v10EC0257r00100001a01
    return FromModalias(uevent, "hdaudio:", "v", 8, "0x%08x");
  return std::nullopt;
}

}  // namespace quillon::devices::sysfs
