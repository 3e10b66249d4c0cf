// --watch on Linux: this computer through the kernel's uevent socket, a
// device file through inotify on its folder, a sysfs tree under a folder by
// a reading every second. Blocks in poll() in between: idle costs nothing.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string_view>

#include "devices/DeviceServiceFactory.h"
#include "tools/DeviceWatch.h"

namespace quillon::tools {

namespace {

// One uevent: "ACTION@DEVPATH" then NUL-separated KEY=VALUE texts.
void ReadUevent(std::string_view message, UeventBatch& batch) {
  const std::size_t at = message.find('@');
  if (at == std::string_view::npos)
    return;
  const std::string_view action = message.substr(0, at);
  const std::string_view path = message.substr(at + 1, message.find('\0') - at - 1);
  if (path.rfind("/devices/virtual/", 0) == 0)
    return;  // no node of ours lives there
  // Nodes that come or go, and drivers: a set sees a driver bound after
  // it was opened only when opened again.
  if (action == "add" || action == "remove" || action == "move" || action == "bind" ||
      action == "unbind") {
    batch.everything = true;
  } else
    batch.paths.push_back("/sys" + std::string(path));
}

bool DrainInotify(int fd, const std::string& name) {
  alignas(inotify_event) std::array<char, 4096> buffer{};
  bool ours = false;
  for (;;) {
    const ssize_t length = ::read(fd, buffer.data(), buffer.size());
    if (length <= 0)
      return ours;
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
      if (event->len > 0 && name == event->name)
        ours = true;
      if ((event->mask & IN_Q_OVERFLOW) != 0)
        ours = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace

UeventSocket::UeventSocket(unsigned groups)
    : fd_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT)) {
  const int fd = fd_.Get();
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = groups;
  // A larger buffer rides out bursts; ENOBUFS still says when it did not.
  const int size = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  // The sender's credentials come with each message, to tell the kernel's.
  const int on = 1;
  if (fd >= 0 && (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
                  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
    fd_ = devices::UniqueFd();
  }
}

void UeventSocket::Drain(UeventBatch& batch) {
  std::array<char, 8192> buffer{};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> control{};
  for (;;) {
    sockaddr_nl sender{};
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t length = ::recvmsg(fd_.Get(), &message, MSG_DONTWAIT);
    if (length < 0) {
      // The kernel dropped events: only a whole reading finds what they said.
      if (errno == ENOBUFS)
        batch.everything = true;
      if (errno == EINTR || errno == ENOBUFS)
        continue;
      return;
    }
    // The kernel sends from port 0 as root; anything else, or anything cut
    // short, is not one of its events.
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    ucred credentials{};
    const bool haveCredentials = header != nullptr && header->cmsg_level == SOL_SOCKET &&
                                 header->cmsg_type == SCM_CREDENTIALS &&
                                 header->cmsg_len >= CMSG_LEN(sizeof credentials);
    if (haveCredentials)
      std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
    if (!haveCredentials || credentials.uid != 0 || sender.nl_pid != 0 ||
        (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
      continue;
    }
    ReadUevent(std::string_view(buffer.data(), static_cast<std::size_t>(length)), batch);
  }
}

void FollowUevents(DeviceWatcher& watcher, const UeventBatch& batch) {
  // A node that some event names but that no reading knew (its parent
  // bound a driver and made it) is found by reading everything.
  if (batch.everything || (!batch.paths.empty() && !watcher.RereadAt(batch.paths)))
    watcher.RereadAll();
}

int RunWatch(const WatchOptions& options, std::ostream& out, std::ostream& errors) {
  // The signals end the watch through the loop below, which then exits 0.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (::sigprocmask(SIG_BLOCK, &signals, nullptr) != 0)
    return 1;
  const devices::UniqueFd signalFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));

  enum class Mode { kUevents, kFile, kPoll };
  namespace fs = std::filesystem;
  std::error_code error;
  const Mode mode = options.source.empty()                    ? Mode::kUevents
                    : fs::is_directory(options.source, error) ? Mode::kPoll
                                                              : Mode::kFile;
  std::string fileName;
  std::optional<UeventSocket> uevents;
  devices::UniqueFd inotify;
  if (mode == Mode::kUevents) {
    if (uevents.emplace(1).Fd() < 0) {  // the kernel's own group
      errors << "quillon-devices: cannot listen to the kernel's device events\n";
      return 1;
    }
  } else if (mode == Mode::kFile) {
    const fs::path path = fs::absolute(options.source, error);
    fileName = path.filename().string();
    inotify = devices::UniqueFd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (inotify.Get() < 0 || ::inotify_add_watch(inotify.Get(), path.parent_path().c_str(),
                                                 IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE |
                                                     IN_DELETE | IN_MOVED_FROM) < 0) {
      errors << "quillon-devices: cannot watch the folder of " << options.source << '\n';
      return 1;
    }
  }
  const int eventFd = uevents ? uevents->Fd() : inotify.Get();

  // Listening first, reading second: nothing between the two is missed.
  const auto service = devices::CreateDeviceService(options.source, errors);
  DeviceWatcher watcher(*service, options, out);
  if (!watcher.Start(errors))
    return 1;

  std::array<pollfd, 2> fds = {pollfd{signalFd.Get(), POLLIN, 0}, pollfd{eventFd, POLLIN, 0}};
  const nfds_t count = mode == Mode::kPoll ? 1 : 2;
  while (watcher.OutputOk()) {
    const int ready = ::poll(fds.data(), count, mode == Mode::kPoll ? 1000 : -1);
    if (ready < 0 && errno != EINTR)
      return 1;
    if ((fds[0].revents & POLLIN) != 0)
      return 0;
    if (mode == Mode::kPoll) {
      if (ready == 0)
        watcher.RereadAll();
      continue;
    }
    if ((fds[1].revents & POLLIN) == 0)
      continue;
    if (mode == Mode::kFile) {
      if (DrainInotify(inotify.Get(), fileName))
        watcher.RereadAll();
      continue;
    }
    UeventBatch batch;
    uevents->Drain(batch);
    FollowUevents(watcher, batch);
  }
  return 0;  // standard output failed: the caller says why, unless its reader left
}

}  // namespace quillon::tools
