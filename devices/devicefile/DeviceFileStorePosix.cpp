// The device-file store on POSIX systems: descriptors, flock on the folder,
// and what may be replaced.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "devices/DeviceService.h"
#include "devices/devicefile/DeviceFileStore.h"
#include "devices/devicefile/DeviceFileStoreShared.h"
#include "os/MemoryAdvice.h"
#include "os/UniqueFd.h"

namespace quillon::devices::devicefile {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(int errnoValue) {
  return std::generic_category().message(errnoValue);
}

bool Fail(FileError& error, const std::string& what, int errnoValue) {
  error = {ErrorFromErrno(errnoValue), what + ": " + ErrnoText(errnoValue)};
  return false;
}

const char* KindOf(mode_t mode) {
  if (S_ISFIFO(mode))
    return "a FIFO";
  if (S_ISCHR(mode))
    return "a character device";
  if (S_ISBLK(mode))
    return "a block device";
  if (S_ISSOCK(mode))
    return "a socket";
  return "not a plain file";
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& text, FileError& error) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer. It is refused below.
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0) {
    const int err = errno;
    error = {ErrorFromErrno(err), ErrnoText(err)};
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    error = {ErrorFromErrno(EISDIR), ErrnoText(EISDIR)};
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = {error::kInvalidData, std::string("not a regular file but ") + KindOf(info.st_mode)};
    return false;
  }
  if (static_cast<std::uint64_t>(info.st_size) > kMaxDeviceFileSize) {
    error = TooLarge(static_cast<std::uint64_t>(info.st_size));
    return false;
  }
  // Read straight into a buffer sized for the file as it is now, a little
  // larger so that the read that finds the end needs no second buffer; a file
  // that grows meanwhile still reads whole, one that shrinks reads what is there.
  std::string content;
  content.resize(static_cast<std::size_t>(info.st_size) + 4096);
  AdviseHugePages(content.data(), content.size());
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size())
      content.resize(content.size() + 65536);
    const ssize_t got = ::read(file.Get(), content.data() + filled, content.size() - filled);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      const int err = errno;
      error = {ErrorFromErrno(err), ErrnoText(err)};
      return false;
    }
    if (got == 0)
      break;
    filled += static_cast<std::size_t>(got);
    if (filled > kMaxDeviceFileSize) {  // grown since it was measured
      error = TooLarge(filled);
      return false;
    }
  }
  content.resize(filled);
  text = std::move(content);
  return true;
}

void ChangeLock::Release() {
  if (handle_ >= 0)
    ::close(static_cast<int>(handle_));  // releases the lock too
  handle_ = -1;
  held_ = false;
}

bool ChangeLock::Acquire(const std::string& path, FileError& error) {
  Release();
  std::error_code ec;
  const fs::path target = fs::canonical(fs::path(path), ec);
  if (ec)
    return Fail(error, "cannot resolve the path", ec.value());
  // The folder: a rename leaves it in place, and it needs no file of its own.
  const int fd = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return Fail(error, "cannot open the folder", errno);
  handle_ = fd;
  int lockError = 0;
  held_ = WaitFor([fd, &lockError] {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR)
        continue;
      lockError = errno;
      return errno != EWOULDBLOCK;  // anything else: no waiting helps
    }
    lockError = 0;
    return true;
  });
  if (!held_) {
    Release();
    error = {kSharingViolation, "another change of this file does not finish"};
    return false;
  }
  if (lockError != 0) {
    // A file system without locks (some network mounts): changes go ahead
    // unserialised, as they did before locking existed.
    held_ = false;
  }
  return true;
}

bool ReplaceableTarget(const std::string& path, fs::path& target, FileError& error) {
  std::error_code ec;
  // Through a symbolic link to the file it names: the link stays a link.
  target = fs::canonical(fs::path(path), ec);
  if (ec)
    return Fail(error, "cannot resolve the path", ec.value());
  struct stat original {};
  if (::stat(target.c_str(), &original) != 0)
    return Fail(error, "cannot stat", errno);
  // Replacing the file needs only the directory's permission; a file made
  // read-only is still meant to stay as it is, also for root, whom the
  // probe below lets through.
  if ((original.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
    return Fail(error, "cannot write", EACCES);
  // Opening it for writing asks exactly that, with this process's rights.
  const int probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0)
    return Fail(error, "cannot write", errno);
  ::close(probe);
  return true;
}

}  // namespace quillon::devices::devicefile
