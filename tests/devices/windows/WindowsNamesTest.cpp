// The device interface's look-alikes of Windows names against the real
// headers, read after the interface: same values, same structure sizes.
// WindowsHeadersFirstTest.cpp reads them in the other order.
#include "devices/DeviceService.h"

#include <cstdint>

// Every name the interface declares that the Windows headers define as a macro.
// clang-format off
#define QUILLON_WINDOWS_MACRO_NAMES(X) \
  X(DIGCF_PRESENT) X(DIGCF_ALLCLASSES) X(SPDRP_DEVICEDESC) X(SPDRP_FRIENDLYNAME) \
  X(REG_SZ) X(DIF_PROPERTYCHANGE) X(DICS_ENABLE) X(DICS_DISABLE) \
  X(DICS_START) X(DICS_STOP) X(DICS_FLAG_GLOBAL) X(DICS_FLAG_CONFIGSPECIFIC) \
  X(DN_ROOT_ENUMERATED) X(DN_DRIVER_LOADED) X(DN_STARTED) X(DN_HAS_PROBLEM) \
  X(DN_DISABLEABLE) X(DN_REMOVABLE) X(DN_NT_ENUMERATOR) X(DN_NT_DRIVER) \
  X(CM_PROB_FAILED_INSTALL) X(CM_PROB_DISABLED) X(CM_PROB_FAILED_START) X(CM_PROB_WAITING_ON_DEPENDENCY) \
  X(CR_SUCCESS) X(CR_INVALID_POINTER) X(CR_NO_SUCH_DEVINST) X(CR_FAILURE)
// clang-format on

// Taken before the macros exist.
namespace ours {
#define QUILLON_RECORD(name) constexpr std::uint32_t name##_ = quillon::devices::name;
QUILLON_WINDOWS_MACRO_NAMES(QUILLON_RECORD)
#undef QUILLON_RECORD
}  // namespace ours

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

#define QUILLON_SAME(name) \
  static_assert(ours::name##_ == static_cast<std::uint32_t>(name), #name " differs");
QUILLON_WINDOWS_MACRO_NAMES(QUILLON_SAME)
#undef QUILLON_SAME

namespace error = quillon::devices::error;
static_assert(error::kFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(error::kPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(error::kAccessDenied == ERROR_ACCESS_DENIED);
static_assert(error::kInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(error::kNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(error::kInvalidData == ERROR_INVALID_DATA);
static_assert(error::kNotReady == ERROR_NOT_READY);
static_assert(error::kGenFailure == ERROR_GEN_FAILURE);
static_assert(error::kNotSupported == ERROR_NOT_SUPPORTED);
static_assert(error::kInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(error::kInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(error::kBusy == ERROR_BUSY);
static_assert(error::kNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(error::kInvalidUserBuffer == ERROR_INVALID_USER_BUFFER);
static_assert(error::kNoDriverSelected == static_cast<std::uint32_t>(ERROR_NO_DRIVER_SELECTED));
static_assert(error::kInvalidRegProperty == static_cast<std::uint32_t>(ERROR_INVALID_REG_PROPERTY));
static_assert(error::kNoSuchDevinst == static_cast<std::uint32_t>(ERROR_NO_SUCH_DEVINST));
static_assert(error::kNoClassInstallParams ==
              static_cast<std::uint32_t>(ERROR_NO_CLASSINSTALL_PARAMS));
static_assert(error::kNotDisableable == static_cast<std::uint32_t>(ERROR_NOT_DISABLEABLE));

static_assert(sizeof(quillon::devices::SP_CLASSINSTALL_HEADER) == sizeof(::SP_CLASSINSTALL_HEADER));
static_assert(sizeof(quillon::devices::SP_PROPCHANGE_PARAMS) == sizeof(::SP_PROPCHANGE_PARAMS));
static_assert(sizeof(quillon::devices::GUID) == sizeof(::GUID));
