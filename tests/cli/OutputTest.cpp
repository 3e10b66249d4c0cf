// What both programs write where others read it: the report log line by
// line, pipes whose reader leaves or that are non-blocking, full disks,
// closed standard descriptors, the lister's lines and exports, and what
// start-up says about a command or platform it cannot use.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sched.h>
#include <algorithm>
#include <functional>
#include <string>

#include "tests/cli/CliHarness.h"

namespace quillon::cli_test {
namespace {

namespace fs = std::filesystem;

// Two devices, one of them with control characters in its name, and one
// whose instance ID cannot be read (an error line for each read).
constexpr const char* kMachine = R"({
  "devices": [
    { "instanceId": "ROOT\\ALPHA\\0", "friendlyName": "Alpha" },
    { "instanceId": "ROOT\\EVIL\\1", "description": "Evil\nFake: 0x0180200A(enabled)\u001B[2J" },
    { "friendlyName": "Gamma", "fail": { "instanceId": 13 } }
  ]
})";
const Lines kMachineLines{"Alpha: 0x0180200A(enabled)",
                          "Evil Fake: 0x0180200A(enabled) [2J: 0x0180200A(enabled)",
                          ": 0x0180200A(enabled)"};
const std::string kIdError = "Error: SetupDiGetDeviceInstanceId(): 13";

// A machine too large for a pipe's buffer: `count` devices named by number.
std::string ManyDevices(int count) {
  std::string json = R"({"devices": [)";
  for (int i = 0; i < count; ++i)
    json += (i == 0 ? "" : ",") + std::string(R"({"friendlyName": "Device )") + std::to_string(i) +
            "\"}";
  return json + "]}";
}
std::string ManyLines(int count, const char* end) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += "Device " + std::to_string(i) + ": 0x0180200A(enabled)" + end;
  return text;
}
constexpr int kMany = 20000;

enum class Program { kQuillon, kLister };

struct OutputCase {
  const char* name;
  Program program;
  std::string json;  // the device file; the source is given first
  Lines args;
  std::function<void(const Sandbox&, RunOptions&)> prepare;
  int exitCode;
  Lines err;  // the program's own lines on standard error
  // Checks what the run left; nothing more when empty.
  std::function<void(const Sandbox&, const RunResult&)> check;
};
void PrintTo(const OutputCase& c, std::ostream* os) {
  *os << c.name;
}
std::string OutputCaseName(const testing::TestParamInfo<OutputCase>& info) {
  return info.param.name;
}

class Output : public testing::TestWithParam<OutputCase> {};

