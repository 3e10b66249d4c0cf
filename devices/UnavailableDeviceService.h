// A device source that cannot be opened: every open fails with one error code,
// so the window shows its usual error box and an empty list.
#pragma once

#include "devices/DeviceService.h"

namespace quillon::devices {

class UnavailableDeviceService final : public DeviceService {
 public:
  explicit UnavailableDeviceService(std::uint32_t error) : error_(error) {}

  HDEVINFO SetupDiGetClassDevsA(const GUID*, const char*, std::uint32_t) override {
    return Fail<HDEVINFO>(nullptr);
  }
  bool SetupDiEnumDeviceInfo(HDEVINFO, std::uint32_t, SP_DEVINFO_DATA*) override {
    return Fail(false);
  }
  bool SetupDiGetDeviceInstanceIdA(HDEVINFO, const SP_DEVINFO_DATA*, char*, std::uint32_t,
                                   std::uint32_t*) override {
    return Fail(false);
  }
  bool SetupDiGetDeviceRegistryPropertyA(HDEVINFO, const SP_DEVINFO_DATA*, std::uint32_t,
                                         std::uint32_t*, std::uint8_t*, std::uint32_t,
                                         std::uint32_t*) override {
    return Fail(false);
  }
  bool SetupDiSetDeviceRegistryPropertyA(HDEVINFO, SP_DEVINFO_DATA*, std::uint32_t,
                                         const std::uint8_t*, std::uint32_t) override {
    return Fail(false);
  }
  bool SetupDiSetClassInstallParamsA(HDEVINFO, SP_DEVINFO_DATA*, const SP_CLASSINSTALL_HEADER*,
                                     std::uint32_t) override {
    return Fail(false);
  }
  bool SetupDiCallClassInstaller(std::uint32_t, HDEVINFO, SP_DEVINFO_DATA*) override {
    return Fail(false);
  }
  std::uint32_t CM_Get_DevNode_Status(std::uint32_t*, std::uint32_t*, std::uint32_t,
                                      std::uint32_t) override {
    return CR_FAILURE;
  }
  bool SetupDiDestroyDeviceInfoList(HDEVINFO) override { return Fail(false); }
  std::uint32_t GetLastError() const override { return lastError_; }

 private:
  template <typename T>
  T Fail(T result) {
    lastError_ = error_;
    return result;
  }

  std::uint32_t error_;
  std::uint32_t lastError_ = 0;
};

}  // namespace quillon::devices
