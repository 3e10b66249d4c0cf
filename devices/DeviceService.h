// The device configuration service: the operations the window needs from the
// operating system's device-installation service, one method per SetupAPI or
// configuration-manager function. Backends: SetupAPI (Windows), sysfs (Linux),
// and a device file that stands in for a whole machine.
//
// Layout: this folder holds what every source shares (this interface,
// DeviceText's formats and texts, the unavailable service) and the factory,
// the one place that names the sources. Each source lives in a folder and
// library of its own: devicefile/, sysfs/ (with the ID databases), windows/.
//
// The types keep the Windows shape so that the SetupAPI backend is a thin
// pass-through.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quillon::devices {

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

struct SP_DEVINFO_DATA {
  std::uint32_t cbSize;
  GUID ClassGuid;
  std::uint32_t DevInst;  // 0 is a valid node handle
  std::uintptr_t Reserved;
};

struct SP_CLASSINSTALL_HEADER {
  std::uint32_t cbSize;
  std::uint32_t InstallFunction;
};

struct SP_PROPCHANGE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  std::uint32_t StateChange;
  std::uint32_t Scope;
  std::uint32_t HwProfile;
};

static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8);
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20);

// The Windows headers define each of the names below as a macro of the same
// value. Set the macros aside while the names are declared, so that this
// header reads the same whether <windows.h>, <setupapi.h> or <cfgmgr32.h>
// came before it or come after; behind it the macros, where defined, are back.
// clang-format off
#pragma push_macro("DIGCF_PRESENT")
#undef DIGCF_PRESENT
#pragma push_macro("DIGCF_ALLCLASSES")
#undef DIGCF_ALLCLASSES
#pragma push_macro("SPDRP_DEVICEDESC")
#undef SPDRP_DEVICEDESC
#pragma push_macro("SPDRP_FRIENDLYNAME")
#undef SPDRP_FRIENDLYNAME
#pragma push_macro("REG_SZ")
#undef REG_SZ
#pragma push_macro("DIF_PROPERTYCHANGE")
#undef DIF_PROPERTYCHANGE
#pragma push_macro("DICS_ENABLE")
#undef DICS_ENABLE
#pragma push_macro("DICS_DISABLE")
#undef DICS_DISABLE
#pragma push_macro("DICS_START")
#undef DICS_START
#pragma push_macro("DICS_STOP")
#undef DICS_STOP
#pragma push_macro("DICS_FLAG_GLOBAL")
#undef DICS_FLAG_GLOBAL
#pragma push_macro("DICS_FLAG_CONFIGSPECIFIC")
#undef DICS_FLAG_CONFIGSPECIFIC
#pragma push_macro("DN_ROOT_ENUMERATED")
#undef DN_ROOT_ENUMERATED
#pragma push_macro("DN_DRIVER_LOADED")
#undef DN_DRIVER_LOADED
#pragma push_macro("DN_STARTED")
#undef DN_STARTED
#pragma push_macro("DN_HAS_PROBLEM")
#undef DN_HAS_PROBLEM
#pragma push_macro("DN_DISABLEABLE")
#undef DN_DISABLEABLE
#pragma push_macro("DN_REMOVABLE")
#undef DN_REMOVABLE
#pragma push_macro("DN_NT_ENUMERATOR")
#undef DN_NT_ENUMERATOR
#pragma push_macro("DN_NT_DRIVER")
#undef DN_NT_DRIVER
#pragma push_macro("CM_PROB_FAILED_INSTALL")
#undef CM_PROB_FAILED_INSTALL
#pragma push_macro("CM_PROB_DISABLED")
#undef CM_PROB_DISABLED
#pragma push_macro("CM_PROB_FAILED_START")
#undef CM_PROB_FAILED_START
#pragma push_macro("CM_PROB_WAITING_ON_DEPENDENCY")
#undef CM_PROB_WAITING_ON_DEPENDENCY
#pragma push_macro("CR_SUCCESS")
#undef CR_SUCCESS
#pragma push_macro("CR_INVALID_POINTER")
#undef CR_INVALID_POINTER
#pragma push_macro("CR_NO_SUCH_DEVINST")
#undef CR_NO_SUCH_DEVINST
#pragma push_macro("CR_FAILURE")
#undef CR_FAILURE
#pragma push_macro("SPDRP_HARDWAREID")
#undef SPDRP_HARDWAREID
#pragma push_macro("SPDRP_COMPATIBLEIDS")
#undef SPDRP_COMPATIBLEIDS
#pragma push_macro("SPDRP_SERVICE")
#undef SPDRP_SERVICE
#pragma push_macro("SPDRP_LOCATION_INFORMATION")
#undef SPDRP_LOCATION_INFORMATION
#pragma push_macro("REG_MULTI_SZ")
#undef REG_MULTI_SZ
#pragma push_macro("CR_BUFFER_SMALL")
#undef CR_BUFFER_SMALL
#pragma push_macro("CR_CALL_NOT_IMPLEMENTED")
#undef CR_CALL_NOT_IMPLEMENTED
// clang-format on