TEST_P(Output, AsExpected) {
  const OutputCase& c = GetParam();
  Sandbox box;
  box.WriteDeviceFile(c.json);
  RunOptions options;
  if (c.program == Program::kLister)
    options.executable = QUILLON_DEVICES_EXECUTABLE;
  if (c.prepare)
    c.prepare(box, options);
  Lines args{(c.program == Program::kLister ? "--source=" : "/deviceSource=") +
             box.DeviceFile().string()};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const RunResult run = box.RunRaw(args, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
  EXPECT_EQ(run.OwnErrLines(), c.err);
  if (c.check)
    c.check(box, run);
}

void PacketPipe(const Sandbox&, RunOptions& options) {
  options.outPipe = RunOptions::Pipe{true};
}
void ReaderLeaves(const Sandbox&, RunOptions& options) {
  options.outPipe = RunOptions::Pipe{false, false, 10};
}
void NonBlockingPipe(const Sandbox&, RunOptions& options) {
  options.outPipe = RunOptions::Pipe{false, true, std::size_t(-1), 1};
}
void FullDisk(const Sandbox&, RunOptions& options) {
  options.outPath = "/dev/full";
}
void NoStandardError(const Sandbox&, RunOptions& options) {
  options.closeStderr = true;
}

// One write per finished line: every read of a packet pipe is one whole line.
void OneWritePerLine(const Sandbox&, const RunResult& run) {
  Lines expected = kMachineLines;
  for (std::string& line : expected)
    line += "\r\n";
  EXPECT_EQ(run.outChunks, expected);
}
void Holds(const std::string& text, const Sandbox&, const RunResult& run) {
  EXPECT_EQ(run.out.size(), text.size());
  EXPECT_TRUE(run.out == text);
}
void LogFileHolds(const std::string& file, const std::string& text, const Sandbox& box,
                  const RunResult&) {
  EXPECT_EQ(ReadFileBytes(box.Dir() / file), text);
}
using std::placeholders::_1;
using std::placeholders::_2;

const std::string kFullDisk = " could not be written (No space left on device); ";

INSTANTIATE_TEST_SUITE_P(
    ReportLog, Output,
    testing::Values(
        OutputCase{"EachLineInAWriteOfItsOwn",
                   Program::kQuillon,
                   kMachine,
                   {"/deviceCommand=enumDevices", "/reportLog=-"},
                   PacketPipe,
                   0,
                   {kIdError, kIdError},
                   OneWritePerLine},
        OutputCase{"ReaderLeavesEarly",
                   Program::kQuillon,
                   ManyDevices(kMany),
                   {"/deviceCommand=enumDevices", "/reportLog=-"},
                   ReaderLeaves,
                   0,
                   {},
                   {}},
        OutputCase{"FullDiskSaidOnce",
                   Program::kQuillon,
                   kMachine,
                   {"/deviceCommand=enumDevices", "/reportLog=-"},
                   FullDisk,
                   0,
                   {kIdError, kIdError,
                    "quillon: the report log (standard output)" + kFullDisk + "3 lines were lost"},
                   {}},
        OutputCase{"StatusToAFullDisk",
                   Program::kQuillon,
                   kMachine,
                   {"/deviceCommand=statusDevice", "/reportLog=-"},
                   FullDisk,
                   0,
                   {kIdError,
                    "quillon: the report log (standard output)" + kFullDisk + "6 lines were lost"},
                   {}},
        OutputCase{"NonBlockingPipeGetsEveryLine",
                   Program::kQuillon,
                   ManyDevices(kMany),
                   {"/deviceCommand=enumDevices", "/reportLog=-"},
                   NonBlockingPipe,
                   0,
                   {},
                   std::bind(Holds, ManyLines(kMany, "\r\n"), _1, _2)},
        OutputCase{"LogNamesTheDeviceSourceOnce",
                   Program::kQuillon,
                   kMachine,
                   {"/deviceCommand=enumDevices", "/reportLog=devices.json"},
                   {},
                   0,
                   {kIdError,
                    "quillon: the report log devices.json could not be opened for writing (it is "
                    "the device source); nothing was reported",
                    kIdError},
                   {}}),
    OutputCaseName);

// The lister's --export target, prepared in the sandbox.
void PlantLinkAtTheOldTemporaryName(const Sandbox& box, RunOptions&) {
  WriteFileBytes(box.Dir() / "victim", "keep me");
  fs::create_symlink(box.Dir() / "victim", box.Dir() / "export.json.quillon-devices.tmp");
}
void MakeFifo(const Sandbox& box, RunOptions&) {
  ASSERT_EQ(::mkfifo((box.Dir() / "export.json").c_str(), 0600), 0);
}
void MakeLinkToFifo(const Sandbox& box, RunOptions& options) {
  MakeFifo(box, options);
  fs::rename(box.Dir() / "export.json", box.Dir() / "fifo");
  fs::create_symlink("fifo", box.Dir() / "export.json");
}
void MakeLinkToFile(const Sandbox& box, RunOptions&) {
  WriteFileBytes(box.Dir() / "snapshot.json", "old");
  fs::permissions(box.Dir() / "snapshot.json", fs::perms(0640));
  fs::create_symlink("snapshot.json", box.Dir() / "export.json");
}
void MakeFolder(const Sandbox& box, RunOptions&) {
  fs::create_directory(box.Dir() / "export.json");
}

// What --export left beside the device file: the export alone, a device
// file quillon lists as it lists the source.
void ExportedBeside(const char* file, const Sandbox& box, const RunResult&) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(box.Dir()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  const std::string text = ReadFileBytes(box.Dir() / file);
  EXPECT_EQ(text.substr(0, 17), "{\n  \"openError\": ") << text;
  EXPECT_EQ(text.find("Error:"), std::string::npos) << text;
  for (const std::string& name : names)
    EXPECT_EQ(name.find(".tmp-"), std::string::npos) << "left behind: " << name;
}
void PlantedLinkUntouched(const Sandbox& box, const RunResult& run) {
  ExportedBeside("export.json", box, run);
  EXPECT_EQ(ReadFileBytes(box.Dir() / "victim"), "keep me");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(box.Dir() / "export.json")));
}
void LinkKeptAndFollowed(const Sandbox& box, const RunResult& run) {
  ExportedBeside("snapshot.json", box, run);
  EXPECT_TRUE(fs::is_symlink(box.Dir() / "export.json"));
  EXPECT_EQ(fs::status(box.Dir() / "snapshot.json").permissions(), fs::perms(0640));
}
void Unchanged(fs::file_type type, const Sandbox& box, const RunResult&) {
  EXPECT_EQ(fs::status(box.Dir() / "export.json").type(), type);
}

