// --watch on Windows: a reading every second, until Ctrl+C, Ctrl+Break or
// the console closing.
#include <windows.h>

#include <atomic>
#include <ostream>

#include "devices/DeviceServiceFactory.h"
#include "tools/DeviceWatch.h"

namespace quillon::tools {

namespace {

std::atomic<bool> stopped{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  stopped = true;
  return TRUE;
}

}  // namespace

int RunWatch(const WatchOptions& options, std::ostream& out, std::ostream& errors) {
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  const auto service = devices::CreateDeviceService(options.source, errors);
  DeviceWatcher watcher(*service, options, out);
  if (!watcher.Start(errors))
    return 1;
  while (watcher.OutputOk()) {
    for (int tenth = 0; tenth < 10; ++tenth) {
      if (stopped)
        return 0;
      ::Sleep(100);
    }
    watcher.RereadAll();
  }
  return 0;  // standard output failed: the caller says why, unless its reader left
}

}  // namespace quillon::tools
