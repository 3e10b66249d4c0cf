// The state commands and setFriendlyName, seen through the device file: each
// change is made in one run and read back by later runs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CliHarness.h"

namespace quillon::cli_test {
namespace {

using nlohmann::json;

void ExpectCleanRun(const RunResult& run) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.ErrorLines(), std::vector<std::string>{}) << run.err;
}

std::string Machine(const std::string& target) {
  return R"({
  "devices": [
    { "instanceId": "PCI\\VEN_1AF4&DEV_1041\\0000:00:03.0", "friendlyName": "Uplink",
      "description": "Virtio network device", "devInst": 3 },
    { "instanceId": "USB\\VID_0781&PID_5567\\200", "friendlyName": "Ghost", "present": false },
    { "instanceId": "SCSI\\DISK\\1", "description": "Target", "devInst": 7,
      "classGuid": "{4D36E967-E325-11CE-BFC1-08002BE10318}", )" +
         target + R"( },
    { "instanceId": "HID\\VID_0627\\1", "friendlyName": "Tablet", "devInst": 9,
      "fail": { "callClassInstaller": 5 } }
  ]
})";
}

std::vector<std::string> TargetStatus(const std::string& status, const std::string& problem,
                                      const std::string& text) {
  return {"ClassGUID={4D36E967-E325-11CE-BFC1-08002BE10318}",
          "DeviceName=Target",
          "DeviceHandle=7",
          "DeviceStatus=" + status,
          "DeviceProblem=" + problem,
          "DeviceProblemText=" + text};
}

struct StateCase {
  const char* name;
  std::string target;  // the target member's status fields
  std::string command;
  std::vector<std::string> status;  // statusDevice afterwards
};

void PrintTo(const StateCase& c, std::ostream* os) {
  *os << c.name;
}

class StateCommandTest : public testing::TestWithParam<StateCase> {};

TEST_P(StateCommandTest, ChangesOnlyTheSelectedDevice) {
  Sandbox box;
  box.WriteDeviceFile(Machine(GetParam().target));
  const RunResult change = box.Run({"/deviceName=target", "/deviceCommand=" + GetParam().command});
  ExpectCleanRun(change);
  EXPECT_EQ(box.ReadLog(), "") << "state commands report nothing";

  ExpectCleanRun(box.Run({"/deviceName=Target", "/deviceCommand=statusDevice"}));
  EXPECT_EQ(box.ReadLog(), CrLf(GetParam().status));

  // The others keep their state, and the removed member stays in the file.
  ExpectCleanRun(box.Run({"/deviceCommand=enumDevices"}));
  const std::string& statusLine = GetParam().status[3];
  const std::string& textLine = GetParam().status[5];
  EXPECT_EQ(box.ReadLog(), CrLf({"Uplink: 0x0180200A(enabled)",
                                 "Target: " + statusLine.substr(statusLine.find('=') + 1) + "(" +
                                     textLine.substr(textLine.find('=') + 1) + ")",
                                 "Tablet: 0x0180200A(enabled)"}));
  const json file = json::parse(box.ReadDeviceFile());
  ASSERT_EQ(file.at("devices").size(), 4u);
  EXPECT_EQ(file["devices"][1].at("friendlyName"), "Ghost");
  EXPECT_EQ(file["devices"][1].at("present"), false);
}

INSTANTIATE_TEST_SUITE_P(
    StateCommands, StateCommandTest,
    testing::Values(
        StateCase{"DisableWorking", R"("status": "0x0180200A", "problem": 0)", "disableDevice",
                  TargetStatus("0x01802402", "0x00000016", "disabled")},
        StateCase{"EnableDisabled", R"("status": "0x01802402", "problem": 22)", "enableDevice",
                  TargetStatus("0x0180200A", "0x00000000", "enabled")},
        StateCase{"EnableFailedInstall", R"("status": "0x01802402", "problem": 28)", "enableDevice",
                  TargetStatus("0x0180200A", "0x00000000", "enabled")},
        StateCase{"EnableEnabled", R"("status": "0x0180200A", "problem": 0)", "enableDevice",
                  TargetStatus("0x0180200A", "0x00000000", "enabled")},
        StateCase{"StopStarted", R"("status": "0x0180200A", "problem": 0)", "stopDevice",
                  TargetStatus("0x01802002", "0x00000000", "enabled")},
        StateCase{"StartStopped", R"("status": "0x01802002", "problem": 0)", "startDevice",
                  TargetStatus("0x0180200A", "0x00000000", "enabled")},
        StateCase{"StopDisabledKeepsProblem", R"("status": "0x01802402", "problem": 22)",
                  "stopDevice", TargetStatus("0x01802402", "0x00000016", "disabled")},
        StateCase{"DisableKeepsOtherFlags", R"("status": "0xFFFFFFFF", "problem": 0)",
                  "disableDevice", TargetStatus("0xFFFFFFF7", "0x00000016", "disabled")}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StateCommands, DisableThenEnableInTurn) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("status": 25174026)"));
  const std::vector<std::pair<std::string, std::string>> steps{
      {"disableDevice", "Target: 0x01802402(disabled)"},
      {"enableDevice", "Target: 0x0180200A(enabled)"},
      {"stopDevice", "Target: 0x01802002(enabled)"},
      {"startDevice", "Target: 0x0180200A(enabled)"}};
  for (const auto& [command, line] : steps) {
    SCOPED_TRACE(command);
    ExpectCleanRun(box.Run({"/deviceName=Target", "/deviceCommand=" + command}));
    ExpectCleanRun(box.Run({"/deviceName=Target", "/deviceCommand=enumDevices"}));
    EXPECT_EQ(box.ReadLog(), CrLf({line}));
  }
}

