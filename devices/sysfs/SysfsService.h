// This computer's devices on Linux, read from sysfs under a root prefix and
// presented in the Windows device model; state changes and friendly names
// are written to sysfs attributes (authorized, driver_override, unbind,
// drivers_probe, ifalias), never outside <root>/sys.
//
// A disable and a friendly name are also kept in one udev rules file,
// <root>/etc/udev/rules.d/70-quillon.rules (SysfsRules), the only file
// written outside <root>/sys.
//
// Layout: SysfsTree is all file access; SysfsNode a node and the facts the
// rules share; then one file per decision: SysfsCollect (which entries are
// nodes, their IDs), SysfsClasses (setup class), SysfsDescriptions (names,
// with IdDatabase), SysfsState (status and problem), SysfsGuard (whether a
// node may be disabled or stopped, and why not), SysfsChange (the writes of
// a change, through SysfsWriter), SysfsRules (the kept changes). SysfsParse holds the small text
// parsers they share; OpenBeneath keeps every open within the tree.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/DeviceService.h"
#include "devices/sysfs/PkexecChanger.h"
#include "devices/sysfs/SysfsGuard.h"
#include "devices/sysfs/SysfsWriter.h"

namespace quillon::devices {

struct SysfsOptions {
  // Prepended to /sys and to the ID databases (usr/share/...); empty for
  // this computer.
  std::string root;
  // "major:minor" of the block device holding "/", whose chain of devices is
  // never disableable. Unset: taken from this computer when `root` is empty,
  // none otherwise (a test tree names its own).
  std::optional<std::string> rootDevice;
  // Carries out the writes of changes; unset: the kernel.
  std::shared_ptr<sysfs::AttributeWriter> writer{};
  // The network interfaces of the caller's SSH session, which are never
  // disabled or stopped; unset: those whose address SSH_CONNECTION names as
  // the local one when `root` is empty, none otherwise.
  std::function<std::vector<sysfs::SessionInterface>()> session{};
  // Whether a listing takes what a node's uevent file carries from it
  // instead of reading each attribute file. Off only to compare the two.
  bool readUevents = true;
  // Carries out a change refused for want of rights (5) with root's, by
  // the node's instance ID; unset: such a change fails with 5.
  std::shared_ptr<sysfs::PrivilegedChanger> privileged{};
  // Where a change that could not be handed on says why, one line each.
  std::ostream* diagnostics = nullptr;
};

// The options for `root`: QUILLON_SYSFS_IGNORE_UEVENT=1 in the environment
// turns readUevents off (for comparing both ways of reading on a real kernel).
SysfsOptions DefaultSysfsOptions(const std::string& root);
std::unique_ptr<DeviceService> MakeSysfsService(const std::string& root);
std::unique_ptr<DeviceService> MakeSysfsService(const SysfsOptions& options);

}  // namespace quillon::devices
