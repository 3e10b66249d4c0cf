// Whether a node may be disabled or stopped, and why not.
#include "devices/sysfs/SysfsGuard.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <libmount.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "devices/sysfs/SysfsParse.h"
#include "devices/sysfs/SysfsState.h"

namespace quillon::devices::sysfs {

namespace {

constexpr int kMaxDepth = 8;

std::string DevNumber(dev_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// True when `held` is `node` or lies below it.
bool AtOrBelow(const std::string& held, const std::string& node) {
  return held == node ||
         (held.size() > node.size() && StartsWith(held, node) && held[node.size()] == '/');
}

// /proc/swaps writes blanks and backslashes in names as octal escapes.
std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
        text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                      (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// util-linux's mount table parser, loaded on first need: linked at start it
// and the libraries it pulls in cost every run of the program more than
// listing the devices does, and most listings never need it.
struct MountLibrary {
  decltype(&mnt_new_table) newTable = nullptr;
  decltype(&mnt_unref_table) unrefTable = nullptr;
  decltype(&mnt_new_iter) newIter = nullptr;
  decltype(&mnt_free_iter) freeIter = nullptr;
  decltype(&mnt_table_parse_file) parseFile = nullptr;
  decltype(&mnt_table_next_fs) nextFs = nullptr;
  decltype(&mnt_fs_get_target) target = nullptr;
  decltype(&mnt_fs_get_devno) devno = nullptr;
  decltype(&mnt_fs_get_srcpath) source = nullptr;
};

template <typename F>
bool Bind(void* library, const char* name, F& function) {
  function = reinterpret_cast<F>(dlsym(library, name));
  return function != nullptr;
}

// None when the library cannot be loaded.
const MountLibrary* Mounts() {
  static const std::optional<MountLibrary> loaded = []() -> std::optional<MountLibrary> {
    void* library = dlopen("libmount.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
      return std::nullopt;
    MountLibrary lib;
    if (Bind(library, "mnt_new_table", lib.newTable) &&
        Bind(library, "mnt_unref_table", lib.unrefTable) &&
        Bind(library, "mnt_new_iter", lib.newIter) &&
        Bind(library, "mnt_free_iter", lib.freeIter) &&
        Bind(library, "mnt_table_parse_file", lib.parseFile) &&
        Bind(library, "mnt_table_next_fs", lib.nextFs) &&
        Bind(library, "mnt_fs_get_target", lib.target) &&
        Bind(library, "mnt_fs_get_devno", lib.devno) &&
        Bind(library, "mnt_fs_get_srcpath", lib.source)) {
      return lib;  // kept loaded for the life of the process
    }
    dlclose(library);
    return std::nullopt;
  }();
  return loaded ? &*loaded : nullptr;
}

}  // namespace

std::string ReasonText(const Verdict& verdict) {
  switch (verdict.refusal) {
    case Refusal::kNone:
      return std::string();
    case Refusal::kNoSwitch:
      return "it has neither authorized nor driver_override to switch it with";
    case Refusal::kClassDevice:
      return "a disk or volume is switched off through the device it sits on";
    case Refusal::kRootHub:
      return "it is a USB root hub, which carries every device behind it";
    case Refusal::kRootFileSystem:
    case Refusal::kMounted:
      return verdict.what + " is mounted from it";
    case Refusal::kSwap:
      return verdict.what + " is in use as swap on it";
    case Refusal::kStacked:
      return verdict.what + " is built on it";
    case Refusal::kSession:
      return "it carries this SSH session (" + verdict.what + ")";
    case Refusal::kUnknown:
      return verdict.what;
  }
  return std::string();
}

std::vector<SessionInterface> SessionInterfacesOf(const char* sshConnection) {
  return SessionInterfacesAt(SessionLocalAddress(sshConnection));
}

std::string SessionLocalAddress(const char* sshConnection) {
  if (sshConnection == nullptr)
    return {};
  // "client-address client-port local-address local-port"
  std::istringstream fields{std::string(sshConnection)};
  std::string client, clientPort, local;
  if (!(fields >> client >> clientPort >> local))
    return {};
  std::string bare = local.substr(0, local.find('%'));
  in6_addr v6{};
  in_addr v4{};
  if (inet_pton(AF_INET, bare.c_str(), &v4) != 1 && inet_pton(AF_INET6, bare.c_str(), &v6) != 1)
    return {};
  return bare;
}

std::vector<SessionInterface> SessionInterfacesAt(const std::string& localAddress) {
  std::vector<SessionInterface> found;
  in6_addr wanted6{};
  in_addr wanted4{};
  const std::string& bare = localAddress;
  const bool v4 = inet_pton(AF_INET, bare.c_str(), &wanted4) == 1;
  const bool v6 = !v4 && inet_pton(AF_INET6, bare.c_str(), &wanted6) == 1;
  if (!v4 && !v6)
    return found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0)
    return found;
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, &freeifaddrs);
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr)
      continue;
    bool match = false;
    if (v4 && entry->ifa_addr->sa_family == AF_INET) {
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      match = std::memcmp(&address->sin_addr, &wanted4, sizeof(wanted4)) == 0;
    } else if (v6 && entry->ifa_addr->sa_family == AF_INET6) {
      const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      match = std::memcmp(&address->sin6_addr, &wanted6, sizeof(wanted6)) == 0;
    }
    if (match)
      found.push_back(SessionInterface{entry->ifa_name, bare});
  }
  return found;
}

