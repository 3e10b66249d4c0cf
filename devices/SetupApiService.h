// The Windows device-installation service (setupapi.dll), passed through.
#pragma once

#include <memory>

#include "DeviceService.h"

namespace quillon::devices {

std::unique_ptr<DeviceService> MakeSetupApiService();

}  // namespace quillon::devices
