#include "devices/sysfs/SysfsTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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
  // sysfs and tmpfs (where test trees are made) hand out a folder's entries
  // as long as they fit: a batch with room left for the longest name is the
  // last, and the call that would return nothing is saved.
  struct statfs info {};
  constexpr decltype(info.f_type) kSysfs = 0x62656572;
  constexpr decltype(info.f_type) kTmpfs = 0x01021994;
  fillsBatches_ =
      fstatfs(sysFd.Get(), &info) == 0 && (info.f_type == kSysfs || info.f_type == kTmpfs);
  sysFd_ = std::make_shared<const UniqueFd>(std::move(sysFd));
  canonical_.insert(sys_);
}

SysfsTree SysfsTree::Fresh() const {
  SysfsTree tree;
  tree.sys_ = sys_;
  tree.followThroughListings_ = false;
  tree.readsUevents_ = false;
  tree.fillsBatches_ = fillsBatches_;
  tree.sysFd_ = sysFd_;
  if (!sys_.empty())
    tree.canonical_.insert(sys_);
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
  return OpenBeneath(sysFd_->Get(), *relative, flags, Confine::kBeneath);
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
  // Mostly a device's folder, whose listing and attributes are read next:
  // opened for that and kept.
  if (UniqueFd dir =
          OpenBeneath(sysFd_->Get(), *relative, O_RDONLY | O_DIRECTORY, Confine::kBeneath)) {
    if (std::optional<std::string> canonical = PathOf(dir.Get());
        canonical && Contains(*canonical)) {
      canonical_.insert(*canonical);
      KeepDirFd(*canonical, std::move(dir));
      return canonical;
    }
  } else if (errno == ENOENT || errno == EXDEV || errno == ELOOP) {
    return std::nullopt;
  }
  std::optional<std::string> canonical =
      ResolveBeneath(sysFd_->Get(), sys_, *relative, Confine::kBeneath);
  if (!canonical || !Contains(*canonical))
    return std::nullopt;
  canonical_.insert(*canonical);
  return canonical;
}

bool SysfsTree::IsCanonicalDirectory(const std::string& path) const {
  if (const std::optional<std::string_view> relative = Relative(path)) {
    if (UniqueFd fd = OpenBeneathWithoutLinks(sysFd_->Get(), *relative, O_RDONLY | O_DIRECTORY)) {
      canonical_.insert(path);
      KeepDirFd(path, std::move(fd));
      return true;
    }
    // Gone, moved, or a link now on the way.
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == EXDEV)
      return false;
  }
  return Resolve(path) == path && IsDirectory(path);
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
  // there leads where its target says, taken from that folder (an absolute
  // one leads out, as for every open).
  if (*type == DT_DIR) {
    canonical_.insert(path);
    return path;
  }
  const std::optional<std::string> link = ReadLink(dir, name);
  if (!link)
    return Resolve(path);
  if (link->front() == '/')
    return std::nullopt;
  if (!followThroughListings_)
    return Resolve(Join(dir, *link));
  return FollowLink(dir, *link);
}

std::optional<std::string> SysfsTree::LinkedDirectory(const std::string& dir,
                                                      std::string_view name) const {
  if (!IsPlainName(name) || !followThroughListings_ || canonical_.count(dir) == 0)
    return Child(dir, name);
  const Listing* listing = ListingOf(dir);
  const std::optional<unsigned char> type =
      listing != nullptr ? listing->Find(name) : std::optional<unsigned char>();
  if (!type || *type != DT_LNK)
    return Child(dir, name);
  const std::optional<std::string> link = ReadLink(dir, name);
  if (!link || link->front() == '/')
    return Child(dir, name);
  // Where the link text says, ".." only at its start; anything else goes
  // the usual way.
  std::string path = dir;
  bool down = false;
  for (std::size_t pos = 0; pos <= link->size();) {
    const std::size_t end = std::min(link->find('/', pos), link->size());
    const std::string_view part = std::string_view(*link).substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".")
      continue;
    if (part == "..") {
      if (down || path == sys_)
        return FollowLink(dir, *link);
      path = ParentPath(path);
      continue;
    }
    down = true;
    path += '/';
    path += part;
  }
  if (!down || canonical_.count(path) != 0)
    return FollowLink(dir, *link);
  if (const std::optional<std::string_view> relative = Relative(path)) {
    if (UniqueFd fd = OpenBeneathWithoutLinks(sysFd_->Get(), *relative, O_RDONLY | O_DIRECTORY)) {
      canonical_.insert(path);
      KeepDirFd(path, std::move(fd));
      return path;
    }
  }
  return FollowLink(dir, *link);
}