Guard::Guard(const SysfsTree& tree, GuardInputs inputs)
    : tree_(tree.Fresh()), inputs_(std::move(inputs)) {}

Verdict Guard::MayDisable(const Node& node) const {
  if (node.Kind() != NodeKind::kBusDevice)
    return Verdict{Refusal::kClassDevice, {}};
  if (SwitchOf(node) == Switch::kNone)
    return Verdict{Refusal::kNoSwitch, {}};
  return MayStop(node);
}

Verdict Guard::MayStop(const Node& node) const {
  if (node.Kind() != NodeKind::kBusDevice)
    return Verdict{Refusal::kClassDevice, {}};
  if (IsUsbRootHub(node))
    return Verdict{Refusal::kRootHub, {}};
  return Holding(node);
}

Verdict Guard::Holding(const Node& node) const {
  if (!held_) {
    held_.emplace();
    if (tree_.Ok()) {
      if (!inputs_.rootDevice.empty())
        HoldBlockDevice(inputs_.rootDevice, Refusal::kRootFileSystem, "/");
      HoldSession();
    }
  }
  if (Verdict verdict = Find(node.Path()); verdict.refusal != Refusal::kNone)
    return verdict;
  // Mounts, swap and stacking concern block devices: a node with none below
  // it, or only those already held, needs no mount table. On most machines
  // that is every node, the disk holding "/" aside.
  // Sorted, those at or below the node are one run of those starting with
  // its path: asked for every node, a scan of them all grows with the
  // square of the machine.
  const std::vector<std::string>& blocks = BlockDevices();
  bool any = false;
  for (auto block = std::lower_bound(blocks.begin(), blocks.end(), node.Path());
       !any && block != blocks.end() && StartsWith(*block, node.Path()); ++block) {
    any = AtOrBelow(*block, node.Path()) && Find(*block).refusal == Refusal::kNone;
  }
  if (!any)
    return Verdict{};
  if (!blockFactsRead_) {
    blockFactsRead_ = true;
    HoldMounts();
    HoldSwap();
    HoldStacked();
  }
  return Find(node.Path());
}

Verdict Guard::Find(const std::string& path) const {
  // The first reason found wins: they were gathered with the weightiest first.
  for (const Held& held : *held_) {
    if (AtOrBelow(held.path, path))
      return Verdict{held.refusal, held.what};
  }
  return Verdict{};
}

const std::vector<std::string>& Guard::BlockDevices() const {
  if (blockDevices_)
    return *blockDevices_;
  blockDevices_.emplace();
  if (!tree_.Ok())
    return *blockDevices_;
  const std::string classDir = tree_.Sys() + "/class/block";
  const std::string virtualDir = tree_.Sys() + "/devices/virtual/";
  for (const std::string& name : tree_.List(classDir)) {
    // Loop, zram and mapped devices sit under no node but by what they rest on.
    if (const auto path = tree_.Child(classDir, name); path && !StartsWith(*path, virtualDir))
      blockDevices_->push_back(*path);
  }
  std::sort(blockDevices_->begin(), blockDevices_->end());
  return *blockDevices_;
}

void Guard::Hold(const std::string& path, Refusal refusal, const std::string& what,
                 int depth) const {
  if (depth > kMaxDepth)
    return;
  const bool seen = std::any_of(held_->begin(), held_->end(), [&](const Held& held) {
    return held.path == path && held.refusal == refusal;
  });
  if (seen)
    return;
  held_->push_back(Held{path, refusal, what});
  // A mapped or RAID device rests on the devices in its slaves/.
  if (!tree_.Has(path, "slaves"))
    return;
  if (const auto slaves = tree_.Child(path, "slaves")) {
    for (const std::string& name : tree_.List(*slaves)) {
      if (const auto slave = tree_.Child(*slaves, name))
        Hold(*slave, refusal, what, depth + 1);
    }
  }
}

