// The entry point: reads the switches, builds the main window over the chosen
// device source, selects the starting device and either carries out one
// command (command mode) or runs the window until it is closed.
#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
// libstdc++ for mingw-w64 defines NOMINMAX already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "CommandLine.h"
#include "DeviceServiceFactory.h"
#include "ErrorPresenter.h"
#include "MainFormUnit.h"
#include "QuillonApplication.h"
#include "StartupRules.h"

namespace {

using namespace quillon;

struct Switches {
  std::string deviceName;
  std::string deviceCommand;
  std::string value0;
  std::string deviceSource;
};

Switches ReadSwitches(const std::vector<std::string>& arguments) {
  constexpr std::string_view kSwitchCharacters = "/";
  Switches switches;
  switches.deviceName = app::GetSwitchValue(arguments, "deviceName", kSwitchCharacters);
  switches.deviceCommand = app::GetSwitchValue(arguments, "deviceCommand", kSwitchCharacters);
  switches.value0 = app::GetSwitchValue(arguments, "value0", kSwitchCharacters);
  switches.deviceSource = app::GetSwitchValue(arguments, "deviceSource", kSwitchCharacters);
  return switches;
}

std::vector<std::string> ProgramArguments([[maybe_unused]] int argc,
                                          [[maybe_unused]] const char* const* argv) {
#ifdef _WIN32
  // The raw line, not the C runtime's argv: its quoting rules are the ones
  // scripts written for this tool rely on.
  return app::SplitCommandLine(GetCommandLineA());
#else
  return app::ArgumentsFromArgv(argc, argv);
#endif
}

#if !defined(_WIN32) && !defined(__APPLE__)
std::string Environment(const char* name) {
  return qEnvironmentVariable(name).toLocal8Bit().toStdString();
}
#endif

constexpr int kCannotRun = 1;

// Picks Qt's platform before the application object exists: without a
// reachable display Qt would abort while constructing it.
app::PlatformChoice PreparePlatform([[maybe_unused]] int argc,
                                    [[maybe_unused]] const char* const* argv,
                                    [[maybe_unused]] bool commandMode) {
#if !defined(_WIN32) && !defined(__APPLE__)
  app::DisplayEnvironment environment;
  environment.qtQpaPlatform = Environment("QT_QPA_PLATFORM");
  environment.display = Environment("DISPLAY");
  environment.waylandDisplay = Environment("WAYLAND_DISPLAY");
  environment.sessionType = Environment("XDG_SESSION_TYPE");
  environment.platformArgument = app::HasPlatformOption(argc, argv);
  const app::PlatformChoice choice = app::ChoosePlatform(environment, commandMode);
  switch (choice) {
    case app::PlatformChoice::kUserChoice:
    case app::PlatformChoice::kNoDisplay:
      break;
    case app::PlatformChoice::kDisplayOrOffscreen:
      qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(PlatformsWithFallback(environment)));
      break;
    case app::PlatformChoice::kOffscreen:
      qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
      break;
  }
  return choice;
#else
  return app::PlatformChoice::kUserChoice;  // the desktop is always there
#endif
}

std::string ExecutablePath() {
  // The log path is derived from it, with the platform's own separators.
  return QDir::toNativeSeparators(QCoreApplication::applicationFilePath())
      .toLocal8Bit()
      .toStdString();
}

// Steps after the application object exists. Everything built here is gone
// before an escaping exception is shown.
int Run(app::QuillonApplication& application, const Switches& switches,
        app::PlatformChoice platform) {
  const bool windowMode = switches.deviceCommand.empty();
  if (windowMode && platform == app::PlatformChoice::kDisplayOrOffscreen &&
      QGuiApplication::platformName() == QLatin1String("offscreen")) {
    std::cerr << "quillon: cannot connect to the display to show the window; give "
                 "/deviceCommand= to run a command without the window\n";
    return kCannotRun;
  }

  QApplication::setApplicationDisplayName(QString::fromUtf8(app::kApplicationTitle));
  QGuiApplication::setDesktopFileName(QStringLiteral("quillon"));
  QApplication::setWindowIcon(ui::ApplicationIcon());

  const std::unique_ptr<devices::DeviceService> service =
      devices::CreateDeviceService(switches.deviceSource, std::cerr);
  const std::unique_ptr<ui::ErrorPresenter> errors = ui::MakeErrorPresenter();
  ui::TMainForm form(*service, *errors, ExecutablePath());
  if (windowMode) {
    form.show();
  }
  form.SelectDeviceByName(switches.deviceName);
  form.ExecuteDeviceCommand(switches.deviceCommand, switches.value0);
  if (windowMode) {
    application.exec();
  }
  // Failures of commands show in error boxes only; the exit code stays 0.
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<app::QuillonApplication> application;
  try {
    const Switches switches = ReadSwitches(ProgramArguments(argc, argv));
    const app::PlatformChoice platform =
        PreparePlatform(argc, argv, !switches.deviceCommand.empty());
    if (platform == app::PlatformChoice::kNoDisplay) {
      std::cerr << "quillon: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are "
                   "not set); give /deviceCommand= to run a command without the window\n";
      return kCannotRun;
    }
    app::InstallMessageFilter();
    application.emplace(argc, argv);
    return Run(*application, switches, platform);
  } catch (const std::exception& exception) {
    app::ShowException(exception.what());
  } catch (...) {
    app::ShowException(app::kUnknownException);
  }
  // The exception has been shown; like a failed command, it leaves the exit code 0.
  return 0;
}
