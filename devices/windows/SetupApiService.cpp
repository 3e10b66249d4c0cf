// The interface's constants share their names with macros of the Windows
// headers; below the Windows includes those names mean the macros (of the
// same values).
#include "devices/windows/SetupApiService.h"
#include "devices/DeviceText.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <set>
#include <string_view>
#include <vector>

namespace quillon::devices {
namespace {

// The look-alike records are copied field by field; they must have the
// Windows layout so that sizes passed by callers (cbSize, paramsSize) mean
// the same on both sides.
static_assert(sizeof(SP_DEVINFO_DATA) == sizeof(::SP_DEVINFO_DATA));
static_assert(offsetof(SP_DEVINFO_DATA, ClassGuid) == offsetof(::SP_DEVINFO_DATA, ClassGuid));
static_assert(offsetof(SP_DEVINFO_DATA, DevInst) == offsetof(::SP_DEVINFO_DATA, DevInst));
static_assert(offsetof(SP_DEVINFO_DATA, Reserved) == offsetof(::SP_DEVINFO_DATA, Reserved));
static_assert(sizeof(GUID) == sizeof(::GUID));
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == sizeof(::SP_CLASSINSTALL_HEADER));
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == sizeof(::SP_PROPCHANGE_PARAMS));
static_assert(offsetof(SP_PROPCHANGE_PARAMS, StateChange) ==
              offsetof(::SP_PROPCHANGE_PARAMS, StateChange));
static_assert(offsetof(SP_PROPCHANGE_PARAMS, HwProfile) ==
              offsetof(::SP_PROPCHANGE_PARAMS, HwProfile));
#ifdef _WIN64
static_assert(sizeof(::SP_DEVINFO_DATA) == 32);
#else
static_assert(sizeof(::SP_DEVINFO_DATA) == 28);
#endif

// The text in a registry write's bytes: up to the terminator, if any.
std::string_view TextBefore(const std::uint8_t* buffer, std::uint32_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(buffer), size);
  return bytes.substr(0, bytes.find('\0'));
}

// "No set" is nullptr on our side; SetupAPI spells it INVALID_HANDLE_VALUE.
::HDEVINFO ToNative(HDEVINFO set) {
  return set == nullptr ? INVALID_HANDLE_VALUE : static_cast<::HDEVINFO>(set);
}

// A caller's record as SetupAPI sees it: copied in, and out again when asked.
// cbSize is passed on unchanged, so a wrong one fails as it would natively.
class NativeRecord {
 public:
  explicit NativeRecord(const SP_DEVINFO_DATA* data) : present_(data != nullptr) {
    if (data == nullptr)
      return;
    native_.cbSize = data->cbSize;
    std::memcpy(&native_.ClassGuid, &data->ClassGuid, sizeof native_.ClassGuid);
    native_.DevInst = data->DevInst;
    native_.Reserved = data->Reserved;
  }

  ::SP_DEVINFO_DATA* get() { return present_ ? &native_ : nullptr; }

  void CopyTo(SP_DEVINFO_DATA* data) const {
    if (data == nullptr)
      return;
    data->cbSize = native_.cbSize;
    std::memcpy(&data->ClassGuid, &native_.ClassGuid, sizeof data->ClassGuid);
    data->DevInst = native_.DevInst;
    data->Reserved = native_.Reserved;
  }

 private:
  bool present_;
  ::SP_DEVINFO_DATA native_{};
};

// An optional DWORD output (DWORD is unsigned long, a different type from
// std::uint32_t): written back to the caller's variable when it goes.
class DwordOut {
 public:
  explicit DwordOut(std::uint32_t* target) : target_(target) {}
  DwordOut(const DwordOut&) = delete;
  DwordOut& operator=(const DwordOut&) = delete;
  ~DwordOut() {
    if (target_ != nullptr)
      *target_ = value_;
  }

  DWORD* get() { return target_ != nullptr ? &value_ : nullptr; }

 private:
  std::uint32_t* target_;
  DWORD value_ = 0;
};

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ;
}

