// This computer's devices on Linux, read from sysfs under a root prefix and
// presented in the Windows device model.
#pragma once

#include <memory>
#include <string>

#include "DeviceService.h"

namespace quillon::devices {

// `root` is prepended to /sys and to the ID databases; empty for this computer.
std::unique_ptr<DeviceService> MakeSysfsService(const std::string& root);

}  // namespace quillon::devices