const std::string kCannotExport = "quillon-devices: cannot write export.json: ";
const Lines kExportArgs{"--export", "export.json"};
Lines IdErrors(const std::string& tail) {
  return {"Error: SetupDiGetDeviceInstanceId(): 13", tail};
}

INSTANTIATE_TEST_SUITE_P(
    Lister, Output,
    testing::Values(
        OutputCase{"ExportIgnoresALinkAtAFixedTemporaryName",
                   Program::kLister,
                   kMachine,
                   kExportArgs,
                   PlantLinkAtTheOldTemporaryName,
                   1,
                   {"Error: SetupDiGetDeviceInstanceId(): 13"},
                   PlantedLinkUntouched},
        OutputCase{
            "ExportRefusesAFifo", Program::kLister, kMachine, kExportArgs, MakeFifo, 1,
            IdErrors(kCannotExport + "it is a FIFO, not a regular file; nothing was exported"),
            std::bind(Unchanged, fs::file_type::fifo, _1, _2)},
        OutputCase{
            "ExportRefusesAFolder", Program::kLister, kMachine, kExportArgs, MakeFolder, 1,
            IdErrors(kCannotExport + "it is a folder, not a regular file; nothing was exported"),
            std::bind(Unchanged, fs::file_type::directory, _1, _2)},
        OutputCase{"ExportRefusesALinkToAFifo", Program::kLister, kMachine, kExportArgs,
                   MakeLinkToFifo, 1,
                   IdErrors(kCannotExport +
                            "it is a FIFO (a link is followed only to a regular file); nothing "
                            "was exported"),
                   std::bind(Unchanged, fs::file_type::fifo, _1, _2)},
        OutputCase{"ExportFollowsALinkToAFileAndKeepsIt",
                   Program::kLister,
                   kMachine,
                   kExportArgs,
                   MakeLinkToFile,
                   1,
                   {"Error: SetupDiGetDeviceInstanceId(): 13"},
                   LinkKeptAndFollowed},
        // Error lines meant for standard error never land in the export.
        OutputCase{"ExportWithStandardErrorClosed",
                   Program::kLister,
                   kMachine,
                   kExportArgs,
                   NoStandardError,
                   1,
                   {},
                   std::bind(ExportedBeside, "export.json", _1, _2)},
        OutputCase{"LinesBlankControlCharacters",
                   Program::kLister,
                   kMachine,
                   {},
                   {},
                   1,
                   {"Error: SetupDiGetDeviceInstanceId(): 13"},
                   std::bind(Holds,
                             "ROOT\\ALPHA\\0 " + kMachineLines[0] + "\nROOT\\EVIL\\1 " +
                                 kMachineLines[1] + "\n- " + kMachineLines[2] + "\n",
                             _1, _2)},
        OutputCase{
            "ReaderLeavesEarly", Program::kLister, ManyDevices(kMany), {}, ReaderLeaves, 0, {}, {}},
        OutputCase{"NonBlockingPipeGetsEveryLine",
                   Program::kLister,
                   ManyDevices(kMany),
                   {"--report"},
                   NonBlockingPipe,
                   0,
                   {},
                   std::bind(Holds, ManyLines(kMany, "\n"), _1, _2)},
        OutputCase{"FullDisk",
                   Program::kLister,
                   ManyDevices(10),
                   {"--report"},
                   FullDisk,
                   1,
                   {"quillon-devices: standard output could not be written (No space left on "
                    "device)"},
                   {}}),
    OutputCaseName);