std::optional<std::string> SysfsTree::FollowLink(const std::string& dir,
                                                 std::string_view link) const {
  // Every prefix of a canonical path is canonical: ".." is its parent, and
  // a real folder below it (as its listing says) is canonical in turn.
  std::string path = dir;
  std::size_t pos = 0;
  while (pos <= link.size()) {
    const std::size_t end = std::min(link.find('/', pos), link.size());
    const std::string_view part = link.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".")
      continue;
    if (part == "..") {
      if (path == sys_)
        return Resolve(Join(dir, link));  // leads out
      path = ParentPath(path);
      continue;
    }
    const Listing* listing = ListingOf(path);
    const std::optional<unsigned char> type =
        listing != nullptr ? listing->Find(part) : std::nullopt;
    if (!type || *type != DT_DIR)
      return Resolve(Join(dir, link));  // a link, a file, or nothing: the kernel decides
    path += '/';
    path += part;
  }
  canonical_.insert(path);
  return path;
}

int SysfsTree::OpenDirFd(const std::string& dir) const {
  for (auto kept = dirFds_.rbegin(); kept != dirFds_.rend(); ++kept) {
    if (kept->first == dir)
      return kept->second.Get();
  }
  return -1;
}

int SysfsTree::DirFd(const std::string& dir) const {
  // The most recently used last: a bus's folder of device links stays open
  // while its devices are looked at one by one.
  for (auto kept = dirFds_.rbegin(); kept != dirFds_.rend(); ++kept) {
    if (kept->first == dir) {
      std::rotate(kept.base() - 1, kept.base(), dirFds_.end());
      return dirFds_.back().second.Get();
    }
  }
  UniqueFd fd = Open(dir, O_RDONLY | O_DIRECTORY);
  if (!fd)
    return -1;
  return KeepDirFd(dir, std::move(fd));
}

int SysfsTree::KeepDirFd(const std::string& dir, UniqueFd fd) const {
  // Enough for a small machine's nodes to stay open from one pass over
  // them to the next; far below the usual limit of 1,024 descriptors.
  constexpr std::size_t kKept = 64;
  if (dirFds_.size() >= kKept)
    dirFds_.erase(dirFds_.begin());
  dirFds_.emplace_back(dir, std::move(fd));
  return dirFds_.back().second.Get();
}

std::optional<std::string> SysfsTree::ReadLink(const std::string& dir,
                                               std::string_view name) const {
  std::array<char, PATH_MAX> target;  // NOLINT: filled by readlinkat
  ssize_t length = -1;
  if (const int dirFd = DirFd(dir); dirFd >= 0) {
    length = readlinkat(dirFd, std::string(name).c_str(), target.data(), target.size() - 1);
  } else if (const UniqueFd link = OpenIn(dir, name, O_PATH | O_NOFOLLOW)) {
    length = readlinkat(link.Get(), "", target.data(), target.size() - 1);
  }
  if (length <= 0)
    return std::nullopt;
  return std::string(target.data(), static_cast<std::size_t>(length));
}

std::optional<unsigned char> SysfsTree::Listing::Find(std::string_view name) const {
  const auto found = std::lower_bound(
      entries.begin(), entries.end(), name,
      [this](const Entry& entry, std::string_view key) { return Name(entry) < key; });
  if (found == entries.end() || Name(*found) != name)
    return std::nullopt;
  return found->type;
}

std::size_t SysfsTree::ListingHash::operator()(
    const std::shared_ptr<const Listing>& listing) const {
  std::size_t hash = std::hash<std::string_view>()(listing->names);
  for (const Listing::Entry& entry : listing->entries)
    hash = hash * 31 + entry.length * 256U + entry.type;
  return hash;
}

bool SysfsTree::ListingsEqual::operator()(const std::shared_ptr<const Listing>& a,
                                          const std::shared_ptr<const Listing>& b) const {
  // Laid out in name order, equal names and lengths make equal offsets.
  return a->names == b->names &&
         std::equal(a->entries.begin(), a->entries.end(), b->entries.begin(), b->entries.end(),
                    [](const Listing::Entry& x, const Listing::Entry& y) {
                      return x.length == y.length && x.type == y.type;
                    });
}

