// The part of --watch and --since that every platform shares.
#include "tools/DeviceWatch.h"

#include <algorithm>
#include <ostream>
#include <string_view>
#include <unordered_map>

#include "devices/DeviceServiceFactory.h"
#include "devices/DeviceText.h"

namespace quillon::tools {

DeviceWatcher::DeviceWatcher(devices::DeviceService& service, const WatchOptions& options,
                             std::ostream& out)
    : service_(service), options_(options), out_(out) {}

bool DeviceWatcher::Start(std::ostream& errors) {
  current_ = ReadSnapshot(service_, kReadAll);
  if (!current_.opened) {
    errors << "Error: SetupDiGetClassDevs(): " << devices::FormatSigned(current_.openError) << '\n';
    return false;
  }
  return true;
}

void DeviceWatcher::RereadAll() {
  Snapshot next = ReadSnapshot(service_, kReadAll);
  if (!next.opened)
    return;
  Write(DiffDevices(current_.devices, next.devices, options_.filter));
  current_ = std::move(next);
}

bool DeviceWatcher::RereadAt(const std::vector<std::string>& paths) {
  std::unordered_map<std::string_view, std::size_t> byLocation;
  for (std::size_t i = 0; i < current_.devices.size(); ++i) {
    if (const auto& location = current_.devices[i].location.text)
      byLocation.emplace(*location, i);
  }
  std::vector<std::size_t> named;
  bool allKnown = true;
  for (const std::string& path : paths) {
    std::string_view at = path;
    auto found = byLocation.end();
    while (!at.empty() && (found = byLocation.find(at)) == byLocation.end())
      at = at.substr(0, at.rfind('/') == std::string_view::npos ? 0 : at.rfind('/'));
    if (found == byLocation.end()) {
      allKnown = false;
      continue;
    }
    named.push_back(found->second);
  }
  // Only the devices named are read and compared: the others stay as they were.
  std::sort(named.begin(), named.end());
  named.erase(std::unique(named.begin(), named.end()), named.end());
  std::vector<DeviceEntry> before;
  std::vector<DeviceEntry> after;
  for (const std::size_t index : named) {
    DeviceEntry& device = current_.devices[index];
    before.push_back(device);
    RereadState(service_, device);
    after.push_back(device);
  }
  Write(DiffDevices(before, after, options_.filter));
  return allKnown;
}

bool DeviceWatcher::OutputOk() const {
  return static_cast<bool>(out_);
}

void DeviceWatcher::Write(const std::vector<DeviceChange>& changes) {
  for (const DeviceChange& change : changes)
    out_ << (options_.json ? ChangeJson(change) : ChangeLine(change)) << '\n';
  // A reader behind a pipe sees each change as it comes.
  out_.flush();
}

int RunSince(const WatchOptions& options, const std::string& snapshotFile, std::ostream& out,
             std::ostream& errors) {
  const auto then = devices::CreateDeviceService(snapshotFile, errors);
  const Snapshot before = ReadSnapshot(*then, kReadAll);
  if (!before.opened) {
    errors << "quillon-devices: cannot read the snapshot " << snapshotFile << '\n';
    return 3;
  }
  const auto now = devices::CreateDeviceService(options.source, errors);
  const Snapshot after = ReadSnapshot(*now, kReadAll);
  if (!after.opened) {
    errors << "Error: SetupDiGetClassDevs(): " << devices::FormatSigned(after.openError) << '\n';
    return 3;
  }
  const std::vector<DeviceChange> changes =
      DiffDevices(before.devices, after.devices, options.filter);
  for (const DeviceChange& change : changes)
    out << (options.json ? ChangeJson(change) : ChangeLine(change)) << '\n';
  out.flush();
  if (!out)
    return 3;
  return changes.empty() ? 0 : 1;
}

}  // namespace quillon::tools
