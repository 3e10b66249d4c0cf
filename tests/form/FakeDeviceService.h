// An in-memory device service for window tests: members with injectable
// failures, friendly names that can be set, and a log of the calls the window
// made. State changes are only logged; their effect is the backends' to test.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "devices/DeviceService.h"

namespace quillon::ui::testing {

struct FakeDevice {
  std::string instanceId = "ROOT\\FAKE\\0000";
  std::optional<std::string> friendlyName;
  std::optional<std::string> description;
  devices::GUID classGuid{};
  std::uint32_t devInst = 1;
  std::uint32_t status = 0x0180200A;
  std::uint32_t problem = 0;
  // Non-zero: that operation fails with this code.
  std::uint32_t failInstanceId = 0;
  std::uint32_t failSetParams = 0;
  std::uint32_t failSetName = 0;
  bool failStatus = false;
};

class FakeDeviceService final : public devices::DeviceService {
 public:
  std::vector<FakeDevice> devices;
  std::uint32_t openError = 0;
  std::vector<std::string> calls;
  // Runs inside SetupDiDestroyDeviceInfoList, before the set is gone.
  std::function<void()> onDestroy;
  int openSets = 0;

  devices::HDEVINFO SetupDiGetClassDevsA(const devices::GUID*, const char* enumerator,
                                         std::uint32_t flags) override {
    calls.push_back("Open " + std::string(enumerator == nullptr ? "(all)" : enumerator) + " " +
                    std::to_string(flags));
    if (openError != 0)
      return Fail<devices::HDEVINFO>(openError, nullptr);
    ++openSets;
    slots_.emplace_back();
    current_ = reinterpret_cast<devices::HDEVINFO>(&slots_.back());
    return current_;
  }

  bool SetupDiEnumDeviceInfo(devices::HDEVINFO set, std::uint32_t index,
                             devices::SP_DEVINFO_DATA* data) override {
    if (!Valid(set) || data->cbSize != sizeof(devices::SP_DEVINFO_DATA)) {
      return Fail(devices::error::kInvalidUserBuffer, false);
    }
    if (index >= devices.size())
      return Fail(devices::error::kNoMoreItems, false);
    data->ClassGuid = devices[index].classGuid;
    data->DevInst = devices[index].devInst;
    data->Reserved = index;
    return true;
  }

  bool SetupDiGetDeviceInstanceIdA(devices::HDEVINFO set, const devices::SP_DEVINFO_DATA* data,
                                   char* buffer, std::uint32_t size, std::uint32_t*) override {
    FakeDevice* device = Find(set, data);
    if (device == nullptr)
      return Fail(devices::error::kInvalidParameter, false);
    if (device->failInstanceId != 0)
      return Fail(device->failInstanceId, false);
    return CopyText(device->instanceId, buffer, size);
  }

  bool SetupDiGetDeviceRegistryPropertyA(devices::HDEVINFO set,
                                         const devices::SP_DEVINFO_DATA* data,
                                         std::uint32_t property, std::uint32_t*,
                                         std::uint8_t* buffer, std::uint32_t size,
                                         std::uint32_t*) override {
    FakeDevice* device = Find(set, data);
    if (device == nullptr)
      return Fail(devices::error::kInvalidParameter, false);
    const auto& text =
        property == devices::SPDRP_FRIENDLYNAME ? device->friendlyName : device->description;
    if (!text)
      return Fail(devices::error::kInvalidData, false);
    return CopyText(*text, reinterpret_cast<char*>(buffer), size);
  }

  bool SetupDiSetDeviceRegistryPropertyA(devices::HDEVINFO set, devices::SP_DEVINFO_DATA* data,
                                         std::uint32_t property, const std::uint8_t* buffer,
                                         std::uint32_t size) override {
    FakeDevice* device = Find(set, data);
    if (device == nullptr)
      return Fail(devices::error::kInvalidParameter, false);
    const std::string text(reinterpret_cast<const char*>(buffer), size);
    calls.push_back("SetProperty " + std::to_string(property) + " [" + text + "] " +
                    std::to_string(size));
    if (device->failSetName != 0)
      return Fail(device->failSetName, false);
    device->friendlyName = text;
    return true;
  }

  bool SetupDiSetClassInstallParamsA(devices::HDEVINFO set, devices::SP_DEVINFO_DATA* data,
                                     const devices::SP_CLASSINSTALL_HEADER* header,
                                     std::uint32_t size) override {
    FakeDevice* device = Find(set, data);
    if (device == nullptr || size != sizeof(devices::SP_PROPCHANGE_PARAMS) ||
        header->cbSize != sizeof(devices::SP_CLASSINSTALL_HEADER) ||
        header->InstallFunction != devices::DIF_PROPERTYCHANGE) {
      return Fail(devices::error::kInvalidParameter, false);
    }
    devices::SP_PROPCHANGE_PARAMS params{};
    std::memcpy(&params, header, sizeof(params));
    calls.push_back("SetClassInstallParams " + std::to_string(params.StateChange) + " " +
                    std::to_string(params.Scope) + " " + std::to_string(params.HwProfile));
    if (device->failSetParams != 0)
      return Fail(device->failSetParams, false);
    return true;
  }

  bool SetupDiCallClassInstaller(std::uint32_t function, devices::HDEVINFO set,
                                 devices::SP_DEVINFO_DATA* data) override {
    FakeDevice* device = Find(set, data);
    calls.push_back("CallClassInstaller " + std::to_string(function));
    if (device == nullptr)
      return Fail(devices::error::kInvalidParameter, false);
    return true;
  }

  std::uint32_t CM_Get_DevNode_Status(std::uint32_t* status, std::uint32_t* problem,
                                      std::uint32_t devInst, std::uint32_t) override {
    calls.push_back("Status " + std::to_string(devInst));
    for (const FakeDevice& device : devices) {
      if (device.devInst != devInst)
        continue;
      if (device.failStatus)
        return devices::CR_FAILURE;
      *status = device.status;
      *problem = device.problem;
      return devices::CR_SUCCESS;
    }
    return devices::CR_FAILURE;
  }

  bool SetupDiDestroyDeviceInfoList(devices::HDEVINFO set) override {
    calls.push_back("Destroy");
    if (onDestroy)
      onDestroy();
    if (set == current_)
      current_ = nullptr;
    --openSets;
    return true;
  }

  std::uint32_t GetLastError() const override { return lastError_; }

 private:
  template <typename T = bool>
  T Fail(std::uint32_t code, T result) {
    lastError_ = code;
    return result;
  }

  bool Valid(devices::HDEVINFO set) const { return set != nullptr && set == current_; }

  FakeDevice* Find(devices::HDEVINFO set, const devices::SP_DEVINFO_DATA* data) {
    if (!Valid(set) || data == nullptr || data->Reserved >= devices.size())
      return nullptr;
    return &devices[data->Reserved];
  }

  bool CopyText(const std::string& text, char* buffer, std::uint32_t size) {
    if (text.size() + 1 > size)
      return Fail(devices::error::kInsufficientBuffer, false);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
  }

  std::deque<char> slots_;
  devices::HDEVINFO current_ = nullptr;
  std::uint32_t lastError_ = 0;
};

}  // namespace quillon::ui::testing
