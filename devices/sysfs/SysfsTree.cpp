#include "SysfsTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <memory>

namespace quillon::devices::sysfs {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0)
      close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
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
  const std::string sys = root.empty() ? std::string("/sys") : Join(root, "sys");
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(sys.c_str(), nullptr), &std::free);
  if (resolved == nullptr)
    return;
  struct stat info {};
  if (stat(resolved.get(), &info) != 0 || !S_ISDIR(info.st_mode))
    return;
  sys_ = resolved.get();
}

std::optional<std::string> SysfsTree::Resolve(const std::string& path) const {
  if (sys_.empty())
    return std::nullopt;
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  if (resolved == nullptr)
    return std::nullopt;
  std::string canonical = resolved.get();
  if (!Contains(canonical))
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
  std::unique_ptr<DIR, DirCloser> handle(opendir(dir.c_str()));
  if (handle == nullptr)
    return names;
  while (const dirent* entry = readdir(handle.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..")
      names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> SysfsTree::Read(const std::string& dir, std::string_view name) const {
  if (!IsPlainName(name))
    return std::nullopt;
  const std::string path = Join(dir, name);
  const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0)
    return std::nullopt;
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  // Attributes are at most a page; more is not an attribute we want.
  std::array<char, 4096> buffer{};
  std::size_t used = 0;
  while (used < buffer.size()) {
    const ssize_t got = read(fd.get(), buffer.data() + used, buffer.size() - used);
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
  if (!IsPlainName(name))
    return false;
  struct stat info {};
  return lstat(Join(dir, name).c_str(), &info) == 0;
}

std::optional<std::string> SysfsTree::LinkName(const std::string& dir,
                                               std::string_view name) const {
  if (!IsPlainName(name))
    return std::nullopt;
  std::array<char, PATH_MAX> target{};
  const ssize_t length = readlink(Join(dir, name).c_str(), target.data(), target.size() - 1);
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
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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
