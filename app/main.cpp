// The entry point: answers --help and --version, reads the switches, picks
// the window toolkit (none for command mode without a display), builds the
// main window over the chosen device source, selects the starting device and
// either carries out one command (command mode) or runs the window until it
// is closed.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/GuiLoader.h"
#include "app/Startup.h"
#include "app/StartupRules.h"
#include "cmdline/CommandLine.h"
#include "devices/DeviceServiceFactory.h"
#include "form/ReportLogFile.h"
#include "os/ExecutablePath.h"
#include "os/LocaleText.h"
#include "os/MemoryAdvice.h"
#include "os/StandardStreams.h"

namespace {

using namespace quillon;

// What --help prints: every switch, command and device source, and where
// the report log goes, on one screen.
constexpr std::string_view kHelp =
    "usage: quillon [/deviceName=NAME] [/deviceSource=SOURCE]\n"
    "       quillon /deviceCommand=COMMAND [/deviceName=NAME] [/value0=TEXT]\n"
    "               [/deviceSource=SOURCE] [/reportLog=FILE]\n"
    "       quillon --help | --version\n"
    "Lists the Plug and Play device nodes and shows or changes one device's state.\n"
    "Without /deviceCommand= the window opens; with it, one command is carried out\n"
    "without the window. The exit status is 0 then, also when the command failed.\n"
    "Switches (names in any letter case; the first one wins; empty means absent):\n"
    "  /deviceName=NAME        the device by its display name, ignoring case;\n"
    "                          default: the first one\n"
    "  /deviceCommand=COMMAND  the command to carry out, below\n"
    "  /value0=TEXT            the new friendly name for setFriendlyName\n"
    "  /deviceSource=SOURCE    where the devices come from, below\n"
    "  /reportLog=FILE         the report log's file; - for standard output\n"
    "Commands (letter case counts; any other does nothing):\n"
    "  enumDevices             one line per device, NAME: 0xSTATUS(PROBLEM TEXT);\n"
    "                          only the named device when it is not the first\n"
    "  statusDevice            the device's six fields, as KEY=VALUE lines\n"
    "  enableDevice, disableDevice, startDevice, stopDevice\n"
    "                          change the device's state; nothing is reported\n"
    "  setFriendlyName         store /value0= as the device's friendly name\n"
    "Device sources:\n"
    "  (none)                  this computer: SetupAPI on Windows, sysfs on Linux\n"
    "  a file                  a JSON device file; changes are written back to it\n"
    "  a directory (Linux)     a root whose sys/ is read as sysfs\n"
    "On Linux, a disable and a friendly name are kept across a reboot as udev rules\n"
    "in /etc/udev/rules.d/70-quillon.rules (enable or an empty name removes one;\n"
    "quillon.ignore on the kernel command line skips them); a device holding a\n"
    "mount, swap or this SSH session is not disabled or stopped: stderr says why.\n"
    "Errors show in boxes; without a display, as \"Error: ...\" on standard error.\n"
    "The report log is emptied at every start; its lines end in CR LF. Without\n"
    "/reportLog= it is the program's path with .log for its extension:\n";

constexpr std::string_view kHelpEnd =
    "Example: quillon /deviceCommand=enumDevices /reportLog=- | grep disabled\n"
    "See quillon(1) for more.\n";

// --help, -h or --version as the only argument: printed before anything
// else is prepared. True when it was one of them.
bool PrintedInformation(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1)
    return false;
  const bool version = arguments[0] == "--version";
  if (!version && arguments[0] != "--help" && arguments[0] != "-h")
    return false;
  app::ConnectStandardOutput();
  if (version) {
    std::cout << "quillon " QUILLON_VERSION "\n" << std::flush;
  } else {
    std::cout << kHelp << "  " << ui::ReportLogPath(app::ExecutablePath()) << '\n'
              << kHelpEnd << std::flush;
  }
  return true;
}

