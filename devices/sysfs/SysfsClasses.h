// The setup class of a node and the class GUIDs.
#pragma once

#include <string_view>

#include "devices/DeviceService.h"
#include "devices/sysfs/SysfsNode.h"

namespace quillon::devices::sysfs {

// The setup class name ("Net", "System", ...) and its GUID.
std::string_view SetupClassName(const Node& node);
GUID SetupClassGuid(std::string_view className);

}  // namespace quillon::devices::sysfs