void Guard::HoldBlockDevice(const std::string& devNumber, Refusal refusal,
                            const std::string& what) const {
  if (devNumber.empty() || devNumber.find('/') != std::string::npos)
    return;
  if (const auto path = tree_.Child(tree_.Sys() + "/dev/block", devNumber))
    Hold(*path, refusal, what);
}

// The block device a name such as /dev/sda2 stands for: the device node
// where it exists under the root, else its name among the block devices.
namespace {
std::optional<std::string> BlockDeviceOf(const SysfsTree& tree, const std::string& root,
                                         const std::string& name) {
  struct stat info {};
  if (stat((root + name).c_str(), &info) == 0 && S_ISBLK(info.st_mode))
    return tree.Child(tree.Sys() + "/dev/block", DevNumber(info.st_rdev));
  const std::string base = BaseName(name);
  if (base.empty())
    return std::nullopt;
  return tree.Child(tree.Sys() + "/class/block", base);
}
}  // namespace

void Guard::HoldMounts() const {
  const std::string path = inputs_.root + "/proc/self/mountinfo";
  // A tree without one (a copy of another machine's sysfs) has nothing mounted.
  if (access(path.c_str(), F_OK) != 0 && errno == ENOENT)
    return;
  const MountLibrary* lib = Mounts();
  if (lib == nullptr) {
    HoldAllBlockDevices("the mount table could not be read");
    return;
  }
  const std::unique_ptr<libmnt_table, decltype(lib->unrefTable)> table(lib->newTable(),
                                                                       lib->unrefTable);
  const std::unique_ptr<libmnt_iter, decltype(lib->freeIter)> iter(lib->newIter(MNT_ITER_FORWARD),
                                                                   lib->freeIter);
  if (!table || !iter || lib->parseFile(table.get(), path.c_str()) != 0) {
    // Whatever is mounted may be on any of them.
    HoldAllBlockDevices("the mount table could not be read");
    return;
  }
  libmnt_fs* fs = nullptr;
  while (lib->nextFs(table.get(), iter.get(), &fs) == 0) {
    const char* target = lib->target(fs);
    const std::string where = target != nullptr ? target : "?";
    const dev_t device = lib->devno(fs);
    if (major(device) != 0) {
      HoldBlockDevice(DevNumber(device), Refusal::kMounted, where);
      continue;
    }
    // Some file systems (btrfs) show an anonymous number: their source names the device.
    const char* source = lib->source(fs);
    if (source != nullptr && StartsWith(source, "/dev/")) {
      if (const auto block = BlockDeviceOf(tree_, inputs_.root, source))
        Hold(*block, Refusal::kMounted, where);
    }
  }
}

void Guard::HoldAllBlockDevices(const std::string& why) const {
  for (const std::string& path : BlockDevices())
    Hold(path, Refusal::kUnknown, why);
}

void Guard::HoldSwap() const {
  std::ifstream swaps(inputs_.root + "/proc/swaps");
  std::string line;
  std::getline(swaps, line);  // the heading
  while (std::getline(swaps, line)) {
    std::istringstream fields(line);
    std::string name, type;
    if (!(fields >> name >> type) || type != "partition")
      continue;  // a swap file lies on a mounted file system
    name = Unescape(name);
    if (const auto block = BlockDeviceOf(tree_, inputs_.root, name))
      Hold(*block, Refusal::kSwap, name);
  }
}

void Guard::HoldStacked() const {
  // holders/ read through the class link; the device's own folder is
  // resolved only for the few that have any.
  const std::string classDir = tree_.Sys() + "/class/block";
  for (const std::string& name : tree_.List(classDir)) {
    const std::vector<std::string> above = tree_.List(classDir + "/" + name + "/holders");
    if (above.empty())
      continue;
    if (const auto path = tree_.Child(classDir, name))
      Hold(*path, Refusal::kStacked, above.front());
  }
}

void Guard::HoldSession() const {
  if (!inputs_.session)
    return;
  const std::string classDir = tree_.Sys() + "/class/net";
  for (const SessionInterface& session : inputs_.session()) {
    const std::string what = session.name + ", " + session.address;
    // A bridge, bond or VLAN carries the session over the interfaces below
    // it (its lower_* links).
    std::vector<std::string> pending;
    if (const auto path = tree_.Child(classDir, session.name))
      pending.push_back(*path);
    for (std::size_t i = 0; i < pending.size() && i < 64; ++i) {
      const std::string path = pending[i];
      Hold(path, Refusal::kSession, what);
      for (const std::string& entry : tree_.List(path)) {
        if (!StartsWith(entry, "lower_"))
          continue;
        const auto lower = tree_.Child(path, entry);
        if (lower && std::find(pending.begin(), pending.end(), *lower) == pending.end())
          pending.push_back(*lower);
      }
    }
  }
}

}  // namespace quillon::devices::sysfs
