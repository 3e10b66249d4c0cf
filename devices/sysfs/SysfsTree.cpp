#include "SysfsTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace quillon::devices::sysfs {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

std::string Join(const std::string& dir, std::string_view name) {
  std::string path = dir;
  path += '/';
  path += name;
  return path;
}

// A name that could leave its directory is never joined.
bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

}  // namespace

SysfsTree::SysfsTree(const std::string& root) {
  const UniqueFd rootFd(open(root.empty() ? "/" : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd)
    return;
  UniqueFd sysFd = OpenBeneath(rootFd.Get(), "sys", O_PATH | O_DIRECTORY, Confine::kBeneath);
  if (!sysFd)
    return;
  // The kernel's name for it, so that what Resolve hands out starts with it.
  std::optional<std::string> sys = PathOf(sysFd.Get());
  if (!sys) {
    std::unique_ptr<char, decltype(&std::free)> resolved(
        realpath((root.empty() ? std::string("/sys") : Join(root, "sys")).c_str(), nullptr),
        &std::free);
    if (resolved == nullptr)
      return;
    sys = resolved.get();
  }
  sys_ = std::move(*sys);
  sysFd_ = std::move(sysFd);
}

SysfsTree SysfsTree::Fresh() const {
  SysfsTree tree;
  if (sysFd_) {
    tree.sysFd_ = UniqueFd(fcntl(sysFd_.Get(), F_DUPFD_CLOEXEC, 0));
    if (tree.sysFd_)
      tree.sys_ = sys_;
  }
  return tree;
}

std::optional<std::string_view> SysfsTree::Relative(const std::string& path) const {
  if (sys_.empty() || !Contains(path))
    return std::nullopt;
  std::string_view relative(path);
  relative.remove_prefix(sys_ == "/" ? 1 : std::min(path.size(), sys_.size() + 1));
  return relative;
}

UniqueFd SysfsTree::Open(const std::string& path, int flags) const {
  const std::optional<std::string_view> relative = Relative(path);
  if (!relative) {
    errno = EXDEV;
    return UniqueFd();
  }
  return OpenBeneath(sysFd_.Get(), *relative, flags, Confine::kBeneath);
}

UniqueFd SysfsTree::OpenIn(const std::string& dir, std::string_view name, int flags) const {
  if (!IsPlainName(name)) {
    errno = ENOENT;
    return UniqueFd();
  }
  return Open(Join(dir, name), flags);
}

std::optional<std::string> SysfsTree::Resolve(const std::string& path) const {
  const std::optional<std::string_view> relative = Relative(path);
  if (!relative)
    return std::nullopt;
  std::optional<std::string> canonical =
      ResolveBeneath(sysFd_.Get(), sys_, *relative, Confine::kBeneath);
  if (!canonical || !Contains(*canonical))
    return std::nullopt;
  return canonical;
}

std::optional<std::string> SysfsTree::Child(const std::string& dir, std::string_view name) const {
  if (!IsPlainName(name))
    return std::nullopt;
  return Resolve(Join(dir, name));
}

bool SysfsTree::Contains(const std::string& canonical) const {
  if (sys_.empty() || canonical.compare(0, sys_.size(), sys_) != 0)
    return false;
  return canonical.size() == sys_.size() || canonical[sys_.size()] == '/' || sys_ == "/";
}

std::vector<std::string> SysfsTree::List(const std::string& dir) const {
  std::vector<std::string> names;
  UniqueFd fd = Open(dir, O_RDONLY | O_DIRECTORY);
  if (!fd)
    return names;
  std::unique_ptr<DIR, DirCloser> handle(fdopendir(fd.Get()));
  if (handle == nullptr)
    return names;
  fd.Release();  // the stream owns it now
  while (const dirent* entry = readdir(handle.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..")
      names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> SysfsTree::Read(const std::string& dir, std::string_view name) const {
  const UniqueFd fd = OpenIn(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd)
    return std::nullopt;
  struct stat info {};
  if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  // Attributes are at most a page; more is not an attribute we want.
  std::array<char, 4096> buffer{};
  std::size_t used = 0;
  while (used < buffer.size()) {
    const ssize_t got = read(fd.Get(), buffer.data() + used, buffer.size() - used);
    if (got < 0)
      return std::nullopt;
    if (got == 0)
      break;
    used += static_cast<std::size_t>(got);
  }
  std::string text(buffer.data(), used);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' ||
                           text.back() == '\r' || text.back() == '\0')) {
    text.pop_back();
  }
  return text;
}

bool SysfsTree::Has(const std::string& dir, std::string_view name) const {
  // O_PATH with O_NOFOLLOW opens a link itself: a dangling one counts.
  return static_cast<bool>(OpenIn(dir, name, O_PATH | O_NOFOLLOW));
}

std::optional<std::string> SysfsTree::LinkName(const std::string& dir,
                                               std::string_view name) const {
  const UniqueFd link = OpenIn(dir, name, O_PATH | O_NOFOLLOW);
  if (!link)
    return std::nullopt;
  std::array<char, PATH_MAX> target{};
  const ssize_t length = readlinkat(link.Get(), "", target.data(), target.size() - 1);
  if (length <= 0)
    return std::nullopt;
  std::string text(target.data(), static_cast<std::size_t>(length));
  while (!text.empty() && text.back() == '/')
    text.pop_back();
  const std::string base = BaseName(text);
  if (base.empty())
    return std::nullopt;
  return base;
}

bool SysfsTree::IsDirectory(const std::string& path) const {
  return static_cast<bool>(Open(path, O_PATH | O_DIRECTORY));
}

std::string ParentPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return std::string();
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace quillon::devices::sysfs
