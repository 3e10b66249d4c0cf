#include "devices/DeviceServiceFactory.h"

#include <filesystem>
#include <ostream>

#include "devices/UnavailableDeviceService.h"
#include "devices/devicefile/DeviceFileService.h"
#include "os/LocaleText.h"
#ifdef _WIN32
#include "devices/windows/SetupApiService.h"
#else
#include "devices/sysfs/SysfsService.h"
#endif

namespace quillon::devices {

std::unique_ptr<DeviceService> CreateDeviceService(const std::string& source,
                                                   std::ostream& diagnostics) {
  namespace fs = std::filesystem;
  if (source.empty()) {
#ifdef _WIN32
    return MakeSetupApiService();
#else
    return MakeSysfsService("");
#endif
  }
  std::error_code ec;
  const fs::file_status status = fs::status(PathFromNarrow(source), ec);
  if (ec || !fs::exists(status)) {
    diagnostics << source << ": no such file or directory\n";
    return std::make_unique<UnavailableDeviceService>(error::kFileNotFound);
  }
  if (fs::is_directory(status)) {
#ifdef _WIN32
    diagnostics << source << ": a directory is no device source on Windows\n";
    return std::make_unique<UnavailableDeviceService>(error::kNotSupported);
#else
    return MakeSysfsService(source);
#endif
  }
  return MakeDeviceFileService(source, diagnostics);
}

}  // namespace quillon::devices
