// Access to one sysfs tree, <root>/sys. Every path handed out is canonical
// (symlinks resolved) and stays under that directory, and every file and
// directory is opened resolved beneath it (OpenBeneath): links inside the
// tree work as in sysfs, links that lead out of it are dead ends. Attribute
// files are read without following a final symlink.
//
// A tree remembers each directory's entries once listed: a node is asked for
// dozens of attributes and class folders it mostly lacks, and on a big
// machine a system call for each would be most of the time spent. Make a new
// tree (Fresh) to see the file system afresh. It also keeps the last 64
// directories it read open, so that a node's attributes and links are opened
// by their own names below them; an attribute of a folder no longer open is
// opened along its path in one call rather than opening the folder again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "devices/sysfs/OpenBeneath.h"

namespace quillon::devices::sysfs {

class SysfsTree {
 public:
  // `root` is the prefix before "/sys"; empty for this computer. <root>/sys
  // itself must lie beneath <root>.
  explicit SysfsTree(const std::string& root);

  // The same tree seen afresh: nothing remembered, and links and attributes
  // asked of the kernel one by one (no values taken from uevent files).
  SysfsTree Fresh() const;

  // Whether a node's attributes may be taken from its uevent file (on by
  // default; off only to compare with the attribute files read one by one).
  bool ReadsUevents() const { return readsUevents_; }
  void SetReadsUevents(bool reads) { readsUevents_ = reads; }

  // False when <root>/sys is missing or not a directory.
  bool Ok() const { return !sys_.empty(); }
  // Canonical <root>/sys.
  const std::string& Sys() const { return sys_; }

  // Canonical form of `path` when it exists and lies under Sys().
  std::optional<std::string> Resolve(const std::string& path) const;
  // True when the canonical directory `path` is still there as it was
  // found: Resolve(path) == path, in one system call where the kernel can.
  bool IsCanonicalDirectory(const std::string& path) const;
  // Resolve(dir + "/" + name).
  std::optional<std::string> Child(const std::string& dir, std::string_view name) const;
  // Child(dir, name) for a link that most likely leads to a folder whose
  // own folder nobody lists: it is opened confined and without links (and
  // kept open) instead of listing the folders on its way.
  std::optional<std::string> LinkedDirectory(const std::string& dir, std::string_view name) const;
  // True when `canonical` is Sys() or lies below it.
  bool Contains(const std::string& canonical) const;

  // Entry names of a directory (without "." and ".."), sorted; empty when unreadable.
  std::vector<std::string> List(const std::string& dir) const;
  // Content of a small attribute file, trailing white space removed. None when
  // the file is missing, unreadable, a directory or a symlink.
  std::optional<std::string> Read(const std::string& dir, std::string_view name) const;
  // Read, for a folder whose one attribute is read: opened straight
  // rather than listing the folder first.
  std::optional<std::string> ReadAlone(const std::string& dir, std::string_view name) const;
  // True when `dir` holds an attribute file `name`: what Read would read,
  // without reading it where the listing tells.
  bool HasFile(const std::string& dir, std::string_view name) const;
  // True when `dir` holds an entry `name` of any kind (a dangling link counts).
  bool Has(const std::string& dir, std::string_view name) const;
  // Last path component of the target of symlink `dir/name`.
  std::optional<std::string> LinkName(const std::string& dir, std::string_view name) const;
  // True when `path` names an existing directory.
  bool IsDirectory(const std::string& path) const;
  // Opens `path` (under Sys()) with open(2) `flags`, resolved beneath Sys().
  // Empty with errno set on failure (EXDEV: it would leave the tree).
  UniqueFd Open(const std::string& path, int flags) const;

