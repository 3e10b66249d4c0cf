// Failures seen from outside: injected service failures become "Error: ..."
// lines on standard error (no display, so no box waits), broken and
// unwritable device files, a report log that cannot be created. The exit
// code stays 0 throughout.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/cli/CliHarness.h"

namespace quillon::cli_test {
namespace {

namespace fs = std::filesystem;

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

const std::string kGuid = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const std::string kFirstLine = "First: 0x01802402(disabled)";
const std::string kIdError = "Error: SetupDiGetDeviceInstanceId(): 13";
const std::string kDescribed = R"("friendlyName": "Named", "description": "Described")";
const Lines kEnum{"/deviceCommand=enumDevices"};
const Lines kUntouched{kFirstLine, "Named: 0x0180200A(enabled)"};

RunCase Fail(const char* name, const std::string& fields, Lines args, Lines errors,
             Lines log = {}) {
  return {name, Machine(kDescribed + ", " + fields), std::move(args), std::move(errors),
          std::move(log)};
}

INSTANTIATE_TEST_SUITE_P(Open, RunTest,
                         testing::Values(RunCase{"Enum",
                                                 Machine(kDescribed, R"("openError": 5,)"),
                                                 kEnum,
                                                 {"Error: SetupDiGetClassDevs(): 5"},
                                                 {}},
                                         RunCase{
                                             "NegativeCodeStatus",
                                             Machine(kDescribed, R"("openError": "0xE000020B",)"),
                                             {"/deviceCommand=statusDevice"},
                                             {"Error: SetupDiGetClassDevs(): -536870389"},
                                             NoStatus()},
                                         RunCase{"StateChange",
                                                 Machine(kDescribed, R"("openError": 31,)"),
                                                 {"/deviceCommand=disableDevice"},
                                                 {"Error: SetupDiGetClassDevs(): 31"},
                                                 {}}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(
    Reads, RunTest,
    testing::Values(
        // Once while the list is built and once when enumDevices shows it.
        Fail("InstanceIdEnum", R"("fail": {"instanceId": 13})", kEnum, {kIdError, kIdError},
             {kFirstLine, ": 0x0180200A(enabled)"}),
        Fail("InstanceIdNotShown", R"("fail": {"instanceId": 13})", {"/deviceCommand=statusDevice"},
             {kIdError}, StatusLines(kGuid, "First", "1", "0x01802402", "0x00000016", "disabled")),
        Fail("FriendlyNameFailsSilently", R"("fail": {"friendlyName": 5})", kEnum, {},
             {kFirstLine, "Described: 0x0180200A(enabled)"}),
        RunCase{"DescriptionFailsSilently",
                Machine(R"("description": "Described", "fail": {"description": 5})"),
                kEnum,
                {},
                {kFirstLine, "Unknown: 0x0180200A(enabled)"}},
        Fail("StatusFailShowsZeros",
             R"("status": "0x01802402", "problem": 22, "fail": {"status": 1})", kEnum, {},
             {kFirstLine, "Named: 0x00000000(enabled)"}),
        // A name read from the file cannot forge a second report line.
        RunCase{"NameWithLineBreakStaysOneLine",
                Machine(R"json("friendlyName": "Evil\nFirst: 0x01802402(disabled)")json"),
                kEnum,
                {},
                {kFirstLine, "Evil First: 0x01802402(disabled): 0x0180200A(enabled)"}},
        Fail("StatusFailStatusDevice", R"("problem": 22, "fail": {"status": 13})",
             {"/deviceName=Named", "/deviceCommand=statusDevice"}, {},
             StatusLines(kGuid, "Named", "2", "0x00000000", "0x00000000", "enabled"))),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Changes, RunTest,
    testing::Values(
        Fail("SetClassInstallParams",
             R"("fail": {"setClassInstallParams": 5, "callClassInstaller": 6})",
             {"/deviceName=Named", "/deviceCommand=disableDevice"},
             {"Error: SetupDiSetClassInstallParams(): HANDLE error 5"}),
        Fail("CallClassInstaller", R"("fail": {"callClassInstaller": -536870389})",
             {"/deviceName=Named", "/deviceCommand=stopDevice"},
             {"Error: SetupDiCallClassInstaller(): HANDLE error -536870389"}),
        Fail("CallClassInstallerOnEnable", R"("fail": {"callClassInstaller": "0xE0000231"})",
             {"/deviceName=Named", "/deviceCommand=enableDevice"},
             {"Error: SetupDiCallClassInstaller(): HANDLE error -536870351"}),
        Fail("SetFriendlyName", R"("fail": {"setFriendlyName": 5})",
             {"/deviceName=Named", "/deviceCommand=setFriendlyName", "/value0=Other"},
             {"Error: SetupDiSetDeviceRegistryProperty(): 5"}),
        // Refused before the file is touched, never stored altered.
        Fail("SetFriendlyNameWithLineBreak", R"("present": true)",
             {"/deviceName=Named", "/deviceCommand=setFriendlyName",
              "/value0=Named\nFirst: 0x0180200A(enabled)"},
             {"Error: SetupDiSetDeviceRegistryProperty(): 87"}),
        Fail("SetFriendlyNameNotUtf8", R"("present": true)",
             {"/deviceName=Named", "/deviceCommand=setFriendlyName", "/value0=Disk \xFF"},
             {"Error: SetupDiSetDeviceRegistryProperty(): 87"}),
        // Build, selection, and the readability test before the write.
        RunCase{"SetFriendlyNameUnreadableFirst",
                R"({"devices": [{"friendlyName": "Only", "fail": {"instanceId": 13}}]})",
                {"/deviceCommand=setFriendlyName", "/value0=Other"},
                {kIdError, kIdError, kIdError},
                {}}),
    CaseName);

// A device file that does not open: one box, the reason with file and line,
// an empty list, and the file is left as it was. (The parser's reasons and
// line numbers are the device-file tests' business.)
TEST(BrokenFile, OpensAsFailedSet) {
  const std::pair<const char*, int> files[] = {
      {"", 1},
      {"{\n  \"devices\": [\n    {\"friendlyName\": \"A\"", 3},
      {"{\n  \"devices\": {}\n}\n", 2},
      {"{\"devices\": [\n  {\"friendlyName\": \"A\",\n   \"classGuid\": \"{4D36E972-E325}\"}\n]}\n",
       3}};
  for (const auto& [text, line] : files) {
    Sandbox box;
    box.WriteDeviceFile(text);
    for (const char* command : {"enumDevices", "disableDevice"}) {
      SCOPED_TRACE(std::string(command) + " over\n" + text);
      const RunResult run = box.Run({std::string("/deviceCommand=") + command});
      ExpectEndedNormally(run, {"Error: SetupDiGetClassDevs(): 13"});
      const std::string where = box.DeviceFile().string() + ":" + std::to_string(line) + ":";
      EXPECT_NE(("\n" + run.err).find("\n" + where), std::string::npos)
          << "no line starting with " << where << " in:\n"
          << run.err;
      EXPECT_EQ(box.ReadLog(), "");
      EXPECT_EQ(box.ReadDeviceFile(), text);
    }
  }
}

// A device file the run may not replace (its directory refuses new files, or
// it is itself read-only): the change fails with "access denied", and the
// file keeps its bytes and its devices their state.
struct UnwritableCase {
  const char* name;
  bool fileReadOnly;  // else the directory
  Lines args;
  Lines errors;
};

void PrintTo(const UnwritableCase& c, std::ostream* os) {
  *os << c.name;
}

class UnwritableFileTest : public testing::TestWithParam<UnwritableCase> {};

TEST_P(UnwritableFileTest, ChangeFailsAndFileIsKept) {
  const UnwritableCase& c = GetParam();
  Sandbox box;
  const fs::path file = box.Dir() / "ro" / "devices.json";
  fs::create_directory(file.parent_path());
  const std::string json = Machine(kDescribed);
  WriteFileBytes(file, json);
  fs::permissions(c.fileReadOnly ? file : file.parent_path(),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  RunOptions options;
  options.obeyPermissions = true;
  Lines args{"/deviceSource=" + file.string()};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ExpectEndedNormally(box.RunRaw(args, options), c.errors);
  EXPECT_EQ(ReadFileBytes(file), json);
  ExpectEndedNormally(box.RunRaw({args[0], "/deviceCommand=enumDevices"}, options));
  EXPECT_EQ(box.ReadLog(), CrLf(kUntouched));
}

const Lines kDisable{"/deviceName=Named", "/deviceCommand=disableDevice"};
const Lines kDisableError{"Error: SetupDiCallClassInstaller(): HANDLE error 5"};

INSTANTIATE_TEST_SUITE_P(
    Unwritable, UnwritableFileTest,
    testing::Values(
        UnwritableCase{"Disable", false, kDisable, kDisableError},
        UnwritableCase{"Enable", false, {"/deviceCommand=enableDevice"}, kDisableError},
        UnwritableCase{"SetFriendlyName",
                       false,
                       {"/deviceName=Named", "/deviceCommand=setFriendlyName", "/value0=Other"},
                       {"Error: SetupDiSetDeviceRegistryProperty(): 5"}},
        UnwritableCase{
            "ReadingStillWorks", false, {"/deviceName=Named", "/deviceCommand=statusDevice"}, {}},
        // Replacing the file would only need the directory's permission.
        UnwritableCase{"ReadOnlyFile", true, kDisable, kDisableError}),
    [](const auto& p) { return std::string(p.param.name); });

// A report log that cannot be created (a directory stands in its place): the
// reporting commands say so once on standard error, a state change is not
// harmed, and the exit code stays 0.
TEST(UnwritableLog, DirectoryInTheWay) {
  for (const char* command : {"enumDevices", "statusDevice", "disableDevice"}) {
    SCOPED_TRACE(command);
    Sandbox box;
    box.WriteDeviceFile(Machine(kDescribed));
    fs::create_directory(box.LogFile());
    const RunResult run = box.Run({"/deviceName=Named", std::string("/deviceCommand=") + command});
    ExpectEndedNormally(run);
    const bool reports = std::string(command) != "disableDevice";
    EXPECT_EQ(run.OwnErrLines().size(), reports ? 1u : 0u) << run.err;
    if (reports) {
      EXPECT_NE(run.err.find(box.LogFile().string()), std::string::npos) << run.err;
    }
    EXPECT_TRUE(fs::is_directory(box.LogFile()));
    if (!reports) {
      fs::remove(box.LogFile());
      ExpectEndedNormally(box.Run(kEnum));
      EXPECT_EQ(box.ReadLog(), CrLf({kFirstLine, "Named: 0x01802402(disabled)"}));
    }
  }
}

// Without a report log every device is still read, so its error boxes are
// not lost: once while the list is built, once when enumDevices reads it.
TEST(UnwritableLog, EnumDevicesStillReadsEveryDevice) {
  Sandbox box;
  box.WriteDeviceFile(Machine(kDescribed + R"(, "fail": {"instanceId": 13})"));
  fs::create_directory(box.LogFile());
  const RunResult run = box.Run(kEnum);
  ExpectEndedNormally(run, {kIdError, kIdError});
  EXPECT_EQ(run.OwnErrLines().size(), 3u) << run.err;  // and the one line about the log
}

// A link in the log's place is not followed: not even a dangling one may
// create its target.
TEST(UnwritableLog, DanglingLinkIsNotFollowed) {
  Sandbox box;
  box.WriteDeviceFile(Machine(kDescribed));
  const fs::path victim = box.Dir() / "victim.txt";
  fs::create_symlink(victim, box.LogFile());
  const RunResult run = box.Run(kEnum);
  ExpectEndedNormally(run);
  EXPECT_EQ(run.OwnErrLines().size(), 1u) << run.err;
  EXPECT_FALSE(fs::exists(victim));
}

}  // namespace
}  // namespace quillon::cli_test
