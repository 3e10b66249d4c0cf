// quillon-devices: lists a device source's present nodes without Qt.
//
//   quillon-devices [--source=SOURCE] [--report | --json | --export FILE]
//                   [--tree] [--class=NAME] [--problem] [--id=PATTERN] [--driver=NAME]
//   quillon-devices [--source=SOURCE] [--json] [filters] --watch | --since FILE
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
#include "tools/DeviceFilter.h"
#include "tools/DeviceSnapshot.h"
#include "tools/DeviceTree.h"
#include "tools/DeviceWatch.h"
#include "tools/ExportFile.h"

namespace {

using namespace quillon;
using namespace quillon::devices;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr std::string_view kHelp =
    "usage: quillon-devices [--source=SOURCE] [--report | --json | --export FILE] [--tree]\n"
    "                       [--class=NAME] [--problem] [--id=PATTERN] [--driver=NAME]\n"
    "       quillon-devices [--source=SOURCE] [--json] [filters] --watch | --since FILE\n"
    "       quillon-devices --version | --help\n"
    "Lists the present device nodes, one line each: the instance ID, a blank, then\n"
    "\"<name>: 0x<status>(<problem text>)\" as quillon's enumDevices reports it.\n"
    "  --source=SOURCE  a device file, or a directory whose sys/ is read as sysfs\n"
    "                   (also /deviceSource=SOURCE); default: this computer\n"
    "  --report         the enumDevices lines alone, without the instance IDs\n"
    "  --json           one JSON array of the devices instead (see quillon-devices(1))\n"
    "  --export FILE    write a device file that quillon /deviceSource=FILE lists\n"
    "                   the same way; - for standard output\n"
    "  --tree           the lines indented under their parent devices (with --report\n"
    "                   too); a parent not listed stands as its instance ID\n"
    "Filters, for every output, all of them at once:\n"
    "  --class=NAME     setup class name or GUID (\"Net\", \"{4D36E972-...}\")\n"
    "  --problem        only devices with a problem, disabled ones included\n"
    "  --id=PATTERN     instance ID or a hardware ID matches the glob (* and ?,\n"
    "                   ignoring case)\n"
    "  --driver=NAME    bound driver (Windows: its service) or its kernel module\n"
    "  --watch          one line for each device that appears, vanishes, or changes\n"
    "                   status, problem, name or driver, until interrupted (exit 0);\n"
    "                   with --json one JSON object a line\n"
    "  --since FILE     the same lines from the device file FILE (an --export) to\n"
    "                   now; exit 0 no change, 1 changes, 3 either unreadable\n"
    "Exit status: 0 done, 1 the source or a device could not be read, 2 usage.\n";

enum class Output { kLines, kReport, kJson, kExport };

struct Options {
  std::optional<std::string> source;
  Output output = Output::kLines;
  std::string exportPath;
  bool tree = false;
  bool watch = false;
  std::optional<std::string> since;
  tools::DeviceFilter filter;
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
    } else if (std::string filterError;
               tools::ParseFilterArgument(argument, options.filter, filterError)) {
      if (!filterError.empty())
        return filterError;
    } else if (argument == "--tree") {
      options.tree = true;
    } else if (argument == "--watch") {
      options.watch = true;
    } else if (argument == "--since" || argument.rfind("--since=", 0) == 0) {
      if (argument == "--since" && i + 1 == arguments.size())
        return "--since needs a file name";
      options.since = argument == "--since" ? arguments[++i] : argument.substr(8);
      if (options.since->empty())
        return "--since needs a file name";
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
  if (options.tree && (options.output == Output::kJson || options.output == Output::kExport))
    return "--tree goes with the lines or --report only";
  if ((options.watch || options.since) &&
      (options.tree || options.output == Output::kReport || options.output == Output::kExport))
    return "--watch and --since go with --json only";
  if (options.watch && options.since)
    return "--watch and --since exclude each other";
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

  if (options.watch || options.since) {
    const tools::WatchOptions watch{options.source.value_or(""), options.output == Output::kJson,
                                    options.filter};
    return standardOutput.Finish(
        options.watch ? tools::RunWatch(watch, std::cout, std::cerr)
                      : tools::RunSince(watch, *options.since, std::cout, std::cerr));
  }

  const std::unique_ptr<DeviceService> service =
      CreateDeviceService(options.source.value_or(""), std::cerr);
  // The lines need no more than names and states; what else is read is
  // what the output or the filters use.
  unsigned what = tools::kReadBasic;
  if (options.output == Output::kJson || options.output == Output::kExport)
    what = tools::kReadAll;
  if (options.tree)
    what |= tools::kReadParents;
  if (options.filter.idPattern)
    what |= tools::kReadHardwareIds;
  if (options.filter.driver)
    what |= tools::kReadDrivers;
  // Only what the filters keep is written: no more is read of the others.
  // The device file reads all, as it writes the nodes above every device.
  tools::Rejection rejects;
  if (!options.filter.Empty() && options.output != Output::kExport) {
    rejects = [&filter = options.filter](const tools::DeviceEntry& device, unsigned read) {
      return filter.Rejects(device, read);
    };
  }
  tools::Snapshot snapshot = tools::ReadSnapshot(*service, what, rejects);
  if (!snapshot.opened) {
    ReportError("SetupDiGetClassDevs", snapshot.openError);
    return kFailed;
  }

  int exitCode = kDone;
  std::ostringstream text;
  std::vector<bool> shown(snapshot.devices.size());
  for (std::size_t i = 0; i < snapshot.devices.size(); ++i)
    shown[i] = rejects ? snapshot.kept[i] : options.filter.Matches(snapshot.devices[i]);
  const auto line = [&options](const tools::DeviceEntry& device) {
    return options.output == Output::kReport ? tools::ReportLine(device)
                                             : tools::DeviceLine(device);
  };
  for (std::size_t i = 0; i < snapshot.devices.size(); ++i) {
    const tools::DeviceEntry& device = snapshot.devices[i];
    if (!shown[i])
      continue;
    if (!device.instanceId.text) {
      ReportError("SetupDiGetDeviceInstanceId", device.instanceId.error);
      exitCode = kFailed;
    }
    if (!options.tree && (options.output == Output::kLines || options.output == Output::kReport))
      std::cout << line(device) << '\n';
  }
  if (options.tree)
    tools::WriteTree(snapshot, shown, line, std::cout);
  // The JSON and the device file hold the shown devices alone.
  if (!options.filter.Empty() &&
      (options.output == Output::kJson || options.output == Output::kExport)) {
    std::vector<tools::DeviceEntry> kept;
    for (std::size_t i = 0; i < snapshot.devices.size(); ++i) {
      if (shown[i])
        kept.push_back(std::move(snapshot.devices[i]));
    }
    snapshot.devices = std::move(kept);
  }
  if (snapshot.enumError) {
    ReportError("SetupDiEnumDeviceInfo", *snapshot.enumError);
    exitCode = kFailed;
  }

  if (options.output == Output::kJson) {
    tools::WriteJson(snapshot.devices, std::cout);
  } else if (options.output == Output::kExport) {
    std::vector<std::string> notes;
    tools::WriteDeviceFile(snapshot, text, notes);
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
