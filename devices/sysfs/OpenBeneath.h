// Opening files below a directory without ever leaving it: a tree handed to
// the sysfs source (a test tree, a copy of another machine) may hold links
// that lead anywhere, and the source runs as root when it changes devices.
// The kernel does the confining where it can (openat2, Linux 5.6); older
// kernels get a walk that opens one component at a time without following
// links and follows each link by hand.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/UniqueFd.h"

namespace quillon::devices::sysfs {

using devices::UniqueFd;

// What a link or ".." may do at the base directory.
enum class Confine {
  kBeneath,  // nothing may reach above it: absolute links and such ".." fail with EXDEV
  kInRoot,   // it is "/": absolute links start there and ".." stays there, as in a chroot
};

// Opens `relative` (components separated by '/'; empty means the base
// itself) below the directory `base` with open(2) `flags`, resolving every
// component beneath `base`. O_NOFOLLOW applies to the last component only.
// Empty with errno set on failure; EXDEV when a link leads out.
UniqueFd OpenBeneath(int base, std::string_view relative, int flags, Confine confine);

// Opens `relative` below `base` only if no component of it is a link (nor
// "..": the path must be canonical as it stands). Empty with errno set on
// failure; ENOSYS when the kernel cannot say (then ask ResolveBeneath).
UniqueFd OpenBeneathWithoutLinks(int base, std::string_view relative, int flags);

// Opens `relative` below the root of a file system (`root`; empty for
// "/"), its links resolved as in a chroot to `root`.
UniqueFd OpenInRoot(const std::string& root, std::string_view relative, int flags);

// The path the kernel shows for an open descriptor (through /proc); none
// when /proc cannot tell.
std::optional<std::string> PathOf(int fd);

// The canonical path `relative` resolves to below `base`, whose own
// canonical path is `basePath` (PathOf(base) where /proc is mounted); none
// when it does not exist or leads out.
std::optional<std::string> ResolveBeneath(int base, const std::string& basePath,
                                          std::string_view relative, Confine confine);

// True while opens are confined by the kernel (openat2) in one call, false
// where each is a walk of one call per component.
bool KernelConfinesOpens();

// For tests: resolve by hand as on kernels without openat2.
void UseComponentWalkForTesting(bool on);

}  // namespace quillon::devices::sysfs