// Flags of SetupDiGetClassDevsA.
constexpr std::uint32_t DIGCF_PRESENT = 0x2;
constexpr std::uint32_t DIGCF_ALLCLASSES = 0x4;

// Registry properties.
constexpr std::uint32_t SPDRP_DEVICEDESC = 0x0;
constexpr std::uint32_t SPDRP_FRIENDLYNAME = 0xC;
constexpr std::uint32_t SPDRP_HARDWAREID = 0x1;     // REG_MULTI_SZ, most specific first
constexpr std::uint32_t SPDRP_COMPATIBLEIDS = 0x2;  // REG_MULTI_SZ, most specific first
constexpr std::uint32_t SPDRP_SERVICE = 0x4;        // the driver's service
constexpr std::uint32_t SPDRP_LOCATION_INFORMATION = 0xD;
constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_MULTI_SZ = 7;
// Not a Windows property (beyond SPDRP_MAXIMUM_PROPERTY): the kernel module
// behind the bound driver, where the source has modules (sysfs). SetupAPI
// refuses it as it refuses any unknown property.
constexpr std::uint32_t kPropertyDriverModule = 0x10000;

// Class installer requests.
constexpr std::uint32_t DIF_PROPERTYCHANGE = 0x12;
constexpr std::uint32_t DICS_ENABLE = 1;
constexpr std::uint32_t DICS_DISABLE = 2;
constexpr std::uint32_t DICS_START = 4;
constexpr std::uint32_t DICS_STOP = 5;
constexpr std::uint32_t DICS_FLAG_GLOBAL = 1;
constexpr std::uint32_t DICS_FLAG_CONFIGSPECIFIC = 2;

// Node status flags and problem codes used by the non-Windows backends.
constexpr std::uint32_t DN_ROOT_ENUMERATED = 0x1;
constexpr std::uint32_t DN_DRIVER_LOADED = 0x2;
constexpr std::uint32_t DN_STARTED = 0x8;
constexpr std::uint32_t DN_HAS_PROBLEM = 0x400;
constexpr std::uint32_t DN_DISABLEABLE = 0x2000;
constexpr std::uint32_t DN_REMOVABLE = 0x4000;
constexpr std::uint32_t DN_NT_ENUMERATOR = 0x00800000;
constexpr std::uint32_t DN_NT_DRIVER = 0x01000000;
constexpr std::uint32_t CM_PROB_FAILED_INSTALL = 28;
constexpr std::uint32_t CM_PROB_DISABLED = 22;
constexpr std::uint32_t CM_PROB_FAILED_START = 10;
constexpr std::uint32_t CM_PROB_WAITING_ON_DEPENDENCY = 51;
constexpr std::uint32_t CR_SUCCESS = 0;
constexpr std::uint32_t CR_INVALID_POINTER = 0x3;
constexpr std::uint32_t CR_NO_SUCH_DEVINST = 0xD;
constexpr std::uint32_t CR_FAILURE = 0x13;
constexpr std::uint32_t CR_BUFFER_SMALL = 0x1A;
constexpr std::uint32_t CR_CALL_NOT_IMPLEMENTED = 0x34;

