// The Windows device-installation service (setupapi.dll), passed through.
// This folder is the Windows source alone; built only for Windows.
#pragma once

#include <memory>

#include "devices/DeviceService.h"

namespace quillon::devices {

// A service over this computer's device nodes. Sets it opens and the caller
// has not destroyed are destroyed with the service.
std::unique_ptr<DeviceService> MakeSetupApiService();

// True under Wine, whose state changes and status query are stubs: they fail,
// or succeed without writing their outputs.
bool RunningUnderWine();

}  // namespace quillon::devices
