// quillon-devices --watch and --since: change lines between readings of a
// device source.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "devices/DeviceService.h"
#ifndef _WIN32
#include "os/UniqueFd.h"
#endif
#include "tools/DeviceChanges.h"
#include "tools/DeviceFilter.h"
#include "tools/DeviceSnapshot.h"

namespace quillon::tools {

struct WatchOptions {
  std::string source;  // as --source: empty for this computer
  bool json = false;
  DeviceFilter filter;
};

// Keeps the last reading of a source and writes a line for each change the
// next one shows.
class DeviceWatcher {
 public:
  DeviceWatcher(devices::DeviceService& service, const WatchOptions& options, std::ostream& out);

  // The first reading; false (and the reason on `errors`) when the source
  // cannot be read.
  bool Start(std::ostream& errors);
  // Reads everything again and writes the changes. A reading that fails (a
  // device file half written) changes nothing: the next one is compared
  // with the last good one.
  void RereadAll();
  // Reads again the status of the devices at these sysfs paths
  // ("/sys/devices/..."; a path below a device names that device) and
  // writes their changes; true when each path named a device it knows.
  // (A driver that comes or goes has an event of its own, which reads all.)
  bool RereadAt(const std::vector<std::string>& paths);
  // False once standard output can no longer be written.
  bool OutputOk() const;

 private:
  void Write(const std::vector<DeviceChange>& changes);

  devices::DeviceService& service_;
  const WatchOptions& options_;
  std::ostream& out_;
  Snapshot current_;
};

#ifndef _WIN32
// What a batch of the kernel's device events asks the watch to read again.
struct UeventBatch {
  bool everything = false;         // nodes came or went, drivers changed, or events were lost
  std::vector<std::string> paths;  // "/sys/devices/...": nodes whose state may have changed
};

// A socket on the kernel's device events.
class UeventSocket {
 public:
  // Listens to the multicast `groups`: 1 for the kernel's events, 0 for none
  // (only messages sent to this socket itself arrive).
  explicit UeventSocket(unsigned groups);

  // -1 when the socket could not be opened.
  int Fd() const { return fd_.Get(); }
  // Reads every message waiting into `batch`. Only the kernel's own count: a
  // program allowed to send to the socket could otherwise make events up.
  void Drain(UeventBatch& batch);

 private:
  devices::UniqueFd fd_;
};

// Reads again what a batch asks for, and writes the changes: everything
// when nodes came or went or events were lost, else the devices it names.
void FollowUevents(DeviceWatcher& watcher, const UeventBatch& batch);
#endif

// Runs --watch until SIGINT or SIGTERM, or until `out` fails (0), or until
// the source cannot be read at the start (1).
int RunWatch(const WatchOptions& options, std::ostream& out, std::ostream& errors);

// --since FILE: the changes from the device file `snapshotFile` (an
// --export) to the source now. 0 none, 1 some, 3 when either cannot be read.
int RunSince(const WatchOptions& options, const std::string& snapshotFile, std::ostream& out,
             std::ostream& errors);

}  // namespace quillon::tools
