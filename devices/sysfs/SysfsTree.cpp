#include "SysfsTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

// `path` without "." and ".." components and repeated slashes. Equal to the
// canonical form only for an absolute path without symbolic links.
std::string Lexical(std::string_view path) {
  std::string result;
  std::size_t pos = 0;
  while (pos < path.size()) {
    const std::size_t end = std::min(path.find('/', pos), path.size());
    const std::string_view part = path.substr(pos, end - pos);
    if (part == "..") {
      const std::size_t slash = result.rfind('/');
      result.erase(slash == std::string::npos ? 0 : slash);
    } else if (!part.empty() && part != ".") {
      result += '/';
      result += part;
    }
    pos = end + 1;
  }
  return result.empty() ? "/" : result;
}

enum class Walk { kPlain, kLink, kMissing, kUnknown };

// Whether `path` can be walked without meeting a symbolic link: one system
// call where realpath would read every component as a possible link. The
// kernel may lack openat2 (before 5.6) or refuse it: kUnknown.
Walk WalkWithoutLinks(const std::string& path) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd >= 0) {
    close(static_cast<int>(fd));
    return Walk::kPlain;
  }
  if (errno == ELOOP)
    return Walk::kLink;
  if (errno == ENOENT || errno == ENOTDIR)
    return Walk::kMissing;
#else
  (void)path;
#endif
  return Walk::kUnknown;
}

std::optional<std::string> RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  if (resolved == nullptr)
    return std::nullopt;
  return std::string(resolved.get());
}

// The canonical form of an absolute `path`, most often at the cost of one or
// two system calls: sysfs paths hold at most a link or two, mostly last.
std::optional<std::string> Canonical(const std::string& path, int linksLeft) {
  if (path.empty() || path.front() != '/')
    return RealPath(path);
  switch (WalkWithoutLinks(path)) {
    case Walk::kPlain:
      return Lexical(path);
    case Walk::kMissing:
      return std::nullopt;
    case Walk::kUnknown:
      return RealPath(path);
    case Walk::kLink:
      break;
  }
  // A link as the last component below a directory without links: follow it
  // by hand; anything else is left to realpath.
  const std::size_t slash = path.find_last_of('/');
  const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  if (linksLeft <= 0 || slash + 1 >= path.size() || WalkWithoutLinks(dir) != Walk::kPlain)
    return RealPath(path);
  std::array<char, PATH_MAX> target{};
  const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
  if (length <= 0)
    return RealPath(path);
  const std::string_view link(target.data(), static_cast<std::size_t>(length));
  return Canonical(link.front() == '/' ? std::string(link) : Lexical(dir) + "/" + std::string(link),
                   linksLeft - 1);
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
  canonical_.insert(sys_);
}

SysfsTree SysfsTree::Fresh() const {
  SysfsTree tree;
  tree.sys_ = sys_;
  if (!sys_.empty())
    tree.canonical_.insert(sys_);
  return tree;
}

std::optional<std::string> SysfsTree::Resolve(const std::string& path) const {
  if (sys_.empty())
    return std::nullopt;
  // As many links as realpath follows before it gives up (ELOOP).
  constexpr int kMaxLinks = 40;
  std::optional<std::string> canonical = Canonical(path, kMaxLinks);
  if (!canonical || !Contains(*canonical))
    return std::nullopt;
  canonical_.insert(*canonical);
  return canonical;
}

std::optional<std::string> SysfsTree::Child(const std::string& dir, std::string_view name) const {
  if (!IsPlainName(name))
    return std::nullopt;
  const Listing* listing = ListingOf(dir);
  const std::optional<unsigned char> type =
      listing != nullptr ? listing->Find(name) : std::optional<unsigned char>(DT_UNKNOWN);
  if (!type)
    return std::nullopt;
  const std::string path = Join(dir, name);
  if (canonical_.count(dir) == 0 || (*type != DT_DIR && *type != DT_LNK))
    return Resolve(path);
  // A real folder below a canonical one is canonical as it stands; a link
  // there leads where its target says, taken from that folder.
  if (*type == DT_DIR) {
    canonical_.insert(path);
    return path;
  }
  std::array<char, PATH_MAX> target{};
  const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
  if (length <= 0)
    return Resolve(path);
  const std::string_view link(target.data(), static_cast<std::size_t>(length));
  return Resolve(link.front() == '/' ? std::string(link) : dir + "/" + std::string(link));
}

