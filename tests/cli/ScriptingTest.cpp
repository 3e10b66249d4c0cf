// What scripts lean on beyond the report log beside the executable: the log
// put elsewhere with /reportLog= (standard output included), and --help and
// --version answered before anything is built.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/cli/CliHarness.h"

namespace quillon::cli_test {
namespace {

namespace fs = std::filesystem;

// The last device's instance ID cannot be read: an error box on standard
// error for each read, which must leave standard output to the log.
constexpr const char* kMachine = R"({
  "devices": [
    { "friendlyName": "Alpha" },
    { "friendlyName": "Beta", "status": "0x01802402", "problem": 22 },
    { "friendlyName": "Gamma", "fail": { "instanceId": 13 } }
  ]
})";
const Lines kAll{"Alpha: 0x0180200A(enabled)", "Beta: 0x01802402(disabled)",
                 ": 0x0180200A(enabled)"};
const std::string kIdError = "Error: SetupDiGetDeviceInstanceId(): 13";
const Lines kEnumErrors{kIdError, kIdError};
const std::string kLastReport = "last report\r\n";

struct LogCase {
  const char* name;
  Lines args;          // after /deviceSource=; relative paths are the sandbox's
  const char* where;   // the file that gets the log; "-" for standard output
  Lines log;           // the log's lines
  const char* absent;  // a file that must not come to exist, if any
  Lines errors = kEnumErrors;
};
void PrintTo(const LogCase& c, std::ostream* os) {
  *os << c.name;
}

std::string LogCaseName(const testing::TestParamInfo<LogCase>& param) {
  return param.param.name;
}

class ReportLogSwitch : public testing::TestWithParam<LogCase> {};

// Exactly the bytes a log beside the executable would hold, where asked for;
// the log beside the executable is left alone.
TEST_P(ReportLogSwitch, WritesTheLogWhereAsked) {
  const LogCase& c = GetParam();
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  WriteFileBytes(box.LogFile(), kLastReport);
  const RunResult run = box.Run(c.args);
  ExpectEndedNormally(run, c.errors);
  const bool toStandardOutput = std::string(c.where) == "-";
  if (toStandardOutput) {
    EXPECT_EQ(run.out, CrLf(c.log));
  } else {
    EXPECT_EQ(run.out, "");
    const fs::path file = c.where[0] == '\0' ? box.LogFile() : box.Dir() / c.where;
    EXPECT_EQ(ReadFileBytes(file), CrLf(c.log));
  }
  if (c.where[0] != '\0') {
    EXPECT_EQ(box.ReadLog(), kLastReport);
  }
  if (c.absent[0] != '\0') {
    EXPECT_FALSE(fs::exists(box.Dir() / c.absent)) << c.absent;
  }
}

const Lines kEnum{"/deviceCommand=enumDevices"};
Lines With(Lines args, const Lines& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportLogSwitch,
    testing::Values(
        LogCase{"StandardOutput", With(kEnum, {"/reportLog=-"}), "-", kAll, ""},
        LogCase{"File", With(kEnum, {"/reportLog=nodes.txt"}), "nodes.txt", kAll, ""},
        LogCase{"NameIgnoresCase", With(kEnum, {"/REPORTLOG=-"}), "-", kAll, ""},
        LogCase{"FirstWins", With(kEnum, {"/reportLog=a.log", "/reportLog=b.log"}), "a.log", kAll,
                "b.log"},
        LogCase{"EmptyIsAbsent", With(kEnum, {"/reportLog=", "/reportLog=-"}), "-", kAll, ""},
        LogCase{"OnlyEmptyMeansBesideTheExecutable", With(kEnum, {"/reportLog="}), "", kAll, "-"},
        LogCase{"StatusToStandardOutput",
                {"/deviceName=beta", "/deviceCommand=statusDevice", "/reportLog=-"},
                "-",
                StatusLines("{00000000-0000-0000-0000-000000000000}", "Beta", "2", "0x01802402",
                            "0x00000016", "disabled"),
                "",
                {kIdError}},
        LogCase{"UnknownCommandEmptiesTheFile",
                {"/reportLog=nodes.txt", "/deviceCommand=listDevices", "/deviceName=gamma",
                 "/deviceCommand=statusDevice"},
                "nodes.txt",
                {},
                "",
                {kIdError}}),
    LogCaseName);

