// A JSON file that describes a machine's devices, with failures to inject.
// Changes are written back to the file atomically.
//
// Layout: this service answers the calls over a model (DeviceFileModel: the
// members, read by the quick or the checked reader, and the edits); the
// store (DeviceFileStore) reads the file and writes it back.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "devices/DeviceService.h"

namespace quillon::devices {

// Reads `path` at every open of a set; a broken file opens as a failed set
// and is explained on `diagnostics` with the file, line and reason.
std::unique_ptr<DeviceService> MakeDeviceFileService(const std::string& path,
                                                     std::ostream& diagnostics);

}  // namespace quillon::devices
