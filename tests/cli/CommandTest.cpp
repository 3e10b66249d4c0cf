// The reporting commands and the command line, seen from outside: report log
// bytes for enumDevices and statusDevice, device selection, switch matching,
// where the log goes, and starting without a usable display.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/cli/CliHarness.h"

namespace quillon::cli_test {
namespace {

namespace fs = std::filesystem;

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

const std::string kBetaLine = "Beta: 0x01802402(disabled)";
const std::string kGammaLine = "Gamma: 0x0180200A(install failed)";
const Lines kAll{"Alpha: 0x0180200A(enabled)", kBetaLine, kGammaLine};
const Lines kAlphaStatus = StatusLines("{4D36E972-E325-11CE-BFC1-08002BE10318}", "Alpha", "1",
                                       "0x0180200A", "0x00000000", "enabled");

RunCase OnMachine(const char* name, Lines args, Lines log) {
  return {name, kMachine, std::move(args), {}, std::move(log)};
}

INSTANTIATE_TEST_SUITE_P(
    Select, RunTest,
    testing::Values(
        OnMachine("EnumAll", {"/deviceCommand=enumDevices"}, kAll),
        OnMachine("EnumOneIgnoringCase", {"/deviceName=bETA", "/deviceCommand=enumDevices"},
                  {kBetaLine}),
        OnMachine("EnumLast", {"/deviceCommand=enumDevices", "/deviceName=Gamma"}, {kGammaLine}),
        OnMachine("EnumFirstMeansAll", {"/deviceName=Alpha", "/deviceCommand=enumDevices"}, kAll),
        OnMachine("EnumNoMatchMeansAll", {"/deviceName=Delta", "/deviceCommand=enumDevices"}, kAll),
        OnMachine("EnumRemovedIsNoMatch", {"/deviceName=Ghost", "/deviceCommand=enumDevices"},
                  kAll),
        OnMachine("EnumHiddenDescriptionIsNoMatch",
                  {"/deviceName=Keyboard", "/deviceCommand=enumDevices"}, kAll),
        OnMachine("StatusFirst", {"/deviceCommand=statusDevice"}, kAlphaStatus),
        OnMachine("StatusDisabledNegativeHandle",
                  {"/deviceName=beta", "/deviceCommand=statusDevice"},
                  StatusLines("{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "Beta", "-2147483645",
                              "0x01802402", "0x00000016", "disabled")),
        OnMachine("StatusUppercaseGuidHandleZero",
                  {"/deviceName=Gamma", "/deviceCommand=statusDevice"},
                  StatusLines("{4D36E96B-E325-11CE-BFC1-08002BE10318}", "Gamma", "0", "0x0180200A",
                              "0x0000001C", "install failed")),
        OnMachine("StatusNoMatch", {"/deviceName=Delta", "/deviceCommand=statusDevice"},
                  NoStatus())),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Switches, RunTest,
    testing::Values(
        RunCase{"UnknownCommandLeavesEmptyLog",
                kMachine,
                {"/deviceCommand=listDevices"},
                {},
                {},
                {UnknownCommandLine("listDevices")}},
        OnMachine("SwitchNameIgnoresCase", {"/DEVICECOMMAND=enumDevices"}, kAll),
        RunCase{"CommandNameKeepsCase",
                kMachine,
                {"/deviceCommand=EnumDevices"},
                {},
                {},
                {UnknownCommandLine("EnumDevices")}},
        OnMachine("FirstDeviceNameWins",
                  {"/deviceName=Beta", "/deviceName=Gamma", "/deviceCommand=enumDevices"},
                  {kBetaLine}),
        OnMachine("FirstDeviceCommandWins",
                  {"/deviceCommand=enumDevices", "/deviceCommand=statusDevice"}, kAll),
        OnMachine("EmptyDeviceNameIsSkipped",
                  {"/deviceName=", "/deviceName=Gamma", "/deviceCommand=enumDevices"},
                  {kGammaLine}),
        OnMachine("OtherSwitchCharactersIgnored",
                  {"-deviceName=Beta", "deviceName=Beta", "--deviceName=Beta",
                   "/deviceCommand=enumDevices"},
                  kAll),
        OnMachine("LongerSwitchNameIgnored",
                  {"/deviceNames=Beta", "/deviceName:Beta", "/deviceCommand=enumDevices"}, kAll),
        OnMachine("EqualsInValueKept", {"/deviceName==Beta", "/deviceCommand=enumDevices"}, kAll),
        OnMachine("NonSwitchArgumentsIgnored",
                  {"enumDevices", "Beta", "/deviceCommand=statusDevice"}, kAlphaStatus)),
    CaseName);

RunCase EveryProblemText() {
  const std::pair<int, const char*> texts[] = {{1, "no config for device"},
                                               {2, "service load failed"},
                                               {3, "out of memory"},
                                               {4, "unknown error"},
                                               {6, "boot config conflict"},
                                               {8, "Devloader not found"},
                                               {9, "Invalid ID"},
                                               {12, "config conflict"},
                                               {14, "requires restart"},
                                               {17, "unknown res type"},
                                               {21, "devinst will remove"},
                                               {23, "Devloader not ready"},
                                               {24, "device doesn't exist"},
                                               {27, "no valid log config"},
                                               {29, "unknown error"}};
  RunCase c{"EveryProblemText", R"({"devices": [)", {"/deviceCommand=enumDevices"}, {}, {}};
  for (const auto& [code, text] : texts) {
    const std::string name = "p" + std::to_string(code);
    c.json += R"({"friendlyName": ")" + name + R"(", "problem": )" + std::to_string(code) + "}, ";
    c.log.push_back(name + ": 0x0180200A(" + text + ")");
  }
  c.json += R"({"friendlyName": "pmax", "problem": "0xFFFFFFFF", "status": 0}]})";
  c.log.push_back("pmax: 0x00000000(unknown error)");
  return c;
}

const std::string kLongName(259, 'n');
const Lines kEnum{"/deviceCommand=enumDevices"};

INSTANTIATE_TEST_SUITE_P(
    Names, RunTest,
    testing::Values(
        RunCase{"EnumOnlyRemoved",
                R"({"devices": [{"friendlyName": "Gone", "present": false}]})",
                kEnum,
                {},
                {}},
        RunCase{"StatusNoDevices",
                R"({"devices": []})",
                {"/deviceCommand=statusDevice"},
                {},
                NoStatus()},
        RunCase{"FallbacksInOrder",
                R"({"devices": [{"friendlyName": "Friendly", "description": "Described"},
                                {"description": "Described"}, {}]})",
                kEnum,
                {},
                {"Friendly: 0x0180200A(enabled)", "Described: 0x0180200A(enabled)",
                 "Unknown: 0x0180200A(enabled)"}},
        RunCase{"DuplicateNamesListedTwice",
                R"({"devices": [{"friendlyName": "Disk"}, {"friendlyName": "Disk", "problem": 22},
                                {"friendlyName": "disk", "problem": 5}]})",
                kEnum,
                {},
                {"Disk: 0x0180200A(enabled)", "Disk: 0x0180200A(disabled)",
                 "disk: 0x0180200A(unknown error)"}},
        RunCase{"DuplicateNameAfterFirst",
                R"({"devices": [{"friendlyName": "Mouse"}, {"friendlyName": "Disk", "problem": 22},
                                {"friendlyName": "Disk", "problem": 5}]})",
                {"/deviceName=DISK", "/deviceCommand=enumDevices"},
                {},
                {"Disk: 0x0180200A(disabled)"}},
        // A name one byte too long for the buffer falls back to the description.
        RunCase{"LongestNameFits",
                R"({"devices": [{"friendlyName": ")" + kLongName + R"("},
                                {"friendlyName": ")" +
                    kLongName + R"(x", "description": "Short"}]})",
                kEnum,
                {},
                {kLongName + ": 0x0180200A(enabled)", "Short: 0x0180200A(enabled)"}},
        RunCase{"EightBitNamePassesThrough",
                R"({"devices": [{"friendlyName": "K\u00fchlger\u00e4t"}, {}]})",
                {"/deviceName=K\xc3\xbchlger\xc3\xa4t", "/deviceCommand=statusDevice"},
                {},
                StatusLines("{00000000-0000-0000-0000-000000000000}", "K\xc3\xbchlger\xc3\xa4t",
                            "1", "0x0180200A", "0x00000000", "enabled")},
        EveryProblemText()),
    CaseName);

