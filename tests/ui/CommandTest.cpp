// Command mode: what each command writes to the report log, byte for byte.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <fstream>
#include <sstream>

#include "TestSupport.h"

namespace quillon::ui::testing {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

struct CommandCase {
  const char* label;
  const char* deviceName;
  const char* command;
  const char* expected;
};

class CommandTest : public WindowTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, WritesTheReportLog) {
  Make();
  form->SelectDeviceByName(GetParam().deviceName);
  form->ExecuteDeviceCommand(GetParam().command, "");
  form.reset();  // as at the end of a run
  EXPECT_EQ(ReadFile(LogPath()), GetParam().expected);
  EXPECT_TRUE(errors.texts.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTest,
    ::testing::Values(CommandCase{"EnumAll", "", "enumDevices",
                                  "Uplink: 0x0180200A(enabled)\r\n"
                                  "Virtio block device: 0x01802400(disabled)\r\n"
                                  "Unknown: 0x0180200A(enabled)\r\n"},
                      CommandCase{"EnumFirstMeansAll", "UPLINK", "enumDevices",
                                  "Uplink: 0x0180200A(enabled)\r\n"
                                  "Virtio block device: 0x01802400(disabled)\r\n"
                                  "Unknown: 0x0180200A(enabled)\r\n"},
                      CommandCase{"EnumSecondOnly", "virtio block device", "enumDevices",
                                  "Virtio block device: 0x01802400(disabled)\r\n"},
                      CommandCase{"EnumNoMatchMeansAll", "missing", "enumDevices",
                                  "Uplink: 0x0180200A(enabled)\r\n"
                                  "Virtio block device: 0x01802400(disabled)\r\n"
                                  "Unknown: 0x0180200A(enabled)\r\n"},
                      CommandCase{"Status", "Virtio block device", "statusDevice",
                                  "ClassGUID={00000000-0000-0000-0000-000000000000}\r\n"
                                  "DeviceName=Virtio block device\r\n"
                                  "DeviceHandle=7\r\n"
                                  "DeviceStatus=0x01802400\r\n"
                                  "DeviceProblem=0x00000016\r\n"
                                  "DeviceProblemText=disabled\r\n"},
                      CommandCase{"StatusNoMatch", "missing", "statusDevice",
                                  "ClassGUID=\r\nDeviceName=\r\nDeviceHandle=\r\nDeviceStatus=\r\n"
                                  "DeviceProblem=\r\nDeviceProblemText=\r\n"},
                      CommandCase{"CommandsAreCaseSensitive", "", "EnumDevices", ""},
                      CommandCase{"UnknownCommand", "", "listDevices", ""},
                      CommandCase{"StateChangesWriteNothing", "", "disableDevice", ""}),
    [](const ::testing::TestParamInfo<CommandCase>& param) {
      return std::string(param.param.label);
    });

TEST_F(WindowTest, EnumDevicesOfAnEmptyMachineWritesNothing) {
  service.devices.clear();
  Make();
  form->SelectDeviceByName("");
  form->ExecuteDeviceCommand("enumDevices", "");
  EXPECT_EQ(ReadFile(LogPath()), "");
}

// enumDevices reads every device as the selection handler would, but fills
// the fields only once, at the end.
TEST_F(WindowTest, EnumDevicesReadsEachDeviceInTurnAndLeavesTheLastInTheFields) {
  service.devices[0].failInstanceId = 13;
  service.devices[2].failInstanceId = 5;
  service.devices[2].problem = 22;
  Make();
  form->SelectDeviceByName("");
  errors.texts.clear();
  service.calls.clear();
  form->ExecuteDeviceCommand("enumDevices", "");

  EXPECT_EQ(errors.texts, (std::vector<std::string>{"SetupDiGetDeviceInstanceId(): 13",
                                                    "SetupDiGetDeviceInstanceId(): 5"}));
  EXPECT_EQ(service.calls, (std::vector<std::string>{"Status 3", "Status 7", "Status 2147483649"}));
  EXPECT_EQ(ReadFile(LogPath()),
            ": 0x0180200A(enabled)\r\n"
            "Virtio block device: 0x01802400(disabled)\r\n"
            ": 0x0180200A(disabled)\r\n");
  EXPECT_EQ(Field(form->EditName), "");
  EXPECT_EQ(Field(form->EditKey), "{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(Field(form->EditDevInfo), "-2147483647");
  EXPECT_EQ(Field(form->EditStatus), "0x0180200A");
  EXPECT_EQ(Field(form->EditProblem), "0x00000016");
  EXPECT_EQ(Field(form->EditProblemText), "disabled");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(WindowTest, EachReportLineIsOnDiskAsSoonAsItEnds) {
  Make();
  form->SelectDeviceByName("");
  form->ExecuteDeviceCommand("statusDevice", "");
  EXPECT_EQ(ReadFile(LogPath()).substr(136), "DeviceProblemText=enabled\r\n");  // window still open
}

TEST_F(WindowTest, StateCommandsReachTheSelectedDevice) {
  Make();
  form->SelectDeviceByName("Virtio block device");
  form->ExecuteDeviceCommand("enableDevice", "");
  EXPECT_EQ(service.devices[1].problem, 0u);
  form->ExecuteDeviceCommand("stopDevice", "");
  EXPECT_EQ(Field(form->EditStatus), "0x01802000");
  form->ExecuteDeviceCommand("disableDevice", "");
  EXPECT_EQ(service.devices[1].problem, 22u);
  EXPECT_EQ(service.devices[0].problem, 0u);
}

TEST_F(WindowTest, SetFriendlyNameStoresValue0OrTheEmptyText) {
  Make();
  form->SelectDeviceByName("Unknown");
  form->ExecuteDeviceCommand("setFriendlyName", "Spare port");
  EXPECT_EQ(service.devices[2].friendlyName, "Spare port");
  form->ExecuteDeviceCommand("setFriendlyName", "");
  EXPECT_EQ(service.calls.back(), "SetProperty 12 [] 0");
  EXPECT_EQ(service.devices[2].friendlyName, "");
}

TEST_F(WindowTest, SetFriendlyNameWithoutSelectionChangesNothing) {
  Make();
  form->SelectDeviceByName("missing");
  form->ExecuteDeviceCommand("setFriendlyName", "x");
  EXPECT_FALSE(service.devices[0].friendlyName != "Uplink");
  EXPECT_FALSE(service.devices[2].friendlyName.has_value());
}

}  // namespace
}  // namespace quillon::ui::testing
