// The reporting commands and the command line, seen from outside: report log
// bytes for enumDevices and statusDevice, switch matching, the log's path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CliHarness.h"

namespace quillon::cli_test {
namespace {

// Three present devices and a removed one between them.
constexpr const char* kMachine = R"({
  "devices": [
    { "instanceId": "PCI\\VEN_8086&DEV_100E\\3&11583659&0&18", "friendlyName": "Alpha",
      "description": "Intel network adapter",
      "classGuid": "{4D36E972-E325-11CE-BFC1-08002BE10318}", "devInst": 1 },
    { "instanceId": "USB\\VID_0781&PID_5567\\200", "friendlyName": "Ghost", "present": false },
    { "instanceId": "USB\\VID_046D&PID_C077\\5&2", "description": "Beta",
      "classGuid": "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "devInst": "0x80000003",
      "status": "0x01802402", "problem": 22 },
    { "instanceId": "ACPI\\PNP0303\\4&1", "friendlyName": "Gamma", "description": "Keyboard",
      "classGuid": "{4d36e96b-e325-11ce-bfc1-08002be10318}", "devInst": 0,
      "status": 25174026, "problem": "0x1C" }
  ]
})";

const std::string kAlphaLine = "Alpha: 0x0180200A(enabled)";
const std::string kBetaLine = "Beta: 0x01802402(disabled)";
const std::string kGammaLine = "Gamma: 0x0180200A(install failed)";

void ExpectCleanRun(const RunResult& run) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.ErrorLines(), std::vector<std::string>{}) << run.err;
}

struct LogCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> log;
};

void PrintTo(const LogCase& c, std::ostream* os) {
  *os << c.name;
}

class MachineLogTest : public testing::TestWithParam<LogCase> {};

TEST_P(MachineLogTest, WritesExpectedReportLog) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  const RunResult run = box.Run(GetParam().args);
  ExpectCleanRun(run);
  EXPECT_EQ(box.ReadLog(), CrLf(GetParam().log));
}

const std::vector<std::string> kAllLines{kAlphaLine, kBetaLine, kGammaLine};
const std::vector<std::string> kAlphaStatus{"ClassGUID={4D36E972-E325-11CE-BFC1-08002BE10318}",
                                            "DeviceName=Alpha",
                                            "DeviceHandle=1",
                                            "DeviceStatus=0x0180200A",
                                            "DeviceProblem=0x00000000",
                                            "DeviceProblemText=enabled"};