TEST(StateCommands, WithoutDeviceNameChangeTheFirstDevice) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("status": 25174026)"));
  ExpectCleanRun(box.Run({"/deviceCommand=disableDevice"}));
  ExpectCleanRun(box.Run({"/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(), CrLf({"Uplink: 0x01802402(disabled)", "Target: 0x0180200A(enabled)",
                                 "Tablet: 0x0180200A(enabled)"}));
}

TEST(StateCommands, NothingSelectedChangesNothing) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("status": "0x01802402", "problem": 22)"));
  const std::string before = box.ReadDeviceFile();
  for (const char* command :
       {"enableDevice", "disableDevice", "startDevice", "stopDevice", "setFriendlyName"}) {
    SCOPED_TRACE(command);
    const RunResult run =
        box.Run({"/deviceName=Nobody", std::string("/deviceCommand=") + command, "/value0=X"});
    ExpectCleanRun(run);
    EXPECT_EQ(box.ReadLog(), "");
    EXPECT_EQ(box.ReadDeviceFile(), before);
  }
}

struct NameCase {
  const char* name;
  std::vector<std::string> args;
  std::string stored;
};

void PrintTo(const NameCase& c, std::ostream* os) {
  *os << c.name;
}

class FriendlyNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(FriendlyNameTest, StoresValueAndNextRunListsIt) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("problem": 22)"));
  std::vector<std::string> args{"/deviceName=Target", "/deviceCommand=setFriendlyName"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  ExpectCleanRun(box.Run(args));
  EXPECT_EQ(box.ReadLog(), "");

  const json file = json::parse(box.ReadDeviceFile());
  ASSERT_EQ(file.at("devices").size(), 4u);
  const json& target = file["devices"][2];
  ASSERT_TRUE(target.contains("friendlyName")) << target.dump();
  EXPECT_EQ(target["friendlyName"].get<std::string>(), GetParam().stored);
  EXPECT_EQ(target.at("description"), "Target") << "the description is kept";
  EXPECT_EQ(file["devices"][0].at("friendlyName"), "Uplink");

  // The friendly name wins over the description from now on, also when empty.
  ExpectCleanRun(box.Run({"/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(),
            CrLf({"Uplink: 0x0180200A(enabled)", GetParam().stored + ": 0x0180200A(disabled)",
                  "Tablet: 0x0180200A(enabled)"}));
}

INSTANTIATE_TEST_SUITE_P(
    SetFriendlyName, FriendlyNameTest,
    testing::Values(NameCase{"PlainValue", {"/value0=Backup"}, "Backup"},
                    NameCase{"BlanksInOneArgument", {"/value0=My Disk"}, "My Disk"},
                    NameCase{"QuotedWhole", {"/value0=\"My Disk\""}, "My Disk"},
                    NameCase{"QuotedInPart", {"/value0=My\" \"Disk"}, "My Disk"},
                    NameCase{"SwitchNameIgnoresCase", {"/VALUE0=Backup"}, "Backup"},
                    NameCase{"FirstValueWins", {"/value0=One", "/value0=Two"}, "One"},
                    NameCase{"EightBitText",
                             {"/value0=Pr\xc3\xbc"
                              "fger\xc3\xa4t"},
                             "Pr\xc3\xbc"
                             "fger\xc3\xa4t"},
                    NameCase{"WithoutValueStoresEmptyName", {}, ""},
                    NameCase{"EmptySwitchStoresEmptyName", {"/value0="}, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SetFriendlyName, NameThatCannotBeReadBackIsRefused) {
  // Longer than the readers' property buffer holds.
  {
    Sandbox box;
    box.WriteDeviceFile(Machine(R"("problem": 0)"));
    const std::string before = box.ReadDeviceFile();
    const RunResult run = box.Run({"/deviceName=Target", "/deviceCommand=setFriendlyName",
                                   "/value0=" + std::string(260, 'x')});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.ErrorLines(),
              std::vector<std::string>{"Error: SetupDiSetDeviceRegistryProperty(): 87"});
    EXPECT_EQ(box.ReadDeviceFile(), before);
  }
  // The longest name that fits is stored.
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("problem": 0)"));
  const std::string longest(259, 'y');
  ExpectCleanRun(
      box.Run({"/deviceName=Target", "/deviceCommand=setFriendlyName", "/value0=" + longest}));
  ExpectCleanRun(box.Run({"/deviceName=" + longest, "/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(), CrLf({longest + ": 0x0180200A(enabled)"}));
}

TEST(StateCommands, DeviceFileBehindALinkStaysALink) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("problem": 0)"));
  const std::filesystem::path link = box.Dir() / "machine.json";
  std::filesystem::create_symlink(box.DeviceFile(), link);
  ExpectCleanRun(box.RunRaw(
      {"/deviceSource=" + link.string(), "/deviceName=Target", "/deviceCommand=disableDevice"}));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  ExpectCleanRun(box.Run({"/deviceName=Target", "/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(), CrLf({"Target: 0x01802402(disabled)"}));
}

TEST(SetFriendlyName, WriteBackKeepsInjectedFailures) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("problem": 0)"));
  ExpectCleanRun(box.Run({"/deviceName=Target", "/deviceCommand=setFriendlyName", "/value0=Disk"}));
  const RunResult run = box.Run({"/deviceName=Tablet", "/deviceCommand=disableDevice"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.ErrorLines(),
            std::vector<std::string>{"Error: SetupDiCallClassInstaller(): HANDLE error 5"});
}

}  // namespace
}  // namespace quillon::cli_test
