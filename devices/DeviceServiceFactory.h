// The one place that names the concrete device backends.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "devices/DeviceService.h"

namespace quillon::devices {

// `source` is the value of the /deviceSource= switch: empty for this
// computer's own devices, a file for a device file, a directory (Linux) for a
// tree whose sys/ is read as sysfs. A source that cannot be used gives a
// service whose open fails with an error code; `diagnostics` receives a
// one-line explanation for the user where there is more to say than the code.
std::unique_ptr<DeviceService> CreateDeviceService(const std::string& source,
                                                   std::ostream& diagnostics);

}  // namespace quillon::devices
