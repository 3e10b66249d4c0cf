#include "devices/DeviceServiceFactory.h"

#include <filesystem>
#include <ostream>

#include "devices/UnavailableDeviceService.h"
#include "devices/devicefile/DeviceFileService.h"
#include "os/LocaleText.h"
#ifdef _WIN32
#include "devices/windows/SetupApiService.h"
#else
#include <limits.h>
#include <unistd.h>

#include "devices/sysfs/SysfsService.h"
#endif

namespace quillon::devices {

#ifndef _WIN32
namespace {

// The helper where the package put it beside this program: the polkit
// action names that path. Empty when this program's path is unknown.
std::string InstalledHelper() {
  std::string path(PATH_MAX, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size())
    return {};
  path.resize(static_cast<std::size_t>(length));
  // pkexec compares the path as given with the action's: no "..".
  return std::filesystem::path(path.substr(0, path.rfind('/') + 1) +
                               QUILLON_CHANGE_HELPER_FROM_BINDIR)
      .lexically_normal()
      .string();
}

}  // namespace
#endif

std::unique_ptr<DeviceService> CreateDeviceService(const std::string& source,
                                                   std::ostream& diagnostics) {
  namespace fs = std::filesystem;
  if (source.empty()) {
#ifdef _WIN32
    return MakeSetupApiService();
#else
    SysfsOptions options = DefaultSysfsOptions("");
    // Root writes directly; anyone else asks polkit to let the helper do it.
    if (geteuid() != 0) {
      options.privileged = sysfs::MakePkexecChanger("/usr/bin/pkexec", InstalledHelper());
      options.diagnostics = &diagnostics;
    }
    return MakeSysfsService(options);
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