// clang-format off
#pragma pop_macro("DIGCF_PRESENT")
#pragma pop_macro("DIGCF_ALLCLASSES")
#pragma pop_macro("SPDRP_DEVICEDESC")
#pragma pop_macro("SPDRP_FRIENDLYNAME")
#pragma pop_macro("REG_SZ")
#pragma pop_macro("DIF_PROPERTYCHANGE")
#pragma pop_macro("DICS_ENABLE")
#pragma pop_macro("DICS_DISABLE")
#pragma pop_macro("DICS_START")
#pragma pop_macro("DICS_STOP")
#pragma pop_macro("DICS_FLAG_GLOBAL")
#pragma pop_macro("DICS_FLAG_CONFIGSPECIFIC")
#pragma pop_macro("DN_ROOT_ENUMERATED")
#pragma pop_macro("DN_DRIVER_LOADED")
#pragma pop_macro("DN_STARTED")
#pragma pop_macro("DN_HAS_PROBLEM")
#pragma pop_macro("DN_DISABLEABLE")
#pragma pop_macro("DN_REMOVABLE")
#pragma pop_macro("DN_NT_ENUMERATOR")
#pragma pop_macro("DN_NT_DRIVER")
#pragma pop_macro("CM_PROB_FAILED_INSTALL")
#pragma pop_macro("CM_PROB_DISABLED")
#pragma pop_macro("CM_PROB_FAILED_START")
#pragma pop_macro("CM_PROB_WAITING_ON_DEPENDENCY")
#pragma pop_macro("CR_SUCCESS")
#pragma pop_macro("CR_INVALID_POINTER")
#pragma pop_macro("CR_NO_SUCH_DEVINST")
#pragma pop_macro("CR_FAILURE")
#pragma pop_macro("SPDRP_HARDWAREID")
#pragma pop_macro("SPDRP_COMPATIBLEIDS")
#pragma pop_macro("SPDRP_SERVICE")
#pragma pop_macro("SPDRP_LOCATION_INFORMATION")
#pragma pop_macro("REG_MULTI_SZ")
#pragma pop_macro("CR_BUFFER_SMALL")
#pragma pop_macro("CR_CALL_NOT_IMPLEMENTED")
// clang-format on

// Last-error codes (Windows values) that the backends report.
namespace error {
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kInvalidHandle = 6;
constexpr std::uint32_t kNotEnoughMemory = 8;
constexpr std::uint32_t kInvalidData = 13;
constexpr std::uint32_t kNotReady = 21;
constexpr std::uint32_t kGenFailure = 31;
constexpr std::uint32_t kNotSupported = 50;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kInsufficientBuffer = 122;
constexpr std::uint32_t kBusy = 170;
constexpr std::uint32_t kNoMoreItems = 259;
constexpr std::uint32_t kInvalidUserBuffer = 1784;
constexpr std::uint32_t kNoDriverSelected = 0xE0000203;
constexpr std::uint32_t kInvalidRegProperty = 0xE0000209;
constexpr std::uint32_t kNoSuchDevinst = 0xE000020B;
constexpr std::uint32_t kNoClassInstallParams = 0xE0000215;
constexpr std::uint32_t kNotDisableable = 0xE0000231;
}  // namespace error

// An open set of device nodes. Opaque: each backend decides what it points to.
struct DeviceInfoSetTag;
using HDEVINFO = DeviceInfoSetTag*;

// Every operation returns false (or an empty handle) on failure and then
// GetLastError() gives the Windows error code. Backends show nothing
// themselves; the caller decides what to report.
class DeviceService {
 public:
  virtual ~DeviceService() = default;