TEST(ReportLogSwitch, TruncatesAnEarlierFileAndRefusesALinkInItsPlace) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  WriteFileBytes(box.Dir() / "nodes.txt", "an earlier, longer report\r\n");
  ExpectEndedNormally(box.Run({"/deviceName=Beta", "/deviceCommand=enumDevices",
                               "/reportLog=" + (box.Dir() / "nodes.txt").string()}),
                      {kIdError});
  EXPECT_EQ(ReadFileBytes(box.Dir() / "nodes.txt"), CrLf({kAll[1]}));

  WriteFileBytes(box.Dir() / "precious.txt", "keep me");
  fs::create_symlink(box.Dir() / "precious.txt", box.Dir() / "link.txt");
  const RunResult run =
      box.Run({"/deviceName=Beta", "/deviceCommand=enumDevices", "/reportLog=link.txt"});
  ExpectEndedNormally(run, {kIdError});
  EXPECT_EQ(ReadFileBytes(box.Dir() / "precious.txt"), "keep me");
  EXPECT_NE(run.err.find("link.txt"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

// The device file is read after the log is opened: a log in its place would
// have emptied it first.
TEST(ReportLogSwitch, NeverTheDeviceFile) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  const RunResult run = box.Run({"/deviceCommand=enumDevices", "/reportLog=./devices.json"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.ErrorLines(), kEnumErrors) << run.err;
  EXPECT_NE(run.err.find("is the device source"), std::string::npos) << run.err;
  EXPECT_EQ(box.ReadDeviceFile(), kMachine);
  EXPECT_EQ(run.out, "");
}

// Answered with no display and no device source, and nothing is built: the
// report log beside the executable stays as it was.
TEST(Information, HelpAndVersionAloneArePrintedAndNothingElseHappens) {
  Sandbox box;
  WriteFileBytes(box.LogFile(), kLastReport);
  RunOptions noDisplay;
  noDisplay.env = {{"QT_QPA_PLATFORM", std::nullopt}};
  for (const char* option : {"--help", "-h", "--version"}) {
    SCOPED_TRACE(option);
    const RunResult run = box.RunRaw({option}, noDisplay);
    ExpectEndedNormally(run);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(box.ReadLog(), kLastReport);
    if (std::string(option) == "--version") {
      EXPECT_EQ(run.out, "quillon " QUILLON_VERSION "\n");
      continue;
    }
    EXPECT_LT(std::count(run.out.begin(), run.out.end(), '\n'), 40);
    for (const char* word :
         {"/deviceName=", "/deviceCommand=", "/value0=", "/deviceSource=", "/reportLog=",
          "enumDevices", "statusDevice", "enableDevice", "disableDevice", "startDevice",
          "stopDevice", "setFriendlyName", "sysfs", "SetupAPI", "reboot"}) {
      EXPECT_NE(run.out.find(word), std::string::npos) << word;
    }
    EXPECT_NE(run.out.find(box.LogFile().string()), std::string::npos) << run.out;
  }
}

// Only as the only argument: otherwise they are arguments like any other.
TEST(Information, AmongOtherArgumentsIgnored) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  for (const char* option : {"--help", "-h", "--version"}) {
    SCOPED_TRACE(option);
    const RunResult run = box.Run({option, "/deviceName=Beta", "/deviceCommand=enumDevices"});
    ExpectEndedNormally(run, {kIdError});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(box.ReadLog(), CrLf({kAll[1]}));
  }
  // Alone but spelt otherwise: window mode, which needs a display.
  RunOptions noDisplay;
  noDisplay.env = {{"QT_QPA_PLATFORM", std::nullopt}};
  for (const char* other : {"--HELP", "-help", "/?", "--version=1"}) {
    SCOPED_TRACE(other);
    const RunResult run = box.RunRaw({other}, noDisplay);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
}  // namespace quillon::cli_test
