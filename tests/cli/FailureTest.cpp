// Failures seen from outside: injected service failures become "Error: ..."
// lines on standard error (no display, so no box waits), broken and
// unwritable device files, a report log that cannot be created. The exit
// code stays 0 throughout.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CliHarness.h"

namespace quillon::cli_test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

void ExpectEndedNormally(const RunResult& run) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, 0);
}

// "First" always works; "Second" carries the case's extra fields.
std::string Machine(const std::string& second, const std::string& top = "") {
  return "{" + top + R"(
  "devices": [
    { "instanceId": "PCI\\VEN_10EC&DEV_8168\\01", "friendlyName": "First", "devInst": 1,
      "classGuid": "{4D36E972-E325-11CE-BFC1-08002BE10318}", "status": "0x01802402",
      "problem": 22 },
    { "instanceId": "PCI\\VEN_10EC&DEV_8168\\02", "devInst": 2,
      "classGuid": "{4D36E972-E325-11CE-BFC1-08002BE10318}", )" +
         second + R"( }
  ]
})";
}

const Lines kNoValues{"ClassGUID=",    "DeviceName=",    "DeviceHandle=",
                      "DeviceStatus=", "DeviceProblem=", "DeviceProblemText="};

Lines SecondStatus(const std::string& name, const std::string& status = "0x0180200A",
                   const std::string& problem = "0x00000000", const std::string& text = "enabled") {
  return {"ClassGUID={4D36E972-E325-11CE-BFC1-08002BE10318}",
          "DeviceName=" + name,
          "DeviceHandle=2",
          "DeviceStatus=" + status,
          "DeviceProblem=" + problem,
          "DeviceProblemText=" + text};
}