// Beside the executable and named after it (a dot in a directory's name is no
// extension), whatever the working directory; the last report is replaced.
TEST(ReportLog, BesideTheExecutableNamedAfterIt) {
  Sandbox box("my.tools", "nodes.bin");
  box.WriteDeviceFile(kMachine);
  WriteFileBytes(box.Dir() / "nodes.log", "last report\r\n");
  RunOptions options;
  options.cwd = box.Dir().parent_path();
  const RunResult run = box.RunRaw(
      {"/deviceSource=my.tools/devices.json", "/deviceCommand=enumDevices", "/deviceName=Beta"},
      options);
  ExpectEndedNormally(run);
  EXPECT_EQ(ReadFileBytes(box.Dir() / "nodes.log"), CrLf({kBetaLine}));
  for (const char* stray : {"my.log", "nodes.log", "quillon.log"})
    EXPECT_FALSE(fs::exists(options.cwd / stray)) << stray;
}

// No display at all, or one that does not answer (a stale DISPLAY after ssh),
// where Qt alone would abort.
const std::map<std::string, std::optional<std::string>> kNoDisplays[] = {
    {{"QT_QPA_PLATFORM", std::nullopt}}, {{"QT_QPA_PLATFORM", std::nullopt}, {"DISPLAY", ":9876"}}};

