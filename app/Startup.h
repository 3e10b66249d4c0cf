// The start-up sequence after the toolkit exists: build the main window over
// the device source, show it in window mode, select the starting device,
// carry out the command, run the message loop in window mode.
#pragma once

#include <string>

#include "app/Toolkit.h"
#include "devices/DeviceService.h"

namespace quillon::app {

struct Switches {
  std::string deviceName;
  std::string deviceCommand;
  std::string value0;
  std::string deviceSource;
  std::string reportLog;  // a file, "-" for standard output; beside the executable when empty
};

// An exception that escapes is shown while the window still stands; then the
// window, the records, the set and the report log go, in that order. Returns
// the exit code: 0, whatever happened.
int RunStartup(Toolkit& toolkit, devices::DeviceService& service, const Switches& switches,
               const std::string& executablePath);

}  // namespace quillon::app
