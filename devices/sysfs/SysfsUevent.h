// What a device's `uevent` file carries: the kernel hands out in one read
// most of the IDs the listing would otherwise read one attribute file at a
// time (PCI_ID, PCI_CLASS, PRODUCT, TYPE, INTERFACE, MODALIAS, DRIVER, ...).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon::devices::sysfs {

// The value of `key` in uevent text ("KEY=value" lines); none when absent.
std::optional<std::string_view> UeventValue(std::string_view uevent, std::string_view key);

// Field `index` of a value split at `separator` ("46d/c31c/110"); empty
// when it has fewer fields.
std::string_view UeventField(std::string_view value, char separator, std::size_t index);

// True when the uevent of a node of `bus` may carry the attribute `name`.
bool UeventMayCarry(std::string_view bus, bool usbInterface, std::string_view name);

// The text the attribute file `name` of a node of `bus` holds, as the kernel
// prints it there ("0x8086", "046d", "09"), taken from the node's uevent;
// none when the uevent does not carry it.
std::optional<std::string> AttributeFromUevent(std::string_view uevent, std::string_view bus,
                                               bool usbInterface, std::string_view name);

}  // namespace quillon::devices::sysfs