INSTANTIATE_TEST_SUITE_P(
    StartUp, Output,
    testing::Values(OutputCase{"MiscasedCommandIsNamed",
                               Program::kQuillon,
                               kMachine,
                               {"/deviceCommand=ENUMDEVICES"},
                               {},
                               0,
                               {kIdError, UnknownCommandLine("ENUMDEVICES")},
                               std::bind(LogFileHolds, "quillon.log", "", _1, _2)},
                    // Descriptor 2 closed: the log must not take it, or error lines land there.
                    OutputCase{"StandardErrorClosed",
                               Program::kQuillon,
                               kMachine,
                               {"/deviceCommand=enumDevices", "/reportLog=r.log"},
                               NoStandardError,
                               0,
                               {},
                               std::bind(LogFileHolds, "r.log", CrLf(kMachineLines), _1, _2)},
                    OutputCase{
                        "XcbWithoutADisplay",
                        Program::kQuillon,
                        kMachine,
                        {"/deviceName=Alpha", "/deviceCommand=statusDevice", "/reportLog=-"},
                        [](const Sandbox&, RunOptions& options) {
                          options.env = {{"QT_QPA_PLATFORM", "xcb"}};
                        },
                        0,
                        {"quillon: QT_QPA_PLATFORM is xcb but DISPLAY is not set; the command runs "
                         "without a display (errors on standard error)",
                         kIdError},
                        [](const Sandbox&, const RunResult& run) {
                          EXPECT_EQ(run.out.substr(0, 48),
                                    "ClassGUID={00000000-0000-0000-0000-000000000000}");
                        }}),
    OutputCaseName);

// The --report lines are quillon's report log but for the line ends.
TEST(Lister, ReportEqualsTheReportLog) {
  Sandbox box;
  box.WriteDeviceFile(kMachine);
  ExpectEndedNormally(box.Run({"/deviceCommand=enumDevices"}), {kIdError, kIdError});
  RunOptions lister;
  lister.executable = QUILLON_DEVICES_EXECUTABLE;
  const RunResult run = box.RunRaw({"--report", "--source=" + box.DeviceFile().string()}, lister);
  std::string log = box.ReadLog().value_or("");
  for (std::size_t at; (at = log.find("\r\n")) != std::string::npos;)
    log.replace(at, 2, "\n");
  EXPECT_EQ(run.out, log);
}

// A file system that fills up while the log is written: said once, exit 0,
// and the log holds whole lines only. Needs root for a small tmpfs of its
// own, in a mount namespace of this test's process.
TEST(ReportLog, AFileSystemThatFillsUp) {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "needs root and a mount namespace";
  }
  Sandbox box;
  box.WriteDeviceFile(ManyDevices(1000));
  const fs::path small = box.Dir() / "small";
  fs::create_directory(small);
  ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8k"), 0);
  const RunResult run =
      box.Run({"/deviceCommand=enumDevices", "/reportLog=" + (small / "r.log").string()});
  const std::string log = ReadFileBytes(small / "r.log");
  ::umount(small.c_str());
  ExpectEndedNormally(run);
  ASSERT_GT(log.size(), 0U);
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n") << "a torn last line";
  const std::string all = ManyLines(1000, "\r\n");
  EXPECT_EQ(all.substr(0, log.size()), log);
  std::size_t written = 0;
  for (std::size_t at = 0; (at = log.find("\r\n", at)) != std::string::npos; at += 2)
    ++written;
  EXPECT_EQ(run.OwnErrLines(),
            Lines{"quillon: the report log " + (small / "r.log").string() + kFullDisk +
                  std::to_string(1000 - written) + " lines were lost"});
}

}  // namespace
}  // namespace quillon::cli_test
