// The state commands and setFriendlyName, seen through the device file: each
// change is made in one run and read back by later runs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tests/cli/CliHarness.h"

namespace quillon::cli_test {
namespace {

using nlohmann::json;

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

// The file as the next run reads it: all four members, the removed one and
// the injected failure kept.
json CheckedFile(const Sandbox& box) {
  const json file = json::parse(box.ReadDeviceFile());
  EXPECT_EQ(file.at("devices").size(), 4u);
  EXPECT_EQ(file["devices"][1].value("present", true), false);
  EXPECT_EQ(file["devices"][3].value("fail", json()), json::parse(R"({"callClassInstaller": 5})"));
  return file;
}

struct StateCase {
  const char* name;
  const char* target;  // the target member's status fields
  const char* command;
  const char* status;  // afterwards
  const char* problem;
  const char* text;
};

void PrintTo(const StateCase& c, std::ostream* os) {
  *os << c.name;
}

class StateCommandTest : public testing::TestWithParam<StateCase> {};

TEST_P(StateCommandTest, ChangesOnlyTheSelectedDevice) {
  const StateCase& c = GetParam();
  Sandbox box;
  box.WriteDeviceFile(Machine(c.target));
  ExpectEndedNormally(box.Run({"/deviceName=target", std::string("/deviceCommand=") + c.command}));
  EXPECT_EQ(box.ReadLog(), "") << "state commands report nothing";
  CheckedFile(box);

  ExpectEndedNormally(box.Run({"/deviceName=Target", "/deviceCommand=statusDevice"}));
  EXPECT_EQ(box.ReadLog(), CrLf(StatusLines("{4D36E967-E325-11CE-BFC1-08002BE10318}", "Target", "7",
                                            c.status, c.problem, c.text)));
  ExpectEndedNormally(box.Run({"/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(), CrLf({"Uplink: 0x0180200A(enabled)",
                                 std::string("Target: ") + c.status + "(" + c.text + ")",
                                 "Tablet: 0x0180200A(enabled)"}));
}

INSTANTIATE_TEST_SUITE_P(
    StateCommands, StateCommandTest,
    testing::Values(StateCase{"DisableWorking", R"("status": "0x0180200A", "problem": 0)",
                              "disableDevice", "0x01802402", "0x00000016", "disabled"},
                    StateCase{"EnableDisabled", R"("status": "0x01802402", "problem": 22)",
                              "enableDevice", "0x0180200A", "0x00000000", "enabled"},
                    StateCase{"EnableEnabled", R"("status": "0x0180200A", "problem": 0)",
                              "enableDevice", "0x0180200A", "0x00000000", "enabled"},
                    StateCase{"StopStarted", R"("status": "0x0180200A", "problem": 0)",
                              "stopDevice", "0x01802002", "0x00000000", "enabled"},
                    StateCase{"StartStopped", R"("status": "0x01802002", "problem": 0)",
                              "startDevice", "0x0180200A", "0x00000000", "enabled"},
                    StateCase{"DisableKeepsOtherFlags", R"("status": "0xFFFFFFFF", "problem": 0)",
                              "disableDevice", "0xFFFFFFF7", "0x00000016", "disabled"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StateCommands, WithoutDeviceNameChangeTheFirstDevice) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("status": 25174026)"));
  ExpectEndedNormally(box.Run({"/deviceCommand=disableDevice"}));
  ExpectEndedNormally(box.Run({"/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(), CrLf({"Uplink: 0x01802402(disabled)", "Target: 0x0180200A(enabled)",
                                 "Tablet: 0x0180200A(enabled)"}));
}

TEST(StateCommands, DeviceFileBehindALinkStaysALink) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("problem": 0)"));
  const std::filesystem::path link = box.Dir() / "machine.json";
  std::filesystem::create_symlink(box.DeviceFile(), link);
  ExpectEndedNormally(box.RunRaw(
      {"/deviceSource=" + link.string(), "/deviceName=Target", "/deviceCommand=disableDevice"}));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  ExpectEndedNormally(box.Run({"/deviceName=Target", "/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(), CrLf({"Target: 0x01802402(disabled)"}));
}

// Nothing selected, or a name too long to be read back: nothing changes (RunTest checks the file's
// bytes).
std::vector<RunCase> Refusals() {
  std::vector<RunCase> cases;
  for (const char* command :
       {"enableDevice", "disableDevice", "startDevice", "stopDevice", "setFriendlyName"}) {
    cases.push_back({command,
                     Machine(R"("status": "0x01802402", "problem": 22)"),
                     {"/deviceName=Nobody", std::string("/deviceCommand=") + command, "/value0=X"},
                     {},
                     {}});
  }
  cases.push_back(
      {"NameLongerThanTheBuffer",
       Machine(R"("problem": 0)"),
       {"/deviceName=Target", "/deviceCommand=setFriendlyName", "/value0=" + std::string(260, 'x')},
       {"Error: SetupDiSetDeviceRegistryProperty(): 87"},
       {}});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Unchanged, RunTest, testing::ValuesIn(Refusals()), CaseName);

struct NameCase {
  const char* name;
  Lines args;
  std::string stored;
};

void PrintTo(const NameCase& c, std::ostream* os) {
  *os << c.name;
}

class FriendlyNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(FriendlyNameTest, StoresValueAndNextRunListsIt) {
  Sandbox box;
  box.WriteDeviceFile(Machine(R"("problem": 22)"));
  Lines args{"/deviceName=Target", "/deviceCommand=setFriendlyName"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  ExpectEndedNormally(box.Run(args));
  EXPECT_EQ(box.ReadLog(), "");

  const json file = CheckedFile(box);
  EXPECT_EQ(file["devices"][2].value("friendlyName", "<none>"), GetParam().stored);
  EXPECT_EQ(file["devices"][2].at("description"), "Target") << "the description is kept";
  EXPECT_EQ(file["devices"][0].at("friendlyName"), "Uplink");

  // The friendly name wins over the description from now on, also when empty.
  ExpectEndedNormally(box.Run({"/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(),
            CrLf({"Uplink: 0x0180200A(enabled)", GetParam().stored + ": 0x0180200A(disabled)",
                  "Tablet: 0x0180200A(enabled)"}));
}

INSTANTIATE_TEST_SUITE_P(
    SetFriendlyName, FriendlyNameTest,
    testing::Values(
        NameCase{"PlainValue", {"/value0=Backup"}, "Backup"},
        NameCase{"QuotedWithBlank", {"/value0=\"My Disk\""}, "My Disk"},
        NameCase{"SwitchNameIgnoresCase", {"/VALUE0=Backup"}, "Backup"},
        NameCase{"FirstValueWins", {"/value0=One", "/value0=Two"}, "One"},
        NameCase{"EightBitText",
                 {"/value0=Pr\xc3\xbc"
                  "fger\xc3\xa4t"},
                 "Pr\xc3\xbc"
                 "fger\xc3\xa4t"},
        NameCase{"LongestThatFits", {"/value0=" + std::string(259, 'y')}, std::string(259, 'y')},
        NameCase{"WithoutValueStoresEmptyName", {}, ""},
        NameCase{"EmptySwitchStoresEmptyName", {"/value0="}, ""}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quillon::cli_test
