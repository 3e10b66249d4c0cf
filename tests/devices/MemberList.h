// Shared by the device-source tests: every member of an open set.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "devices/DeviceService.h"

namespace quillon::devices::test_support {

// Enumerates from index 0 until the service stops, which must be with
// ERROR_NO_MORE_ITEMS.
inline std::vector<SP_DEVINFO_DATA> EnumerateMembers(DeviceService& service, HDEVINFO set) {
  std::vector<SP_DEVINFO_DATA> members;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  while (service.SetupDiEnumDeviceInfo(set, static_cast<std::uint32_t>(members.size()), &data)) {
    members.push_back(data);
  }
  EXPECT_EQ(service.GetLastError(), error::kNoMoreItems);
  return members;
}

}  // namespace quillon::devices::test_support
