#include "DeviceFileService.h"

#include "UnavailableDeviceService.h"

namespace quillon::devices {

// Placeholder until the device-file backend lands.
std::unique_ptr<DeviceService> MakeDeviceFileService(const std::string&, std::ostream&) {
  return std::make_unique<UnavailableDeviceService>(error::kNotSupported);
}

}  // namespace quillon::devices