app::Switches ReadSwitches(const std::vector<std::string>& arguments) {
  constexpr std::string_view kSwitchCharacters = "/";
  app::Switches switches;
  switches.deviceName = app::GetSwitchValue(arguments, "deviceName", kSwitchCharacters);
  switches.deviceCommand = app::GetSwitchValue(arguments, "deviceCommand", kSwitchCharacters);
  switches.value0 = app::GetSwitchValue(arguments, "value0", kSwitchCharacters);
  switches.deviceSource = app::GetSwitchValue(arguments, "deviceSource", kSwitchCharacters);
  switches.reportLog = app::GetSwitchValue(arguments, "reportLog", kSwitchCharacters);
  return switches;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

constexpr int kCannotRun = 1;

// Picks Qt's platform before anything of Qt exists: without a reachable
// display Qt would abort while constructing the application object.
app::PlatformChoice PreparePlatform(const app::DisplayEnvironment& environment,
                                    [[maybe_unused]] bool commandMode) {
#if !defined(_WIN32) && !defined(__APPLE__)
  const app::PlatformChoice choice = app::ChoosePlatform(environment, commandMode);
  switch (choice) {
    case app::PlatformChoice::kUserChoice:
    case app::PlatformChoice::kNoDisplay:
      break;
    case app::PlatformChoice::kUserChoiceOrOffscreen:
      setenv("QT_QPA_PLATFORM", app::UserPlatformsWithFallback(environment).c_str(), 1);
      break;
    case app::PlatformChoice::kUserChoiceUnreachable:
      std::cerr << "quillon: QT_QPA_PLATFORM is " << environment.qtQpaPlatform
                << " but DISPLAY is not set; the command runs without a display (errors on "
                   "standard error)\n";
      break;
    case app::PlatformChoice::kDisplayOrOffscreen:
      setenv("QT_QPA_PLATFORM", app::PlatformsWithFallback(environment).c_str(), 1);
      break;
    case app::PlatformChoice::kOffscreen:
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      break;
  }
  return choice;
#else
  (void)environment;
  return app::PlatformChoice::kUserChoice;  // the desktop is always there
#endif
}

// Steps after the switches: the toolkit, then the start-up sequence.
int Run(const char* programName, const app::Switches& switches) {
  const bool commandMode = !switches.deviceCommand.empty();
  app::DisplayEnvironment environment;
  environment.qtQpaPlatform = Environment("QT_QPA_PLATFORM");
  environment.display = Environment("DISPLAY");
  environment.waylandDisplay = Environment("WAYLAND_DISPLAY");
  environment.sessionType = Environment("XDG_SESSION_TYPE");
  const app::PlatformChoice platform = PreparePlatform(environment, commandMode);
  if (platform == app::PlatformChoice::kNoDisplay) {
    std::cerr << "quillon: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are "
                 "not set); give /deviceCommand= to run a command without the window\n";
    return kCannotRun;
  }

  const std::string executablePath = app::ExecutablePath();
  std::unique_ptr<app::Toolkit> toolkit;
  if (!app::RunsHeadless(platform, environment, commandMode)) {
    std::string error;
    toolkit = app::LoadGuiToolkit(executablePath, programName, error);
    if (!toolkit) {
      std::cerr << "quillon: the window toolkit could not be loaded: " << error << '\n';
      if (!commandMode)
        return kCannotRun;
      // Without boxes, a command still runs: its errors go to standard error.
    } else if (!commandMode && platform == app::PlatformChoice::kDisplayOrOffscreen &&
               !toolkit->HasDisplay()) {
      std::cerr << "quillon: cannot connect to the display to show the window; give "
                   "/deviceCommand= to run a command without the window\n";
      return kCannotRun;
    } else if (platform == app::PlatformChoice::kUserChoiceOrOffscreen && !toolkit->HasDisplay()) {
      std::cerr << "quillon: the platform " << environment.qtQpaPlatform
                << " of QT_QPA_PLATFORM could not be used; the command runs without a display "
                   "(errors on standard error)\n";
    }
  }
  if (!toolkit)
    toolkit = app::MakeHeadlessToolkit();

  const std::unique_ptr<devices::DeviceService> service =
      devices::CreateDeviceService(switches.deviceSource, std::cerr);
  return app::RunStartup(*toolkit, *service, switches, executablePath);
}

}  // namespace

int main(int argc, char** argv) {
  devices::PrepareStandardStreams();
  try {
    devices::UseHugePagesForTheHeap();
    const std::vector<std::string> arguments = app::ProgramArguments(argc, argv);
    if (PrintedInformation(arguments))
      return 0;
    devices::UseUserLocale();
    const app::Switches switches = ReadSwitches(arguments);
    return Run(argc > 0 && argv[0] != nullptr ? argv[0] : "quillon", switches);
  } catch (const std::exception& exception) {
    app::WriteExceptionLine(exception.what());
  } catch (...) {
    app::WriteExceptionLine(app::kUnknownException);
  }
  // The exception has been shown; like a failed command, it leaves the exit code 0.
  return 0;
}