INSTANTIATE_TEST_SUITE_P(
    EnumDevices, MachineLogTest,
    testing::Values(
        LogCase{"NoName", {"/deviceCommand=enumDevices"}, kAllLines},
        LogCase{"SecondEntry", {"/deviceName=Beta", "/deviceCommand=enumDevices"}, {kBetaLine}},
        LogCase{"LastEntry", {"/deviceCommand=enumDevices", "/deviceName=Gamma"}, {kGammaLine}},
        LogCase{
            "FirstEntryReportsAll", {"/deviceName=Alpha", "/deviceCommand=enumDevices"}, kAllLines},
        LogCase{"NameIgnoresCase", {"/deviceName=bETA", "/deviceCommand=enumDevices"}, {kBetaLine}},
        LogCase{
            "NoMatchReportsAll", {"/deviceName=Delta", "/deviceCommand=enumDevices"}, kAllLines},
        LogCase{"RemovedDeviceIsNotListed",
                {"/deviceName=Ghost", "/deviceCommand=enumDevices"},
                kAllLines},
        LogCase{"HiddenDescriptionIsNoName",
                {"/deviceName=Keyboard", "/deviceCommand=enumDevices"},
                kAllLines}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    StatusDevice, MachineLogTest,
    testing::Values(LogCase{"FirstDevice", {"/deviceCommand=statusDevice"}, kAlphaStatus},
                    LogCase{"DisabledWithNegativeHandle",
                            {"/deviceName=beta", "/deviceCommand=statusDevice"},
                            {"ClassGUID={745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "DeviceName=Beta",
                             "DeviceHandle=-2147483645", "DeviceStatus=0x01802402",
                             "DeviceProblem=0x00000016", "DeviceProblemText=disabled"}},
                    LogCase{"UppercaseGuidAndHandleZero",
                            {"/deviceName=Gamma", "/deviceCommand=statusDevice"},
                            {"ClassGUID={4D36E96B-E325-11CE-BFC1-08002BE10318}", "DeviceName=Gamma",
                             "DeviceHandle=0", "DeviceStatus=0x0180200A",
                             "DeviceProblem=0x0000001C", "DeviceProblemText=install failed"}},
                    LogCase{"NoMatchGivesEmptyValues",
                            {"/deviceName=Delta", "/deviceCommand=statusDevice"},
                            {"ClassGUID=", "DeviceName=", "DeviceHandle=", "DeviceStatus=",
                             "DeviceProblem=", "DeviceProblemText="}}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Switches, MachineLogTest,
    testing::Values(LogCase{"UnknownCommandLeavesEmptyLog", {"/deviceCommand=listDevices"}, {}},
                    LogCase{"SwitchNameIgnoresCase", {"/DEVICECOMMAND=enumDevices"}, kAllLines},
                    LogCase{"CommandNameKeepsCase", {"/deviceCommand=EnumDevices"}, {}},
                    LogCase{"FirstDeviceNameWins",
                            {"/deviceName=Beta", "/deviceName=Gamma", "/deviceCommand=enumDevices"},
                            {kBetaLine}},
                    LogCase{"FirstDeviceCommandWins",
                            {"/deviceCommand=enumDevices", "/deviceCommand=statusDevice"},
                            kAllLines},
                    LogCase{"EmptyDeviceNameIsSkipped",
                            {"/deviceName=", "/deviceName=Gamma", "/deviceCommand=enumDevices"},
                            {kGammaLine}},
                    LogCase{"OtherSwitchCharactersIgnored",
                            {"-deviceName=Beta", "deviceName=Beta", "--deviceName=Beta",
                             "/deviceCommand=enumDevices"},
                            kAllLines},
                    LogCase{"LongerSwitchNameIgnored",
                            {"/deviceNames=Beta", "/deviceName:Beta", "/deviceCommand=enumDevices"},
                            kAllLines},
                    LogCase{"EqualsInValueKept",
                            {"/deviceName==Beta", "/deviceCommand=enumDevices"},
                            kAllLines},
                    LogCase{"NonSwitchArgumentsIgnored",
                            {"enumDevices", "Beta", "/deviceCommand=statusDevice"},
                            kAlphaStatus}),
    [](const auto& p) { return std::string(p.param.name); });

// Display names and the line format over machines built for one point each.
struct MachineCase {
  const char* name;
  std::string json;
  std::vector<std::string> args;
  std::vector<std::string> log;
};

void PrintTo(const MachineCase& c, std::ostream* os) {
  *os << c.name;
}

class OtherMachineTest : public testing::TestWithParam<MachineCase> {};

TEST_P(OtherMachineTest, WritesExpectedReportLog) {
  Sandbox box;
  box.WriteDeviceFile(GetParam().json);
  const RunResult run = box.Run(GetParam().args);
  ExpectCleanRun(run);
  EXPECT_EQ(box.ReadLog(), CrLf(GetParam().log));
}

const std::string kLongName(259, 'n');

INSTANTIATE_TEST_SUITE_P(
    Names, OtherMachineTest,
    testing::Values(
        MachineCase{"EmptyList", R"({"devices": []})", {"/deviceCommand=enumDevices"}, {}},
        MachineCase{"OnlyRemovedDevices",
                    R"({"devices": [{"friendlyName": "Gone", "present": false}]})",
                    {"/deviceCommand=enumDevices"},
                    {}},
        MachineCase{"EmptyListStatus",
                    R"({"devices": []})",
                    {"/deviceCommand=statusDevice"},
                    {"ClassGUID=", "DeviceName=", "DeviceHandle=", "DeviceStatus=",
                     "DeviceProblem=", "DeviceProblemText="}},
        MachineCase{"FallbacksInOrder",
                    R"({"devices": [
                      {"friendlyName": "Friendly", "description": "Described"},
                      {"description": "Described"},
                      {}
                    ]})",
                    {"/deviceCommand=enumDevices"},
                    {"Friendly: 0x0180200A(enabled)", "Described: 0x0180200A(enabled)",
                     "Unknown: 0x0180200A(enabled)"}},
        MachineCase{"DuplicateNamesListedTwice",
                    R"({"devices": [
                      {"friendlyName": "Disk"},
                      {"friendlyName": "Disk", "problem": 22},
                      {"friendlyName": "disk", "problem": 5}
                    ]})",
                    {"/deviceCommand=enumDevices"},
                    {"Disk: 0x0180200A(enabled)", "Disk: 0x0180200A(disabled)",
                     "disk: 0x0180200A(unknown error)"}},
        MachineCase{"DuplicateNameAfterFirst",
                    R"({"devices": [
                      {"friendlyName": "Mouse"},
                      {"friendlyName": "Disk", "problem": 22},
                      {"friendlyName": "Disk", "problem": 5}
                    ]})",
                    {"/deviceName=DISK", "/deviceCommand=enumDevices"},
                    {"Disk: 0x0180200A(disabled)"}},
        MachineCase{"DefaultsOfAnEmptyMember",
                    R"({"devices": [{}]})",
                    {"/deviceCommand=statusDevice"},
                    {"ClassGUID={00000000-0000-0000-0000-000000000000}", "DeviceName=Unknown",
                     "DeviceHandle=1", "DeviceStatus=0x0180200A", "DeviceProblem=0x00000000",
                     "DeviceProblemText=enabled"}},
        MachineCase{"LongestNameFits",
                    R"({"devices": [{"friendlyName": ")" + kLongName + R"("}]})",
                    {"/deviceCommand=enumDevices"},
                    {kLongName + ": 0x0180200A(enabled)"}},
        MachineCase{"TooLongNameFallsBackToDescription",
                    R"({"devices": [{"friendlyName": ")" + kLongName + R"(x",
                                     "description": "Short"}]})",
                    {"/deviceCommand=enumDevices"},
                    {"Short: 0x0180200A(enabled)"}},
        MachineCase{
            "EightBitNamePassesThrough",
            R"({"devices": [{"friendlyName": "K\u00fchlger\u00e4t"}, {}]})",
            {"/deviceName=K\xc3\xbchlger\xc3\xa4t", "/deviceCommand=statusDevice"},
            {"ClassGUID={00000000-0000-0000-0000-000000000000}",
             "DeviceName=K\xc3\xbchlger\xc3\xa4t", "DeviceHandle=1", "DeviceStatus=0x0180200A",
             "DeviceProblem=0x00000000", "DeviceProblemText=enabled"}},
        MachineCase{
            "EveryProblemText",
            R"({"devices": [
                      {"friendlyName": "p1", "problem": 1}, {"friendlyName": "p2", "problem": 2},
                      {"friendlyName": "p3", "problem": 3}, {"friendlyName": "p4", "problem": 4},
                      {"friendlyName": "p6", "problem": 6}, {"friendlyName": "p8", "problem": 8},
                      {"friendlyName": "p9", "problem": 9}, {"friendlyName": "p12", "problem": 12},
                      {"friendlyName": "p14", "problem": 14}, {"friendlyName": "p17", "problem": 17},
                      {"friendlyName": "p21", "problem": 21}, {"friendlyName": "p23", "problem": 23},
                      {"friendlyName": "p24", "problem": 24}, {"friendlyName": "p27", "problem": 27},
                      {"friendlyName": "p29", "problem": 29},
                      {"friendlyName": "pmax", "problem": "0xFFFFFFFF", "status": 0}
                    ]})",
            {"/deviceCommand=enumDevices"},
            {"p1: 0x0180200A(no config for device)", "p2: 0x0180200A(service load failed)",
             "p3: 0x0180200A(out of memory)", "p4: 0x0180200A(unknown error)",
             "p6: 0x0180200A(boot config conflict)", "p8: 0x0180200A(Devloader not found)",
             "p9: 0x0180200A(Invalid ID)", "p12: 0x0180200A(config conflict)",
             "p14: 0x0180200A(requires restart)", "p17: 0x0180200A(unknown res type)",
             "p21: 0x0180200A(devinst will remove)", "p23: 0x0180200A(Devloader not ready)",
             "p24: 0x0180200A(device doesn't exist)", "p27: 0x0180200A(no valid log config)",
             "p29: 0x0180200A(unknown error)", "pmax: 0x00000000(unknown error)"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ReportLog, SecondRunTruncatesTheFirstRunsReport) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  ExpectCleanRun(box.Run({"/deviceCommand=enumDevices"}));
  ASSERT_EQ(box.ReadLog(), CrLf(kAllLines));
  ExpectCleanRun(box.Run({"/deviceCommand=nothing"}));
  EXPECT_EQ(box.ReadLog(), "");
}

