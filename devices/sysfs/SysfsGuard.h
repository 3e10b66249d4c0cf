// Whether a node may be disabled or stopped, and why not: the one place that
// decides it. The status (DN_DISABLEABLE), the change and the reason shown
// to the user all ask here.
//
// Besides nodes that cannot be switched off at all (no `authorized` nor
// `driver_override`, a USB root hub, a disk or volume), a node is never
// taken away while it, or a node below it, holds what the system stands on:
// the file system at "/", a mounted file system, active swap, a block device
// others are built on (device mapper, RAID, encryption), or the network
// interface of the caller's own SSH session.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "devices/sysfs/SysfsNode.h"
#include "devices/sysfs/SysfsTree.h"

namespace quillon::devices::sysfs {

enum class Refusal {
  kNone,
  kNoSwitch,     // neither `authorized` nor `driver_override`
  kClassDevice,  // a disk or volume: no bus to bind it
  kRootHub,
  kRootFileSystem,
  kMounted,
  kSwap,
  kStacked,
  kSession,
  kUnknown,  // what it holds cannot be told
};

// A refusal and what it names (a mount point, a swap area, a holder, an
// interface and address).
struct Verdict {
  Refusal refusal = Refusal::kNone;
  std::string what;
  explicit operator bool() const { return refusal == Refusal::kNone; }
};

// The reason as a phrase about the node: "/media/stick is mounted from it".
std::string ReasonText(const Verdict& verdict);

// A network interface carrying the caller's SSH session.
struct SessionInterface {
  std::string name;     // "eth0"
  std::string address;  // the local address of the session
};

// What the guard reads besides the tree.
struct GuardInputs {
  std::string root;        // the prefix of proc/self/mountinfo and proc/swaps
  std::string rootDevice;  // "major:minor" of "/"; empty: none
  // The interfaces of the caller's SSH session; unset: none.
  std::function<std::vector<SessionInterface>()> session;
};

// The interfaces whose address is the local address (the third field) of
// `sshConnection`, as SSH_CONNECTION gives it; none when it names none.
std::vector<SessionInterface> SessionInterfacesOf(const char* sshConnection);

// The local address of `sshConnection` without its zone; empty when it
// names none.
std::string SessionLocalAddress(const char* sshConnection);

// The interfaces that hold `localAddress` (an IPv4 or IPv6 literal); none
// when it is no literal.
std::vector<SessionInterface> SessionInterfacesAt(const std::string& localAddress);

class Guard {
 public:
  // What is held is read on first need, from `tree` seen afresh then.
  Guard(const SysfsTree& tree, GuardInputs inputs);

  Verdict MayDisable(const Node& node) const;
  Verdict MayStop(const Node& node) const;

 private:
  struct Held {
    std::string path;  // canonical device directory
    Refusal refusal;
    std::string what;
  };
  Verdict Holding(const Node& node) const;
  // The first held path at or below `path`.
  Verdict Find(const std::string& path) const;
  // Canonical folders of the block devices that sit under a node.
  const std::vector<std::string>& BlockDevices() const;
  void HoldAllBlockDevices(const std::string& why) const;
  // `path` and, for a mapped or RAID device, what it rests on (slaves/).
  void Hold(const std::string& path, Refusal refusal, const std::string& what, int depth = 0) const;
  void HoldBlockDevice(const std::string& devNumber, Refusal refusal,
                       const std::string& what) const;
  void HoldMounts() const;
  void HoldSwap() const;
  void HoldStacked() const;
  void HoldSession() const;

  SysfsTree tree_;
  GuardInputs inputs_;
  mutable std::optional<std::vector<Held>> held_;
  mutable std::optional<std::vector<std::string>> blockDevices_;
  mutable bool blockFactsRead_ = false;
};

}  // namespace quillon::devices::sysfs