class SetupApiService final : public DeviceService {
 public:
  SetupApiService() = default;
  SetupApiService(const SetupApiService&) = delete;
  SetupApiService& operator=(const SetupApiService&) = delete;

  ~SetupApiService() override {
    for (::HDEVINFO set : open_)
      ::SetupDiDestroyDeviceInfoList(set);
  }

  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                std::uint32_t flags) override {
    ::GUID nativeGuid{};
    if (classGuid != nullptr)
      std::memcpy(&nativeGuid, classGuid, sizeof nativeGuid);
    const ::HDEVINFO set = ::SetupDiGetClassDevsA(classGuid != nullptr ? &nativeGuid : nullptr,
                                                  enumerator, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) {
      Check(FALSE);
      return nullptr;
    }
    open_.insert(set);
    return static_cast<HDEVINFO>(set);
  }

  bool SetupDiEnumDeviceInfo(HDEVINFO set, std::uint32_t memberIndex,
                             SP_DEVINFO_DATA* data) override {
    NativeRecord record(data);
    if (!Check(::SetupDiEnumDeviceInfo(ToNative(set), memberIndex, record.get())))
      return false;
    record.CopyTo(data);
    return true;
  }

  bool SetupDiGetDeviceInstanceIdA(HDEVINFO set, const SP_DEVINFO_DATA* data, char* buffer,
                                   std::uint32_t bufferSize, std::uint32_t* requiredSize) override {
    NativeRecord record(data);
    DwordOut required(requiredSize);
    return Check(::SetupDiGetDeviceInstanceIdA(ToNative(set), record.get(), buffer, bufferSize,
                                               required.get()));
  }

  bool SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, const SP_DEVINFO_DATA* data,
                                         std::uint32_t property, std::uint32_t* propertyRegDataType,
                                         std::uint8_t* buffer, std::uint32_t bufferSize,
                                         std::uint32_t* requiredSize) override {
    NativeRecord record(data);
    DWORD type = 0;
    DWORD required = 0;
    const bool ok = Check(::SetupDiGetDeviceRegistryPropertyA(
        ToNative(set), record.get(), property, &type, buffer, bufferSize, &required));
    if (propertyRegDataType != nullptr)
      *propertyRegDataType = type;
    if (requiredSize != nullptr)
      *requiredSize = required;
    if (!ok || buffer == nullptr || !IsTextType(type))
      return ok;
    // The registry keeps texts as written, terminator or not; callers are
    // promised a terminated text, so end it here or report the room missing.
    const auto written = static_cast<std::uint32_t>(required < bufferSize ? required : bufferSize);
    if (written > 0 && buffer[written - 1] == '\0')
      return true;
    if (written < bufferSize) {
      buffer[written] = '\0';
      return true;
    }
    if (requiredSize != nullptr)
      *requiredSize = written + 1;
    lastError_ = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }

  bool SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data,
                                         std::uint32_t property, const std::uint8_t* buffer,
                                         std::uint32_t bufferSize) override {
    NativeRecord record(data);
    // A name with a control character would break report lines: refused
    // before SetupAPI sees it, as every source refuses it.
    if (property == SPDRP_FRIENDLYNAME && buffer != nullptr &&
        HasControlCharacter(TextBefore(buffer, bufferSize))) {
      lastError_ = ERROR_INVALID_PARAMETER;
      return false;
    }
    // Texts are stored with their terminator: without one the registry keeps
    // an unterminated text, and a count of 0 stores nothing at all, so a later
    // read would return whatever the caller's buffer held before.
    std::vector<BYTE> text;
    const BYTE* bytes = buffer;
    DWORD size = bufferSize;
    if (buffer != nullptr && (bufferSize == 0 || buffer[bufferSize - 1] != '\0')) {
      text.assign(buffer, buffer + bufferSize);
      text.push_back('\0');
      bytes = text.data();
      size = static_cast<DWORD>(text.size());
    }
    if (!Check(::SetupDiSetDeviceRegistryPropertyA(ToNative(set), record.get(), property, bytes,
                                                   size))) {
      return false;
    }
    record.CopyTo(data);
    return true;
  }

  bool SetupDiSetClassInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data,
                                     const SP_CLASSINSTALL_HEADER* params,
                                     std::uint32_t paramsSize) override {
    NativeRecord record(data);
    // SetupAPI takes a writable header; hand it an aligned copy of the caller's bytes.
    std::vector<std::uint32_t> copy;
    ::SP_CLASSINSTALL_HEADER* nativeParams = nullptr;
    if (params != nullptr) {
      copy.resize((paramsSize + sizeof(std::uint32_t) - 1) / sizeof(std::uint32_t) +
                  sizeof(::SP_CLASSINSTALL_HEADER) / sizeof(std::uint32_t));
      std::memcpy(copy.data(), params, paramsSize);
      nativeParams = reinterpret_cast<::SP_CLASSINSTALL_HEADER*>(copy.data());
    }
    if (!Check(::SetupDiSetClassInstallParamsA(ToNative(set), record.get(), nativeParams,
                                               paramsSize))) {
      return false;
    }
    record.CopyTo(data);
    return true;
  }

  bool SetupDiCallClassInstaller(std::uint32_t installFunction, HDEVINFO set,
                                 SP_DEVINFO_DATA* data) override {
    NativeRecord record(data);
    if (!Check(::SetupDiCallClassInstaller(installFunction, ToNative(set), record.get()))) {
      return false;
    }
    record.CopyTo(data);
    return true;
  }

  std::uint32_t CM_Get_DevNode_Status(std::uint32_t* status, std::uint32_t* problemNumber,
                                      std::uint32_t devInst, std::uint32_t flags) override {
    ULONG nativeStatus = 0;
    ULONG nativeProblem = 0;
    const CONFIGRET result = ::CM_Get_DevNode_Status(
        status != nullptr ? &nativeStatus : nullptr,
        problemNumber != nullptr ? &nativeProblem : nullptr, devInst, flags);
    // Wine answers CR_SUCCESS without writing (and without checking the pointers).
    if (result == CR_SUCCESS && status != nullptr)
      *status = nativeStatus;
    if (result == CR_SUCCESS && problemNumber != nullptr)
      *problemNumber = nativeProblem;
    return result;
  }

  std::uint32_t CM_Get_Parent(std::uint32_t* parent, std::uint32_t devInst,
                              std::uint32_t flags) override {
    if (parent == nullptr)
      return CR_INVALID_POINTER;
    DEVINST native = 0;
    const CONFIGRET result = ::CM_Get_Parent(&native, devInst, flags);
    if (result == CR_SUCCESS)
      *parent = native;
    return result;
  }

  std::uint32_t CM_Get_Device_IDA(std::uint32_t devInst, char* buffer, std::uint32_t bufferLength,
                                  std::uint32_t flags) override {
    if (buffer == nullptr)
      return CR_INVALID_POINTER;
    return ::CM_Get_Device_IDA(devInst, buffer, bufferLength, flags);
  }

  bool SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    // Only sets this service opened and has not yet destroyed: destroying one
    // twice would hand SetupAPI freed memory.
    const auto it = open_.find(ToNative(set));
    if (it == open_.end()) {
      lastError_ = ERROR_INVALID_HANDLE;
      return false;
    }
    open_.erase(it);
    return Check(::SetupDiDestroyDeviceInfoList(ToNative(set)));
  }

  std::uint32_t GetLastError() const override { return lastError_; }

 private:
  // Takes the thread's error at once, before anything else can change it.
  bool Check(BOOL ok) {
    if (ok)
      return true;
    lastError_ = ::GetLastError();
    return false;
  }

  std::set<::HDEVINFO> open_;
  std::uint32_t lastError_ = 0;
};

}  // namespace

std::unique_ptr<DeviceService> MakeSetupApiService() {
  return std::make_unique<SetupApiService>();
}

bool RunningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace quillon::devices
