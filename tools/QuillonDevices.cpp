// quillon-devices: lists a device source's present nodes without Qt.
//
//   quillon-devices [--source=SOURCE] [--report | --json | --export FILE]
//
// One line per device by default: its instance ID, a blank, then the report
// log's enumDevices line ("<name>: 0x<status>(<problem text>)"); --report
// leaves the instance IDs out, so the lines are quillon's own. --json
// writes one JSON array, --export a device file that replays the source in
// quillon. Without a source it reads this computer (SetupAPI on Windows,
// sysfs on Linux). Exit codes: 0 done, 1 the source could not be opened or a
// device could not be read or the output not written, 2 a bad command line.
#include <cstdint>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/CommandLine.h"
#include "devices/DeviceServiceFactory.h"
#include "devices/DeviceText.h"
#include "os/StandardStreams.h"
#include "tools/DeviceSnapshot.h"
#include "tools/ExportFile.h"

namespace {

using namespace quillon;
using namespace quillon::devices;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr std::string_view kHelp =
    "usage: quillon-devices [--source=SOURCE] [--report | --json | --export FILE]\n"
    "       quillon-devices --version | --help\n"
    "Lists the present device nodes, one line each: the instance ID, a blank, then\n"
    "\"<name>: 0x<status>(<problem text>)\" as quillon's enumDevices reports it.\n"
    "  --source=SOURCE  a device file, or a directory whose sys/ is read as sysfs\n"
    "                   (also /deviceSource=SOURCE); default: this computer\n"
    "  --report         the enumDevices lines alone, without the instance IDs\n"
    "  --json           one JSON array of the devices instead (see quillon-devices(1))\n"
    "  --export FILE    write a device file that quillon /deviceSource=FILE lists\n"
    "                   the same way; - for standard output\n"
    "Exit status: 0 done, 1 the source or a device could not be read, 2 usage.\n";

enum class Output { kLines, kReport, kJson, kExport };

struct Options {
  std::optional<std::string> source;
  Output output = Output::kLines;
  std::string exportPath;
  bool help = false;
  bool version = false;
};

// Parses the arguments; an error message when they make no sense.
std::optional<std::string> ParseArguments(const std::vector<std::string>& arguments,
                                          Options& options) {
  bool haveOutput = false;
  const auto chooseOutput = [&](Output output) -> std::optional<std::string> {
    if (haveOutput)
      return "--report, --json and --export exclude each other";
    haveOutput = true;
    options.output = output;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "/?" || argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--report") {
      if (auto error = chooseOutput(Output::kReport))
        return error;
    } else if (argument == "--json") {
      if (auto error = chooseOutput(Output::kJson))
        return error;
    } else if (argument == "--export" || argument.rfind("--export=", 0) == 0) {
      if (auto error = chooseOutput(Output::kExport))
        return error;
      if (argument == "--export") {
        if (i + 1 == arguments.size())
          return "--export needs a file name";
        options.exportPath = arguments[++i];
      } else {
        options.exportPath = argument.substr(9);
      }
      if (options.exportPath.empty())
        return "--export needs a file name";
    } else if (argument.rfind("--source=", 0) == 0 && argument.size() > 9) {
      // Like /deviceSource=: the first one wins.
      if (!options.source)
        options.source = argument.substr(9);
    } else if (const std::string value = app::GetSwitchValue({argument}, "deviceSource", "/");
               !value.empty()) {
      // quillon's switch rules, one argument at a time so that any other
      // argument is refused.
      if (!options.source)
        options.source = value;
    } else {
      return "unknown argument '" + argument + "'";
    }
  }
  return std::nullopt;
}

// Lines written so far come first, so that an error stands beside its device.
void ReportError(const char* function, std::uint32_t code) {
  std::cout.flush();
  std::cerr << "Error: " << function << "(): " << FormatSigned(code) << '\n';
}

// Standard output through a buffer that waits for a full non-blocking pipe
// and tells a reader that has gone from a failed write; put back before the
// buffer goes, as the stream outlives main.
class StandardOutput {
 public:
  StandardOutput() : previous_(std::cout.rdbuf(&buffer_)) {}
  ~StandardOutput() { std::cout.rdbuf(previous_); }
  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;

  // Flushes; the exit code when it went out or its reader left, else says
  // why not and gives kFailed.
  int Finish(int exitCode) {
    std::cout.flush();
    if (buffer_.Error() == 0 || buffer_.ReaderGone())
      return exitCode;
    std::cerr << "quillon-devices: standard output could not be written ("
              << ErrorText(buffer_.Error()) << ")\n";
    return kFailed;
  }

 private:
  DescriptorStreamBuf buffer_{1};
  std::streambuf* previous_;
};

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  StandardOutput standardOutput;
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  Options options;
  if (const auto error = ParseArguments(arguments, options)) {
    std::cerr << "quillon-devices: " << *error << '\n' << kHelp;
    return kUsage;
  }
  if (options.help) {
    std::cout << kHelp;
    return standardOutput.Finish(kDone);
  }
  if (options.version) {
    std::cout << "quillon-devices " QUILLON_VERSION "\n";
    return standardOutput.Finish(kDone);
  }

  const std::unique_ptr<DeviceService> service =
      CreateDeviceService(options.source.value_or(""), std::cerr);
  const tools::Snapshot snapshot = tools::ReadSnapshot(*service);
  if (!snapshot.opened) {
    ReportError("SetupDiGetClassDevs", snapshot.openError);
    return kFailed;
  }

  int exitCode = kDone;
  std::ostringstream text;
  for (const tools::DeviceEntry& device : snapshot.devices) {
    if (!device.instanceId.text) {
      ReportError("SetupDiGetDeviceInstanceId", device.instanceId.error);
      exitCode = kFailed;
    }
    if (options.output == Output::kLines)
      std::cout << tools::DeviceLine(device) << '\n';
    else if (options.output == Output::kReport)
      std::cout << tools::ReportLine(device) << '\n';
  }
  if (snapshot.enumError) {
    ReportError("SetupDiEnumDeviceInfo", *snapshot.enumError);
    exitCode = kFailed;
  }

  if (options.output == Output::kJson) {
    tools::WriteJson(snapshot.devices, std::cout);
  } else if (options.output == Output::kExport) {
    std::vector<std::string> notes;
    tools::WriteDeviceFile(snapshot.devices, text, notes);
    for (const std::string& note : notes)
      std::cerr << "quillon-devices: " << note << '\n';
    if (options.exportPath == "-") {
      std::cout << text.str();
    } else if (const auto failure = tools::WriteExportFile(options.exportPath, text.str())) {
      std::cerr << "quillon-devices: cannot write " << options.exportPath << ": " << *failure
                << "; nothing was exported\n";
      return kFailed;
    }
  }
  return standardOutput.Finish(exitCode);
}