std::shared_ptr<const SysfsTree::Listing> SysfsTree::KnownListing(const std::string& dir) const {
  const auto cached = listings_.find(dir);
  return cached != listings_.end() ? cached->second : nullptr;
}

void SysfsTree::AssumeEntries(const std::string& dir, std::shared_ptr<const Listing> listing) {
  assumed_ = {dir, std::move(listing)};
}

const SysfsTree::Listing* SysfsTree::AssumedListing(const std::string& dir) const {
  return assumed_.second && assumed_.first == dir ? assumed_.second.get() : nullptr;
}

const SysfsTree::Listing* SysfsTree::EntriesOf(const std::string& dir) const {
  const Listing* assumed = AssumedListing(dir);
  return assumed != nullptr ? assumed : ListingOf(dir);
}

const SysfsTree::Listing* SysfsTree::ListingOf(const std::string& dir) const {
  const auto cached = listings_.find(dir);
  if (cached != listings_.end())
    return cached->second.get();
  std::shared_ptr<Listing> listing;
  // getdents64 straight: opendir would also stat the folder. Read once per
  // tree: the descriptor is at the start of the folder.
  const int fd = DirFd(dir);
  if (fd >= 0) {
    listing = std::make_shared<Listing>();
    alignas(8) std::array<char, 32768> buffer;  // NOLINT: filled by getdents64
    while (true) {
      const long got = syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
      if (got < 0) {
        listing.reset();
        break;
      }
      if (got == 0)
        break;
      // Room for this batch at once, and no more: a folder's listing is
      // kept for the life of the set.
      std::size_t count = 0;
      std::size_t bytes = 0;
      for (long pos = 0; pos < got; ++count) {
        unsigned short length = 0;
        std::memcpy(&length, buffer.data() + pos + 16, sizeof length);
        bytes += std::strlen(buffer.data() + pos + 19);
        pos += length;
      }
      listing->entries.reserve(listing->entries.size() + count);
      listing->names.reserve(listing->names.size() + bytes);
      for (long pos = 0; pos < got;) {
        // linux_dirent64: inode, offset, record length, type, name.
        unsigned short length = 0;
        std::memcpy(&length, buffer.data() + pos + 16, sizeof length);
        const auto type = static_cast<unsigned char>(buffer[static_cast<std::size_t>(pos) + 18]);
        const std::string_view name(buffer.data() + pos + 19);
        if (name != "." && name != ".." && name.size() <= UINT16_MAX) {
          listing->entries.push_back({static_cast<std::uint32_t>(listing->names.size()),
                                      static_cast<std::uint16_t>(name.size()), type});
          listing->names += name;
        }
        pos += length;
      }
      // linux_dirent64 of a 255-byte name: 19 bytes, the name, its end, aligned to 8.
      constexpr long kLongestRecord = 280;
      if (fillsBatches_ && static_cast<long>(buffer.size()) - got >= kLongestRecord)
        break;
    }
    if (listing) {
      std::sort(listing->entries.begin(), listing->entries.end(),
                [&](const Listing::Entry& a, const Listing::Entry& b) {
                  return listing->Name(a) < listing->Name(b);
                });
      // Devices of one kind hold the same attributes: their folders share
      // one listing, laid out afresh in name order.
      Listing sorted;
      sorted.names.reserve(listing->names.size());
      sorted.entries.reserve(listing->entries.size());
      for (const Listing::Entry& entry : listing->entries) {
        sorted.entries.push_back(
            {static_cast<std::uint32_t>(sorted.names.size()), entry.length, entry.type});
        sorted.names += listing->Name(entry);
      }
      auto shared = std::make_shared<const Listing>(std::move(sorted));
      listing.reset();
      return listings_.emplace(dir, *sharedListings_.insert(std::move(shared)).first)
          .first->second.get();
    }
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
    for (const Listing::Entry& entry : listing->entries)
      names.emplace_back(listing->Name(entry));
  }
  return names;
}

std::optional<std::string> SysfsTree::Read(const std::string& dir, std::string_view name) const {
  return ReadAttribute(dir, name, true);
}

