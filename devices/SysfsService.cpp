#include "SysfsService.h"

#include "UnavailableDeviceService.h"

namespace quillon::devices {

// Placeholder until the sysfs backend lands.
std::unique_ptr<DeviceService> MakeSysfsService(const std::string&) {
  return std::make_unique<UnavailableDeviceService>(error::kNotSupported);
}

}  // namespace quillon::devices
