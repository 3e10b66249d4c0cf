#include "SetupApiService.h"

#include "UnavailableDeviceService.h"

namespace quillon::devices {

// Placeholder until the SetupAPI backend lands.
std::unique_ptr<DeviceService> MakeSetupApiService() {
  return std::make_unique<UnavailableDeviceService>(error::kNotSupported);
}

}  // namespace quillon::devices