std::optional<std::string> SysfsTree::ReadAlone(const std::string& dir,
                                                std::string_view name) const {
  return ReadAttribute(dir, name, false);
}

std::optional<std::string> SysfsTree::ReadAttribute(const std::string& dir, std::string_view name,
                                                    bool listFolder) const {
  if (!IsPlainName(name))
    return std::nullopt;
  // Only a regular file is an attribute (a file system that does not tell
  // the type is asked).
  bool regular = false;
  const Listing* known = AssumedListing(dir);
  if (known == nullptr && !listFolder) {
    const auto cached = listings_.find(dir);
    known = cached != listings_.end() ? cached->second.get() : nullptr;
  }
  if (const Listing* listing = listFolder ? EntriesOf(dir) : known) {
    const std::optional<unsigned char> type = listing->Find(name);
    if (!type || (*type != DT_REG && *type != DT_UNKNOWN))
      return std::nullopt;
    regular = *type == DT_REG;
  }
  // Not following a link, and not waiting on a FIFO put in a file's place
  // since the listing.
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK;
  // Below a folder still open, or else in one call from <root>/sys rather
  // than opening and closing the folder as well (where the kernel confines
  // opens; a walk by hand costs a call for each folder on the way).
  const int dirFd = KernelConfinesOpens() ? OpenDirFd(dir) : DirFd(dir);
  const UniqueFd fd = dirFd >= 0
                          ? UniqueFd(openat(dirFd, std::string(name).c_str(), kFlags | O_CLOEXEC))
                          : OpenIn(dir, name, kFlags);
  if (!fd)
    return std::nullopt;
  struct stat info {};
  if (!regular && (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)))
    return std::nullopt;
  // Attributes are at most a page; more is not an attribute we want. A
  // short read is the whole of it (sysfs hands an attribute out at once).
  std::array<char, 4096> buffer;  // NOLINT: filled by read
  std::size_t used = 0;
  while (used < buffer.size()) {
    const std::size_t wanted = buffer.size() - used;
    const ssize_t got = read(fd.Get(), buffer.data() + used, wanted);
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

bool SysfsTree::HasFile(const std::string& dir, std::string_view name) const {
  if (!IsPlainName(name))
    return false;
  if (const Listing* listing = EntriesOf(dir)) {
    const std::optional<unsigned char> type = listing->Find(name);
    if (!type || (*type != DT_REG && *type != DT_UNKNOWN))
      return false;
    if (*type == DT_REG)
      return true;
  }
  return Read(dir, name).has_value();
}

bool SysfsTree::Has(const std::string& dir, std::string_view name) const {
  if (!IsPlainName(name))
    return false;
  if (const Listing* listing = EntriesOf(dir))
    return listing->Find(name).has_value();
  // O_PATH with O_NOFOLLOW opens a link itself: a dangling one counts.
  return static_cast<bool>(OpenIn(dir, name, O_PATH | O_NOFOLLOW));
}

std::optional<std::string> SysfsTree::LinkName(const std::string& dir,
                                               std::string_view name) const {
  if (!IsPlainName(name))
    return std::nullopt;
  // A link assumed absent may have come since: the kernel is asked.
  if (AssumedListing(dir) == nullptr) {
    if (const Listing* listing = ListingOf(dir)) {
      const std::optional<unsigned char> type = listing->Find(name);
      if (!type || (*type != DT_LNK && *type != DT_UNKNOWN))
        return std::nullopt;
    }
  }
  std::optional<std::string> link = ReadLink(dir, name);
  if (!link)
    return std::nullopt;
  std::string text = std::move(*link);
  while (!text.empty() && text.back() == '/')
    text.pop_back();
  const std::string base = BaseName(text);
  if (base.empty())
    return std::nullopt;
  return base;
}

bool SysfsTree::IsDirectory(const std::string& path) const {
  // A canonical path has no link in it: a folder held open on it, or its
  // entry in its folder, tells.
  if (canonical_.count(path) != 0 && path != sys_) {
    if (OpenDirFd(path) >= 0)
      return true;
    if (const Listing* listing = ListingOf(ParentPath(path))) {
      const std::optional<unsigned char> type = listing->Find(BaseName(path));
      if (type && *type != DT_UNKNOWN)
        return *type == DT_DIR;
    }
  }
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