TEST(NoDisplay, CommandModeRunsOffscreenAndBoxesGoToStandardError) {
  for (const auto& env : kNoDisplays) {
    SCOPED_TRACE(env.size());
    Sandbox box;
    box.WriteDeviceFile(kMachine);
    RunOptions options;
    options.env = env;
    ExpectEndedNormally(box.Run({"/deviceCommand=statusDevice"}, options));
    EXPECT_EQ(box.ReadLog(), CrLf(kAlphaStatus));

    const fs::path missing = box.Dir() / "missing.json";
    const RunResult run =
        box.RunRaw({"/deviceSource=" + missing.string(), "/deviceCommand=statusDevice"}, options);
    ExpectEndedNormally(run, {"Error: SetupDiGetClassDevs(): 2"});
    EXPECT_NE(run.err.find(missing.string()), std::string::npos) << run.err;
    EXPECT_EQ(box.ReadLog(), CrLf(NoStatus()));
  }
}

// The window toolkit's own options are arguments like any other: ignored,
// with or without a display to try.
TEST(NoDisplay, ToolkitOptionsAreIgnored) {
  for (const auto& env : kNoDisplays) {
    SCOPED_TRACE(env.size());
    Sandbox box;
    box.WriteDeviceFile(kMachine);
    RunOptions options;
    options.env = env;
    const RunResult run = box.Run({"-platform", "bogus", "-reverse", "-qwindowtitle", "X",
                                   "/deviceName=Beta", "/deviceCommand=enumDevices"},
                                  options);
    ExpectEndedNormally(run);
    EXPECT_EQ(box.ReadLog(), CrLf({kBetaLine}));
  }
}

// Command mode with no display maps no library of the window toolkit; a
// display named (even one that does not answer) loads it, for the boxes.
TEST(NoDisplay, CommandModeMapsNoToolkitLibrary) {
  for (const auto& env : kNoDisplays) {
    SCOPED_TRACE(env.size());
    Sandbox box;
    box.WriteDeviceFile(kMachine);
    RunOptions options;
    options.env = env;
    options.env["LD_DEBUG"] = "files";
    const RunResult run = box.Run({"/deviceCommand=enumDevices"}, options);
    ExpectEndedNormally(run);
    EXPECT_EQ(box.ReadLog(), CrLf(kAll));
    const bool displayNamed = env.contains("DISPLAY");
    for (const char* library : {"libQt6Core", "libQt6Gui", "libQt6Widgets"}) {
      EXPECT_EQ(run.err.find(std::string("file=") + library) != std::string::npos, displayNamed)
          << library;
    }
  }
}

TEST(NoDisplay, WindowModeEndsWithOneClearLineAndKeepsTheLastReport) {
  for (const auto& env : kNoDisplays) {
    SCOPED_TRACE(env.size());
    Sandbox box;
    box.WriteDeviceFile(kMachine);
    WriteFileBytes(box.LogFile(), "last report\r\n");
    RunOptions options;
    options.env = env;
    const RunResult run = box.Run({"/deviceName=Beta"}, options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, 0) << "aborted instead of reporting";
    EXPECT_NE(run.exitCode, 0);
    // Qt's own warnings about a named display may come first.
    const Lines lines = run.OwnErrLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().ends_with("without the window")) << run.err;
    if (!env.contains("DISPLAY")) {
      EXPECT_EQ(lines.size(), 1u) << run.err;
    }
    EXPECT_EQ(run.ErrorLines(), Lines{}) << "the window was built";
    EXPECT_EQ(box.ReadLog(), "last report\r\n");
  }
}

}  // namespace
}  // namespace quillon::cli_test
