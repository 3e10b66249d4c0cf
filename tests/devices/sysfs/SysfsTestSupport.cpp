#include "tests/devices/sysfs/SysfsTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "devices/DeviceText.h"

namespace quillon::devices::testing {

namespace {

std::string ReadProperty(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data,
                         std::uint32_t property) {
  std::uint8_t buffer[kTextBufferSize] = {};
  std::uint32_t type = 0;
  if (!service.SetupDiGetDeviceRegistryPropertyA(set, &data, property, &type, buffer,
                                                 sizeof(buffer), nullptr)) {
    EXPECT_EQ(service.GetLastError(), error::kInvalidData);
    return "<none>";
  }
  EXPECT_EQ(type, REG_SZ);
  return reinterpret_cast<const char*>(buffer);
}

}  // namespace

std::vector<SysfsRow> ReadAll(DeviceService& service, const char* enumerator) {
  std::vector<SysfsRow> rows;
  const DeviceInfoSetPtr set = OpenPresentDevices(service, enumerator);
  EXPECT_TRUE(set) << "open failed with " << service.GetLastError();
  if (!set)
    return rows;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  for (std::uint32_t index = 0; service.SetupDiEnumDeviceInfo(set.get(), index, &data); ++index) {
    SysfsRow row;
    char id[kTextBufferSize] = {};
    EXPECT_TRUE(service.SetupDiGetDeviceInstanceIdA(set.get(), &data, id, sizeof(id), nullptr));
    row.instanceId = id;
    row.description = ReadProperty(service, set.get(), data, SPDRP_DEVICEDESC);
    row.friendlyName = ReadProperty(service, set.get(), data, SPDRP_FRIENDLYNAME);
    row.classGuid = FormatGuid(data.ClassGuid);
    row.devInst = data.DevInst;
    EXPECT_EQ(service.CM_Get_DevNode_Status(&row.status, &row.problem, data.DevInst, 0),
              CR_SUCCESS);
    rows.push_back(std::move(row));
  }
  EXPECT_EQ(service.GetLastError(), error::kNoMoreItems);
  return rows;
}

const SysfsRow* FindRow(const std::vector<SysfsRow>& rows, const std::string& instanceId) {
  for (const SysfsRow& row : rows) {
    if (row.instanceId == instanceId)
      return &row;
  }
  return nullptr;
}

std::string SysfsFixture(const std::string& name) {
  return std::string(QUILLON_SYSFS_FIXTURES) + "/" + name;
}

std::string FixtureText(const std::string& name) {
  std::ifstream file(SysfsFixture(name));
  EXPECT_TRUE(file) << SysfsFixture(name);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::vector<std::string>> FixtureTable(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream text(FixtureText(name));
  for (std::string line; std::getline(text, line);) {
    if (line.empty() || line[0] == '#')
      continue;
    std::vector<std::string>& row = rows.emplace_back();
    for (std::size_t start = 0;;) {
      const std::size_t bar = line.find(" | ", start);
      row.push_back(line.substr(start, bar - start));
      if (bar == std::string::npos)
        break;
      start = bar + 3;
    }
  }
  return rows;
}

void LoadFixture(FakeSysfs& tree, const std::string& name) {
  std::string error;
  ASSERT_TRUE(tree.LoadFile(SysfsFixture(name), &error)) << error;
  tree.WriteFile("usr/share/misc/pci.ids", FixtureText("pci.ids"));
  tree.WriteFile("usr/share/misc/usb.ids", FixtureText("usb.ids"));
}

}  // namespace quillon::devices::testing