struct FailureCase {
  const char* name;
  std::string json;
  Lines args;
  Lines errors;  // the error-box lines on standard error, in order
  Lines log;
  bool fileUnchanged;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class InjectedFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(InjectedFailureTest, ReportsOnStandardErrorAndGoesOn) {
  const FailureCase& c = GetParam();
  Sandbox box;
  box.WriteDeviceFile(c.json);
  const RunResult run = box.Run(c.args);
  ExpectEndedNormally(run);
  EXPECT_EQ(run.ErrorLines(), c.errors) << run.err;
  EXPECT_EQ(box.ReadLog(), CrLf(c.log));
  if (c.fileUnchanged) {
    EXPECT_EQ(box.ReadDeviceFile(), c.json);
  }
}

const std::string kFirstLine = "First: 0x01802402(disabled)";
const std::string kIdError = "Error: SetupDiGetDeviceInstanceId(): 13";
const std::string kDescribed = R"("friendlyName": "Named", "description": "Described")";

INSTANTIATE_TEST_SUITE_P(Open, InjectedFailureTest,
                         testing::Values(FailureCase{"OpenErrorEnum",
                                                     Machine(kDescribed, R"("openError": 5,)"),
                                                     {"/deviceCommand=enumDevices"},
                                                     {"Error: SetupDiGetClassDevs(): 5"},
                                                     {},
                                                     true},
                                         FailureCase{
                                             "OpenErrorNegativeStatus",
                                             Machine(kDescribed, R"("openError": "0xE000020B",)"),
                                             {"/deviceCommand=statusDevice"},
                                             {"Error: SetupDiGetClassDevs(): -536870389"},
                                             kNoValues,
                                             true},
                                         FailureCase{"OpenErrorThenStateChange",
                                                     Machine(kDescribed, R"("openError": 31,)"),
                                                     {"/deviceCommand=disableDevice"},
                                                     {"Error: SetupDiGetClassDevs(): 31"},
                                                     {},
                                                     true}),
                         [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Names, InjectedFailureTest,
    testing::Values(
        // Once while the list is built and once when enumDevices shows it.
        FailureCase{"InstanceIdEnum",
                    Machine(kDescribed + R"(, "fail": {"instanceId": 13})"),
                    {"/deviceCommand=enumDevices"},
                    {kIdError, kIdError},
                    {kFirstLine, ": 0x0180200A(enabled)"},
                    true},
        FailureCase{"InstanceIdNotShown",
                    Machine(kDescribed + R"(, "fail": {"instanceId": 13})"),
                    {"/deviceCommand=statusDevice"},
                    {kIdError},
                    {"ClassGUID={4D36E972-E325-11CE-BFC1-08002BE10318}", "DeviceName=First",
                     "DeviceHandle=1", "DeviceStatus=0x01802402", "DeviceProblem=0x00000016",
                     "DeviceProblemText=disabled"},
                    true},
        FailureCase{"InstanceIdNegativeCode",
                    Machine(kDescribed + R"(, "fail": {"instanceId": "0xE000020B"})"),
                    {"/deviceCommand=enumDevices", "/deviceName=First"},
                    {"Error: SetupDiGetDeviceInstanceId(): -536870389",
                     "Error: SetupDiGetDeviceInstanceId(): -536870389"},
                    {kFirstLine, ": 0x0180200A(enabled)"},
                    true},
        FailureCase{"FriendlyNameFailsSilently",
                    Machine(kDescribed + R"(, "fail": {"friendlyName": 5})"),
                    {"/deviceCommand=enumDevices"},
                    {},
                    {kFirstLine, "Described: 0x0180200A(enabled)"},
                    true},
        FailureCase{"DescriptionFailsSilently",
                    Machine(R"("description": "Described", "fail": {"description": 5})"),
                    {"/deviceCommand=enumDevices"},
                    {},
                    {kFirstLine, "Unknown: 0x0180200A(enabled)"},
                    true},
        FailureCase{"DescriptionUnusedWhenNamed",
                    Machine(kDescribed + R"(, "fail": {"description": 5})"),
                    {"/deviceCommand=enumDevices"},
                    {},
                    {kFirstLine, "Named: 0x0180200A(enabled)"},
                    true},
        FailureCase{"StatusFailShowsZeros",
                    Machine(kDescribed + R"(, "status": "0x01802402", "problem": 22,
                                             "fail": {"status": 1})"),
                    {"/deviceCommand=enumDevices"},
                    {},
                    {kFirstLine, "Named: 0x00000000(enabled)"},
                    true},
        FailureCase{"StatusFailStatusDevice",
                    Machine(kDescribed + R"(, "problem": 22, "fail": {"status": 13})"),
                    {"/deviceName=Named", "/deviceCommand=statusDevice"},
                    {},
                    SecondStatus("Named", "0x00000000", "0x00000000", "enabled"),
                    true}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Changes, InjectedFailureTest,
    testing::Values(
        FailureCase{"SetClassInstallParams",
                    Machine(kDescribed + R"(, "fail": {"setClassInstallParams": 5,
                                                       "callClassInstaller": 6})"),
                    {"/deviceName=Named", "/deviceCommand=disableDevice"},
                    {"Error: SetupDiSetClassInstallParams(): HANDLE error 5"},
                    {},
                    true},
        FailureCase{"CallClassInstaller",
                    Machine(kDescribed + R"(, "fail": {"callClassInstaller": -536870389})"),
                    {"/deviceName=Named", "/deviceCommand=stopDevice"},
                    {"Error: SetupDiCallClassInstaller(): HANDLE error -536870389"},
                    {},
                    true},
        FailureCase{"CallClassInstallerOnEnable",
                    Machine(kDescribed + R"(, "fail": {"callClassInstaller": "0xE0000231"})"),
                    {"/deviceName=Named", "/deviceCommand=enableDevice"},
                    {"Error: SetupDiCallClassInstaller(): HANDLE error -536870351"},
                    {},
                    true},
        FailureCase{"SetFriendlyName",
                    Machine(kDescribed + R"(, "fail": {"setFriendlyName": 5})"),
                    {"/deviceName=Named", "/deviceCommand=setFriendlyName", "/value0=Other"},
                    {"Error: SetupDiSetDeviceRegistryProperty(): 5"},
                    {},
                    true},
        // Build, selection, and the readability test before the write.
        FailureCase{"SetFriendlyNameUnreadableFirst",
                    R"({"devices": [{"friendlyName": "Only", "fail": {"instanceId": 13}}]})",
                    {"/deviceCommand=setFriendlyName", "/value0=Other"},
                    {kIdError, kIdError, kIdError},
                    {},
                    true}),
    [](const auto& p) { return std::string(p.param.name); });

// A device file that does not open: one box, the reason with file and line,
// an empty list, and the file is left as it was.
struct BrokenCase {
  const char* name;
  std::string text;
  int line;
};

void PrintTo(const BrokenCase& c, std::ostream* os) {
  *os << c.name;
}

class BrokenFileTest : public testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenFileTest, OpensAsFailedSet) {
  const BrokenCase& c = GetParam();
  Sandbox box;
  box.WriteDeviceFile(c.text);
  for (const char* command : {"enumDevices", "disableDevice"}) {
    SCOPED_TRACE(command);
    const RunResult run = box.Run({std::string("/deviceCommand=") + command});
    ExpectEndedNormally(run);
    EXPECT_EQ(run.ErrorLines(), Lines{"Error: SetupDiGetClassDevs(): 13"}) << run.err;
    const std::string where = box.DeviceFile().string() + ":" + std::to_string(c.line) + ":";
    EXPECT_NE(("\n" + run.err).find("\n" + where), std::string::npos)
        << "no line starting with " << where << " in:\n"
        << run.err;
    EXPECT_EQ(box.ReadLog(), "");
    EXPECT_EQ(box.ReadDeviceFile(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BrokenFiles, BrokenFileTest,
    testing::Values(BrokenCase{"Empty", "", 1}, BrokenCase{"NotJson", "devices:\n  - First\n", 1},
                    BrokenCase{"TrailingComma",
                               "{\n  \"devices\": [\n    {\"friendlyName\": \"A\"},\n  ]\n}\n", 4},
                    BrokenCase{"Truncated", "{\n  \"devices\": [\n    {\"friendlyName\": \"A\"", 3},
                    BrokenCase{"DevicesNotAnArray", "{\n  \"devices\": {}\n}\n", 2},
                    BrokenCase{"BadStatusText",
                               "{\"devices\": [\n  {\"friendlyName\": \"A\"},\n"
                               "  {\"status\": \"fast\"}\n]}\n",
                               3},
                    BrokenCase{"BadGuid",
                               "{\"devices\": [\n  {\"friendlyName\": \"A\",\n"
                               "   \"classGuid\": \"{4D36E972-E325}\"}\n]}\n",
                               3},
                    BrokenCase{"NameNotText", "{\"devices\": [\n\n  {\"friendlyName\": 12}\n]}\n",
                               3}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DeviceSource, MissingFileFailsLikeAnOpen) {
  Sandbox box;
  const RunResult run = box.Run({"/deviceCommand=statusDevice"});
  ExpectEndedNormally(run);
  EXPECT_EQ(run.ErrorLines(), Lines{"Error: SetupDiGetClassDevs(): 2"}) << run.err;
  EXPECT_NE(run.err.find(box.DeviceFile().string()), std::string::npos) << run.err;
  EXPECT_EQ(box.ReadLog(), CrLf(kNoValues));
}

// The directory holding the device file refuses new files (no write
// permission): the change fails with "access denied" and the file keeps its
// bytes.
class UnwritableFileTest : public testing::TestWithParam<FailureCase> {};

TEST_P(UnwritableFileTest, ChangeFailsAndFileIsKept) {
  const FailureCase& c = GetParam();
  Sandbox box;
  const fs::path dir = box.Dir() / "ro";
  fs::create_directory(dir);
  const fs::path file = dir / "devices.json";
  WriteFileBytes(file, c.json);
  RunOptions options;
  options.readOnlyDir = dir;
  Lines args{"/deviceSource=" + file.string()};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const RunResult run = box.RunRaw(args, options);
  ExpectEndedNormally(run);
  EXPECT_EQ(run.ErrorLines(), c.errors) << run.err;
  EXPECT_EQ(ReadFileBytes(file), c.json);
  // Nothing was changed behind the failure either.
  const RunResult after =
      box.RunRaw({"/deviceSource=" + file.string(), "/deviceCommand=enumDevices"});
  ExpectEndedNormally(after);
  EXPECT_EQ(box.ReadLog(), CrLf(c.log));
}

INSTANTIATE_TEST_SUITE_P(
    Unwritable, UnwritableFileTest,
    testing::Values(FailureCase{"Disable",
                                Machine(kDescribed),
                                {"/deviceName=Named", "/deviceCommand=disableDevice"},
                                {"Error: SetupDiCallClassInstaller(): HANDLE error 5"},
                                {kFirstLine, "Named: 0x0180200A(enabled)"},
                                true},
                    FailureCase{"Enable",
                                Machine(kDescribed),
                                {"/deviceCommand=enableDevice"},
                                {"Error: SetupDiCallClassInstaller(): HANDLE error 5"},
                                {kFirstLine, "Named: 0x0180200A(enabled)"},
                                true},
                    FailureCase{
                        "SetFriendlyName",
                        Machine(kDescribed),
                        {"/deviceName=Named", "/deviceCommand=setFriendlyName", "/value0=Other"},
                        {"Error: SetupDiSetDeviceRegistryProperty(): 5"},
                        {kFirstLine, "Named: 0x0180200A(enabled)"},
                        true},
                    FailureCase{"ReadingStillWorks",
                                Machine(kDescribed),
                                {"/deviceName=Named", "/deviceCommand=statusDevice"},
                                {},
                                {kFirstLine, "Named: 0x0180200A(enabled)"},
                                true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(UnwritableFile, ReadOnlyFileIsLeftAlone) {
  // Replacing the file would only need the directory's permission.
  Sandbox box;
  const std::string json = Machine(kDescribed);
  box.WriteDeviceFile(json);
  fs::permissions(box.DeviceFile(), fs::perms::owner_read | fs::perms::group_read);
  RunOptions options;
  options.obeyPermissions = true;
  const RunResult run = box.Run({"/deviceName=Named", "/deviceCommand=disableDevice"}, options);
  ExpectEndedNormally(run);
  EXPECT_EQ(run.ErrorLines(), Lines{"Error: SetupDiCallClassInstaller(): HANDLE error 5"});
  EXPECT_EQ(box.ReadDeviceFile(), json);
}

// The same on a read-only file system: "write protected".
TEST(UnwritableFile, ReadOnlyMount) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "a private read-only mount needs root";
  Sandbox box;
  const fs::path dir = box.Dir() / "ro";
  fs::create_directory(dir);
  const fs::path file = dir / "devices.json";
  const std::string json = Machine(kDescribed);
  WriteFileBytes(file, json);
  RunOptions options;
  options.readOnlyDir = dir;
  options.byMount = true;
  const RunResult disable = box.RunRaw(
      {"/deviceSource=" + file.string(), "/deviceName=Named", "/deviceCommand=disableDevice"},
      options);
  ExpectEndedNormally(disable);
  EXPECT_EQ(disable.ErrorLines(), Lines{"Error: SetupDiCallClassInstaller(): HANDLE error 19"});
  const RunResult rename = box.RunRaw({"/deviceSource=" + file.string(), "/deviceName=Named",
                                       "/deviceCommand=setFriendlyName", "/value0=X"},
                                      options);
  ExpectEndedNormally(rename);
  EXPECT_EQ(rename.ErrorLines(), Lines{"Error: SetupDiSetDeviceRegistryProperty(): 19"});
  EXPECT_EQ(ReadFileBytes(file), json);
}

// A report log that cannot be created: the reporting commands say so once
// on standard error, nothing else is harmed, and the exit code stays 0.
TEST(UnwritableLog, DirectoryInTheWay) {
  for (const char* command : {"enumDevices", "statusDevice"}) {
    SCOPED_TRACE(command);
    Sandbox box;
    box.WriteDeviceFile(Machine(kDescribed));
    fs::create_directory(box.LogFile());
    const RunResult run = box.Run({std::string("/deviceCommand=") + command});
    ExpectEndedNormally(run);
    EXPECT_EQ(run.OwnErrLines().size(), 1u) << run.err;
    EXPECT_NE(run.err.find(box.LogFile().string()), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_directory(box.LogFile()));
  }
}

TEST(UnwritableLog, SymbolicLinkIsNotFollowed) {
  Sandbox box;
  box.WriteDeviceFile(Machine(kDescribed));
  const fs::path victim = box.Dir() / "victim.txt";
  WriteFileBytes(victim, "keep me\n");
  fs::create_symlink(victim, box.LogFile());
  const RunResult run = box.Run({"/deviceCommand=enumDevices"});
  ExpectEndedNormally(run);
  EXPECT_EQ(run.OwnErrLines().size(), 1u) << run.err;
  EXPECT_EQ(ReadFileBytes(victim), "keep me\n");

  // A dangling link must not create its target either.
  fs::remove(victim);
  const RunResult dangling = box.Run({"/deviceCommand=statusDevice"});
  ExpectEndedNormally(dangling);
  EXPECT_FALSE(fs::exists(victim));
}

TEST(UnwritableLog, StateCommandStillWorks) {
  Sandbox box;
  box.WriteDeviceFile(Machine(kDescribed));
  fs::create_directory(box.LogFile());
  const RunResult run = box.Run({"/deviceName=Named", "/deviceCommand=disableDevice"});
  ExpectEndedNormally(run);
  EXPECT_EQ(run.ErrorLines(), Lines{}) << run.err;
  fs::remove(box.LogFile());
  ExpectEndedNormally(box.Run({"/deviceCommand=enumDevices"}));
  EXPECT_EQ(box.ReadLog(), CrLf({kFirstLine, "Named: 0x01802402(disabled)"}));
}

}  // namespace
}  // namespace quillon::cli_test
