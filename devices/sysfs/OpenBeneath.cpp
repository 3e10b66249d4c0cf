// Opening below a directory without leaving it: openat2 where the kernel has
// it, else a walk one component at a time.
#include "devices/sysfs/OpenBeneath.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define QUILLON_HAVE_OPENAT2 1
#endif

namespace quillon::devices::sysfs {

namespace {

std::atomic<bool> walkForTesting{false};
// Set once the kernel says it has no openat2 (before 5.6).
std::atomic<bool> noOpenat2{false};
// Set once /proc cannot name a descriptor (not mounted).
std::atomic<bool> noProcPaths{false};

constexpr int kMaxLinks = 40;  // as many as the kernel follows

std::deque<std::string> Split(std::string_view path) {
  std::deque<std::string> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    const std::size_t end = std::min(path.find('/', pos), path.size());
    if (end > pos)
      parts.emplace_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

bool OnlyDots(const std::deque<std::string>& parts) {
  for (const std::string& part : parts) {
    if (!part.empty() && part != ".")
      return false;
  }
  return true;
}

struct Walked {
  UniqueFd fd;
  std::vector<std::string> names;  // the components below the base it reached
};

// Resolves `relative` by hand: each component is read as a possible link
// first and opened only with O_NOFOLLOW, so no link is ever followed by the
// kernel; a link's target is spliced into the components still to walk.
std::optional<Walked> Walk(int base, std::string_view relative, int flags, Confine confine) {
  std::deque<std::string> parts = Split(relative);
  std::vector<UniqueFd> dirs;  // opened directories below the base, deepest last
  std::vector<std::string> names;
  int links = 0;
  const auto current = [&] { return dirs.empty() ? base : dirs.back().Get(); };
  while (true) {
    while (!parts.empty() && (parts.front().empty() || parts.front() == "."))
      parts.pop_front();
    if (parts.empty()) {
      UniqueFd fd(openat(current(), ".", flags | O_CLOEXEC));
      if (!fd)
        return std::nullopt;
      return Walked{std::move(fd), std::move(names)};
    }
    std::string name = std::move(parts.front());
    parts.pop_front();
    if (name == "..") {
      if (dirs.empty()) {
        if (confine == Confine::kBeneath) {
          errno = EXDEV;
          return std::nullopt;
        }
        continue;
      }
      dirs.pop_back();
      names.pop_back();
      continue;
    }
    const bool last = OnlyDots(parts);
    std::array<char, PATH_MAX> target{};
    const ssize_t length = readlinkat(current(), name.c_str(), target.data(), target.size());
    if (length < 0 && errno != EINVAL)
      return std::nullopt;  // missing, not a directory, not allowed
    const bool isLink = length >= 0;
    if (isLink && !(last && (flags & O_NOFOLLOW) != 0)) {
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return std::nullopt;
      }
      if (static_cast<std::size_t>(length) >= target.size()) {
        errno = ENAMETOOLONG;
        return std::nullopt;
      }
      const std::string_view link(target.data(), static_cast<std::size_t>(length));
      if (!link.empty() && link.front() == '/') {
        if (confine == Confine::kBeneath) {
          errno = EXDEV;
          return std::nullopt;
        }
        dirs.clear();
        names.clear();
      }
      std::deque<std::string> spliced = Split(link);
      parts.insert(parts.begin(), spliced.begin(), spliced.end());
      continue;
    }
    if (last) {
      UniqueFd fd(openat(current(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
      if (!fd)
        return std::nullopt;
      names.push_back(std::move(name));
      return Walked{std::move(fd), std::move(names)};
    }
    UniqueFd dir(openat(current(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir)
      return std::nullopt;
    dirs.push_back(std::move(dir));
    names.push_back(std::move(name));
  }
}

// The kernel's answer, or none when it cannot give one (then errno is
// ENOSYS: walk instead).
std::optional<UniqueFd> Openat2(int base, std::string_view relative, int flags, Confine confine,
                                bool noLinks = false) {
#ifdef QUILLON_HAVE_OPENAT2
  if (!walkForTesting && !noOpenat2) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve =
        (confine == Confine::kBeneath ? RESOLVE_BENEATH : RESOLVE_IN_ROOT) | RESOLVE_NO_MAGICLINKS;
    if (noLinks)
      how.resolve |= RESOLVE_NO_SYMLINKS;
    const std::string path = relative.empty() ? std::string(".") : std::string(relative);
    const long fd = syscall(SYS_openat2, base, path.c_str(), &how, sizeof how);
    if (fd >= 0)
      return UniqueFd(static_cast<int>(fd));
    // A sandbox that filters unknown system calls says EPERM; the walk then
    // gives the real answer.
    if (errno == ENOSYS)
      noOpenat2 = true;
    if (errno != ENOSYS && errno != EPERM)
      return UniqueFd();
  }
#else
  (void)base, (void)relative, (void)flags, (void)confine, (void)noLinks;
#endif
  errno = ENOSYS;
  return std::nullopt;
}

bool Below(const std::string& path, const std::string& basePath) {
  if (basePath == "/")
    return !path.empty() && path.front() == '/';
  return path.compare(0, basePath.size(), basePath) == 0 &&
         (path.size() == basePath.size() || path[basePath.size()] == '/');
}

}  // namespace

UniqueFd OpenBeneath(int base, std::string_view relative, int flags, Confine confine) {
  if (std::optional<UniqueFd> fd = Openat2(base, relative, flags, confine))
    return std::move(*fd);
  std::optional<Walked> walked = Walk(base, relative, flags, confine);
  return walked ? std::move(walked->fd) : UniqueFd();
}

UniqueFd OpenBeneathWithoutLinks(int base, std::string_view relative, int flags) {
  for (const std::string& part : Split(relative)) {
    if (part == "..") {
      errno = ELOOP;
      return UniqueFd();
    }
  }
  if (std::optional<UniqueFd> fd = Openat2(base, relative, flags, Confine::kBeneath, true))
    return std::move(*fd);
  errno = ENOSYS;
  return UniqueFd();
}

UniqueFd OpenInRoot(const std::string& root, std::string_view relative, int flags) {
  const UniqueFd base(open(root.empty() ? "/" : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!base)
    return UniqueFd();
  return OpenBeneath(base.Get(), relative, flags, Confine::kInRoot);
}

std::optional<std::string> PathOf(int fd) {
  if (noProcPaths)
    return std::nullopt;
  std::array<char, PATH_MAX> path{};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(link.c_str(), path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
    if (length < 0 && errno == ENOENT)
      noProcPaths = true;
    return std::nullopt;
  }
  std::string text(path.data(), static_cast<std::size_t>(length));
  // Removed since it was opened, or outside this process's root.
  if (text.front() != '/' ||
      (text.size() > 10 && text.compare(text.size() - 10, 10, " (deleted)") == 0))
    return std::nullopt;
  return text;
}

std::optional<std::string> ResolveBeneath(int base, const std::string& basePath,
                                          std::string_view relative, Confine confine) {
  if (!noProcPaths) {
    if (std::optional<UniqueFd> fd = Openat2(base, relative, O_PATH, confine)) {
      if (!*fd)
        return std::nullopt;
      if (std::optional<std::string> path = PathOf(fd->Get()); path && Below(*path, basePath))
        return path;
    }
  }
  std::optional<Walked> walked = Walk(base, relative, O_PATH, confine);
  if (!walked)
    return std::nullopt;
  std::string path = basePath == "/" ? std::string() : basePath;
  for (const std::string& name : walked->names) {
    path += '/';
    path += name;
  }
  return path.empty() ? std::string("/") : path;
}

bool KernelConfinesOpens() {
#ifdef QUILLON_HAVE_OPENAT2
  return !walkForTesting && !noOpenat2;
#else
  return false;
#endif
}

void UseComponentWalkForTesting(bool on) {
  walkForTesting = on;
}

}  // namespace quillon::devices::sysfs