  // Opens the present device nodes of all classes, of one enumerator when
  // `enumerator` is non-null (compared ignoring case). nullptr on failure.
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                        std::uint32_t flags) = 0;
  // Fills `data` (whose cbSize must be sizeof(SP_DEVINFO_DATA)) for member
  // `memberIndex`; fails with 259 past the last member.
  virtual bool SetupDiEnumDeviceInfo(HDEVINFO set, std::uint32_t memberIndex,
                                     SP_DEVINFO_DATA* data) = 0;
  // NUL-terminated instance ID; fails with 122 when it does not fit.
  virtual bool SetupDiGetDeviceInstanceIdA(HDEVINFO set, const SP_DEVINFO_DATA* data, char* buffer,
                                           std::uint32_t bufferSize,
                                           std::uint32_t* requiredSize) = 0;
  // NUL-terminated text property (REG_SZ), or for the ID lists a REG_MULTI_SZ
  // (each text NUL-terminated, then one more NUL); fails with 13 when the
  // node has none and with 122 when it does not fit (`requiredSize` then
  // says how much would).
  virtual bool SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, const SP_DEVINFO_DATA* data,
                                                 std::uint32_t property,
                                                 std::uint32_t* propertyRegDataType,
                                                 std::uint8_t* buffer, std::uint32_t bufferSize,
                                                 std::uint32_t* requiredSize) = 0;
  // Stores `bufferSize` bytes as the property's text (no terminator counted;
  // 0 stores the empty text).
  virtual bool SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data,
                                                 std::uint32_t property, const std::uint8_t* buffer,
                                                 std::uint32_t bufferSize) = 0;
  // Attaches class-install parameters (an SP_PROPCHANGE_PARAMS) to the member.
  virtual bool SetupDiSetClassInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data,
                                             const SP_CLASSINSTALL_HEADER* params,
                                             std::uint32_t paramsSize) = 0;
  // Carries out the attached request.
  virtual bool SetupDiCallClassInstaller(std::uint32_t installFunction, HDEVINFO set,
                                         SP_DEVINFO_DATA* data) = 0;
  // CONFIGRET: CR_SUCCESS when both outputs were written; leaves them
  // untouched otherwise.
  virtual std::uint32_t CM_Get_DevNode_Status(std::uint32_t* status, std::uint32_t* problemNumber,
                                              std::uint32_t devInst, std::uint32_t flags) = 0;
  // CONFIGRET: the parent's node handle in `parent`; CR_NO_SUCH_DEVINST for
  // a root (no parent) or an unknown handle. Sources without a tree answer
  // CR_CALL_NOT_IMPLEMENTED.
  virtual std::uint32_t CM_Get_Parent(std::uint32_t* parent, std::uint32_t devInst,
                                      std::uint32_t flags) {
    (void)parent, (void)devInst, (void)flags;
    return CR_CALL_NOT_IMPLEMENTED;
  }
  // CONFIGRET: the node's instance ID, NUL-terminated; CR_BUFFER_SMALL when
  // it does not fit (`buffer` then holds what fits, unterminated).
  virtual std::uint32_t CM_Get_Device_IDA(std::uint32_t devInst, char* buffer,
                                          std::uint32_t bufferLength, std::uint32_t flags) {
    (void)devInst, (void)buffer, (void)bufferLength, (void)flags;
    return CR_CALL_NOT_IMPLEMENTED;
  }
  virtual bool SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
  // The error code of the last failed operation on this thread.
  virtual std::uint32_t GetLastError() const = 0;
  // Why the last change was refused with ERROR_NOT_DISABLEABLE, as a phrase
  // about the device ("/media/stick is mounted from it"); empty when the
  // source does not say. Not a SetupAPI function: Windows gives no reason.
  virtual std::string LastRefusalReason() const { return std::string(); }
};

// Owns one open set and destroys it through its service.
class DeviceInfoSetCloser {
 public:
  DeviceInfoSetCloser() = default;
  explicit DeviceInfoSetCloser(DeviceService& service) : service_(&service) {}
  void operator()(HDEVINFO set) const {
    if (service_ != nullptr)
      service_->SetupDiDestroyDeviceInfoList(set);
  }

 private:
  DeviceService* service_ = nullptr;
};
using DeviceInfoSetPtr = std::unique_ptr<DeviceInfoSetTag, DeviceInfoSetCloser>;

// SetupDiGetClassDevsA with the flags the window uses (present nodes of all
// classes); an empty enumerator means all enumerators. Empty on failure.
DeviceInfoSetPtr OpenPresentDevices(DeviceService& service, const char* enumerator);

}  // namespace quillon::devices
