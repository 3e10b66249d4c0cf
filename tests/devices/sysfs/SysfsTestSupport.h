// Shared helpers of the sysfs backend tests: read a whole set the way the
// window does, and locate the fixture trees.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/DeviceService.h"
#include "tests/devices/sysfs/FakeSysfs.h"

namespace quillon::devices::testing {

// One member as the window sees it.
struct SysfsRow {
  std::string instanceId;
  std::string description;   // "<none>" when reading it fails with 13
  std::string friendlyName;  // "<none>" likewise
  std::string classGuid;
  std::uint32_t devInst = 0;
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
};

std::vector<SysfsRow> ReadAll(DeviceService& service, const char* enumerator = nullptr);
const SysfsRow* FindRow(const std::vector<SysfsRow>& rows, const std::string& instanceId);

// Path and contents of a file in fixtures/ beside these tests.
std::string SysfsFixture(const std::string& name);
std::string FixtureText(const std::string& name);
// The lines of a fixture file, each split at " | ".
std::vector<std::vector<std::string>> FixtureTable(const std::string& name);
// Loads a fixture tree and copies the test ID databases into its root.
void LoadFixture(FakeSysfs& tree, const std::string& name);

}  // namespace quillon::devices::testing