std::optional<unsigned char> SysfsTree::Listing::Find(std::string_view name) const {
  const auto found = std::lower_bound(entries.begin(), entries.end(), name,
                                      [](const std::pair<std::string, unsigned char>& entry,
                                         std::string_view key) { return entry.first < key; });
  if (found == entries.end() || found->first != name)
    return std::nullopt;
  return found->second;
}

const SysfsTree::Listing* SysfsTree::ListingOf(const std::string& dir) const {
  const auto cached = listings_.find(dir);
  if (cached != listings_.end())
    return cached->second.get();
  std::unique_ptr<Listing> listing;
  // getdents64 straight: opendir would also stat the folder.
  const FileDescriptor fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) {
    listing = std::make_unique<Listing>();
    alignas(8) std::array<char, 32768> buffer{};
    while (true) {
      const long got = syscall(SYS_getdents64, fd.get(), buffer.data(), buffer.size());
      if (got < 0) {
        listing.reset();
        break;
      }
      if (got == 0)
        break;
      for (long pos = 0; pos < got;) {
        // linux_dirent64: inode, offset, record length, type, name.
        unsigned short length = 0;
        std::memcpy(&length, buffer.data() + pos + 16, sizeof length);
        const auto type = static_cast<unsigned char>(buffer[static_cast<std::size_t>(pos) + 18]);
        const std::string_view name(buffer.data() + pos + 19);
        if (name != "." && name != "..")
          listing->entries.emplace_back(name, type);
        pos += length;
      }
    }
    if (listing)
      std::sort(listing->entries.begin(), listing->entries.end());
  }
  return listings_.emplace(dir, std::move(listing)).first->second.get();
}

bool SysfsTree::Contains(const std::string& canonical) const {
  if (sys_.empty() || canonical.compare(0, sys_.size(), sys_) != 0)
    return false;
  return canonical.size() == sys_.size() || canonical[sys_.size()] == '/' || sys_ == "/";
}

std::vector<std::string> SysfsTree::List(const std::string& dir) const {
  std::vector<std::string> names;
  if (const Listing* listing = ListingOf(dir)) {
    names.reserve(listing->entries.size());
    for (const auto& entry : listing->entries)
      names.push_back(entry.first);
  }
  return names;
}

std::optional<std::string> SysfsTree::Read(const std::string& dir, std::string_view name) const {
  if (!IsPlainName(name))
    return std::nullopt;
  // Only a regular file is an attribute (a file system that does not tell
  // the type is asked).
  bool regular = false;
  if (const Listing* listing = ListingOf(dir)) {
    const std::optional<unsigned char> type = listing->Find(name);
    if (!type || (*type != DT_REG && *type != DT_UNKNOWN))
      return std::nullopt;
    regular = *type == DT_REG;
  }
  const std::string path = Join(dir, name);
  // Not following a link, and not waiting on a FIFO put in a file's place
  // since the listing.
  const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0)
    return std::nullopt;
  struct stat info {};
  if (!regular && (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)))
    return std::nullopt;
  // Attributes are at most a page; more is not an attribute we want. A
  // short read is the whole of it (sysfs hands an attribute out at once).
  std::array<char, 4096> buffer{};
  std::size_t used = 0;
  while (used < buffer.size()) {
    const std::size_t wanted = buffer.size() - used;
    const ssize_t got = read(fd.get(), buffer.data() + used, wanted);
    if (got < 0)
      return std::nullopt;
    used += static_cast<std::size_t>(got);
    if (static_cast<std::size_t>(got) < wanted)
      break;
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
  if (const Listing* listing = ListingOf(dir))
    return listing->Find(name).has_value();
  struct stat info {};
  return lstat(Join(dir, name).c_str(), &info) == 0;
}

std::optional<std::string> SysfsTree::LinkName(const std::string& dir,
                                               std::string_view name) const {
  if (!IsPlainName(name))
    return std::nullopt;
  if (const Listing* listing = ListingOf(dir)) {
    const std::optional<unsigned char> type = listing->Find(name);
    if (!type || (*type != DT_LNK && *type != DT_UNKNOWN))
      return std::nullopt;
  }
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
  // A canonical path has no link in it: its entry in its folder tells.
  if (canonical_.count(path) != 0 && path != sys_) {
    if (const Listing* listing = ListingOf(ParentPath(path))) {
      const std::optional<unsigned char> type = listing->Find(BaseName(path));
      if (type && *type != DT_UNKNOWN)
        return *type == DT_DIR;
    }
  }
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