  // A directory's entries, sorted by name, with their dirent types.
  // Compact: a machine's tens of thousands of folders stay listed for the
  // life of a set, a dozen or more entries each.
  struct Listing {
    struct Entry {
      std::uint32_t offset = 0;  // of the name in `names`
      std::uint16_t length = 0;
      unsigned char type = 0;
    };
    std::string names;           // the entries' names, one after another
    std::vector<Entry> entries;  // sorted by name
    std::string_view Name(const Entry& entry) const {
      return std::string_view(names).substr(entry.offset, entry.length);
    }
    // The type of `name` (DT_UNKNOWN when the file system does not say),
    // none when there is no such entry.
    std::optional<unsigned char> Find(std::string_view name) const;
  };
  // The listing of `dir` when this tree has already read it; never reads.
  std::shared_ptr<const Listing> KnownListing(const std::string& dir) const;
  // Takes `listing`, read earlier, for which attribute files and links the
  // device folder `dir` holds: a device's attributes stay while it lives,
  // their values change. Read and Has then ask the kernel only for what it
  // names; links are still read afresh (a driver comes and goes).
  void AssumeEntries(const std::string& dir, std::shared_ptr<const Listing> listing);

 private:
  SysfsTree() = default;

  // The listing of `dir`, nullptr when it cannot be read.
  const Listing* ListingOf(const std::string& dir) const;
  // What AssumeEntries said `dir` holds, nullptr when it said nothing.
  const Listing* AssumedListing(const std::string& dir) const;
  // What `dir` holds: as assumed, else as listed.
  const Listing* EntriesOf(const std::string& dir) const;
  // `path` relative to Sys(); none when it does not start there.
  std::optional<std::string_view> Relative(const std::string& path) const;
  UniqueFd OpenIn(const std::string& dir, std::string_view name, int flags) const;
  std::optional<std::string> ReadAttribute(const std::string& dir, std::string_view name,
                                           bool listFolder) const;
  // An open descriptor of directory `dir` (resolved beneath Sys()), owned by
  // the tree; -1 with errno set when it cannot be opened.
  int DirFd(const std::string& dir) const;
  // The descriptor of `dir` when the tree holds it open, else -1.
  int OpenDirFd(const std::string& dir) const;
  // Keeps `fd`, open on directory `dir`, among the few the tree holds.
  int KeepDirFd(const std::string& dir, UniqueFd fd) const;
  // The target of the link `name` in `dir`, as written; none when it is no link.
  std::optional<std::string> ReadLink(const std::string& dir, std::string_view name) const;
  // Where the relative link text `link` in canonical `dir` leads, followed
  // through the listings while it passes only real folders; anything else
  // is left to Resolve.
  std::optional<std::string> FollowLink(const std::string& dir, std::string_view link) const;

  std::string sys_;
  // Links followed through the listings of the folders on their way: worth
  // it when many nodes share those folders, not in a fresh tree that looks
  // at one node.
  bool followThroughListings_ = true;
  bool readsUevents_ = true;
  // Whether the file system fills each getdents64 batch while entries fit.
  bool fillsBatches_ = false;
  std::shared_ptr<const UniqueFd> sysFd_;  // shared with the trees Fresh makes
  mutable std::unordered_map<std::string, std::shared_ptr<const Listing>> listings_;
  // Listings by content, each kept once however many folders hold it.
  struct ListingHash {
    std::size_t operator()(const std::shared_ptr<const Listing>& listing) const;
  };
  struct ListingsEqual {
    bool operator()(const std::shared_ptr<const Listing>& a,
                    const std::shared_ptr<const Listing>& b) const;
  };
  mutable std::unordered_set<std::shared_ptr<const Listing>, ListingHash, ListingsEqual>
      sharedListings_;
  std::pair<std::string, std::shared_ptr<const Listing>> assumed_;
  // Directories known to be canonical: Sys() and what Resolve handed out.
  mutable std::unordered_set<std::string> canonical_;
  // Open directories, oldest first: a node's attributes are read together.
  mutable std::vector<std::pair<std::string, UniqueFd>> dirFds_;
};

// Directory part of a canonical path ("/a/b" gives "/a").
std::string ParentPath(const std::string& path);
// Last component of a path.
std::string BaseName(const std::string& path);

}  // namespace quillon::devices::sysfs