TEST(ReportLog, PlainRunWritesNothingElse) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  const RunResult run = box.Run({"/deviceCommand=enumDevices"});
  ExpectCleanRun(run);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

TEST(ReportLog, NamedAfterTheExecutableBesideIt) {
  // A dot in a directory's name is no extension; the executable's own one is replaced.
  Sandbox box("my.tools", "nodes.bin");
  box.WriteDeviceFile(kMachine);
  ExpectCleanRun(box.Run({"/deviceCommand=enumDevices", "/deviceName=Beta"}));
  EXPECT_EQ(ReadFileBytes(box.Dir() / "nodes.log"), CrLf({kBetaLine}));
  EXPECT_FALSE(std::filesystem::exists(box.Dir().parent_path() / "my.log"));
}

TEST(ReportLog, BesideTheExecutableNotInTheWorkingDirectory) {
  Sandbox box("bin");
  box.WriteDeviceFile(kMachine);
  RunOptions options;
  options.cwd = box.Dir().parent_path();
  const RunResult run =
      box.RunRaw({"/deviceSource=bin/devices.json", "/deviceCommand=enumDevices"}, options);
  ExpectCleanRun(run);
  EXPECT_EQ(box.ReadLog(), CrLf(kAllLines));
  EXPECT_FALSE(std::filesystem::exists(options.cwd / "quillon.log"));
}

TEST(CommandMode, WorksWithoutAnyDisplayOrPlatformChosen) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  RunOptions options;
  options.env = {{"QT_QPA_PLATFORM", std::nullopt}};
  const RunResult run = box.Run({"/deviceCommand=statusDevice"}, options);
  ExpectCleanRun(run);
  EXPECT_EQ(box.ReadLog(), CrLf(kAlphaStatus));
}

TEST(WindowMode, WithoutDisplayEndsWithOneClearLine) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  RunOptions options;
  options.env = {{"QT_QPA_PLATFORM", std::nullopt}};
  options.timeoutSeconds = 20;
  const RunResult run = box.Run({"/deviceName=Beta"}, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0) << "aborted instead of reporting";
  EXPECT_NE(run.exitCode, 0);
  EXPECT_EQ(run.ErrLines().size(), 1u) << run.err;
}

}  // namespace
}  // namespace quillon::cli_test
