// The seam through which the sysfs backend will one day change devices
// (authorized, driver_override, bind/unbind). Nothing implements it against
// a real tree yet: state changes and friendly names are not supported, and
// tests will supply a writer that simulates the kernel's answers.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "DeviceService.h"

namespace quillon::devices::sysfs {

class SysfsWriter {
 public:
  virtual ~SysfsWriter() = default;
  // Writes `text` to attribute `name` of device directory `dir`; returns 0
  // or the errno value the kernel answered with.
  virtual int Write(const std::string& dir, std::string_view name, std::string_view text) = 0;
};

// The Windows error code for an errno value of a failed control write
// (errno numbers collide with Windows codes, so they are never passed on raw).
inline std::uint32_t ErrorFromErrno(int value) {
  switch (value) {
    case EACCES:
    case EPERM:
    case EROFS:
      return error::kAccessDenied;
    case ENOENT:
    case EOPNOTSUPP:
      return error::kNotSupported;
    case ENXIO:
    case ENODEV:
      return error::kNoSuchDevinst;
    case EBUSY:
      return error::kBusy;
    case EAGAIN:
      return error::kNotReady;
    case EINVAL:
      return error::kInvalidParameter;
    case ENOMEM:
      return error::kNotEnoughMemory;
    case EIO:
      return error::kGenFailure;
    default:
      return 0x20000000U + static_cast<std::uint32_t>(value);
  }
}

}  // namespace quillon::devices::sysfs
