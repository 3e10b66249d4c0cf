#include "devices/devicefile/DeviceFileStore.h"

// Before <windows.h>: its macros share names with the constants here.
#include "devices/DeviceService.h"
#include "os/LocaleText.h"
#include "os/MemoryAdvice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillon::devices::devicefile {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kWriteProtect = 19;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kFileTooLarge = 223;  // ERROR_FILE_TOO_LARGE

// Another change holds the lock for one read, write and flush: milliseconds,
// or seconds on a slow disk. A lock held longer belongs to a stuck process.
constexpr auto kLockPatience = std::chrono::seconds(20);

FileError TooLarge(std::uint64_t size) {
  return {error::kInvalidData, "too large (" + std::to_string(size) +
                                   " bytes): a device file may have at most " +
                                   std::to_string(kMaxDeviceFileSize >> 20) + " MiB"};
}

// Waits for `tryLock` to succeed, longer each time; false when it never did.
template <typename TryLock>
bool WaitFor(TryLock tryLock) {
  const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (tryLock())
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

// Temporary files are named "." + the file's name + ".tmp-" + a unique part
// of letters, digits and "-", so that leftovers can be told from the user's files.
std::string TemporaryPrefix(const fs::path& target) {
  // Built by appending: GCC 12 at -O3 misreads operator+ chains here (-Wrestrict).
  std::string prefix = ".";
  prefix += NarrowFromPath(target.filename());
  prefix += ".tmp-";
  return prefix;
}

bool IsLeftoverName(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 24 ||
      name.substr(0, prefix.size()) != prefix) {
    return false;
  }
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) {
                       return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                              (c >= 'A' && c <= 'Z') || c == '-';
                     });
}

// Removes what a killed change left behind: regular files of our naming
// beside the target. Only under the lock, so that none of them is being written.
void RemoveLeftovers(const fs::path& target) {
  const std::string prefix = TemporaryPrefix(target);
  std::error_code ec;
  for (fs::directory_iterator it(target.parent_path(), ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code statusError;
    if (IsLeftoverName(NarrowFromPath(it->path().filename()), prefix) &&
        fs::is_regular_file(it->symlink_status(statusError))) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

}  // namespace

std::uint32_t ErrorFromErrno(int errnoValue) {
  switch (errnoValue) {
    case ENOENT:
      return error::kFileNotFound;
    case ENOTDIR:
      return error::kPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return error::kAccessDenied;
    case EROFS:
      return kWriteProtect;
    case ENOSPC:
      return kDiskFull;
#ifdef EDQUOT
    case EDQUOT:
      return kDiskFull;
#endif
    case EFBIG:
      return kFileTooLarge;
    case ENOMEM:
      return error::kNotEnoughMemory;
    case EBUSY:
      return error::kBusy;
    case EINVAL:
      return error::kInvalidParameter;
    default:
      return error::kGenFailure;
  }
}

ChangeLock::~ChangeLock() {
  Release();
}

#ifdef _WIN32

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

FileError LastWindowsError(const char* what) {
  const DWORD code = ::GetLastError();
  std::string message = std::system_category().message(static_cast<int>(code));
  return {static_cast<std::uint32_t>(code),
          what == nullptr ? message : std::string(what) + ": " + message};
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& text, FileError& error) {
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    error = LastWindowsError(nullptr);
    return false;
  }
  // Pipes and devices (\\.\pipe\..., CON) would block or never end.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    error = {error::kInvalidData, "not a regular file"};
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) {
    error = LastWindowsError(nullptr);
    return false;
  }
  if (static_cast<std::uint64_t>(size.QuadPart) > kMaxDeviceFileSize) {
    error = TooLarge(static_cast<std::uint64_t>(size.QuadPart));
    return false;
  }
  std::string content;
  content.reserve(static_cast<std::size_t>(size.QuadPart));
  char chunk[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
      error = LastWindowsError(nullptr);
      return false;
    }
    if (got == 0)
      break;
    content.append(chunk, got);
    if (content.size() > kMaxDeviceFileSize) {  // grown since it was measured
      error = TooLarge(content.size());
      return false;
    }
  }
  text = std::move(content);
  return true;
}

void ChangeLock::Release() {
  if (handle_ != -1)
    CloseHandle(reinterpret_cast<HANDLE>(handle_));  // releases the lock too
  handle_ = -1;
  held_ = false;
}

bool ChangeLock::Acquire(const std::string& path, FileError& error) {
  Release();
  std::error_code ec;
  const fs::path target = fs::canonical(PathFromNarrow(path), ec);
  if (ec) {
    error = {static_cast<std::uint32_t>(ec.value()), ec.message()};
    return false;
  }
  // A lock file beside the target: the rename replaces the target's handle.
  std::string name = ".";
  name += NarrowFromPath(target.filename());
  name += ".lock";
  const std::string lockPath = NarrowFromPath(target.parent_path() / PathFromNarrow(name));
  HANDLE handle = CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = LastWindowsError("cannot create the lock file");
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  held_ = WaitFor([handle] {
    OVERLAPPED whole{};
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &whole) != 0;
  });
  if (!held_) {
    error = {kSharingViolation, "another change of this file does not finish"};
    Release();
    return false;
  }
  return true;
}

bool ReplaceFileContent(const ChangeLock& lock, const std::string& path, const std::string& text,
                        FileError& error) {
  std::error_code ec;
  const fs::path target = fs::canonical(PathFromNarrow(path), ec);  // through a link, to its file
  if (ec) {
    error = {static_cast<std::uint32_t>(ec.value()), ec.message()};
    return false;
  }
  const std::string targetText = NarrowFromPath(target);
  const DWORD attributes = GetFileAttributesA(targetText.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    error = {error::kAccessDenied, "cannot write: the file is read-only"};
    return false;
  }
  if (lock.Held())
    RemoveLeftovers(target);
  const std::string prefix =
      NarrowFromPath(target.parent_path() / PathFromNarrow(TemporaryPrefix(target))) +
      std::to_string(GetCurrentProcessId()) + "-";
  std::string temporary;
  UniqueHandle file;
  for (unsigned attempt = 0; attempt < 100 && !file; ++attempt) {
    temporary = prefix + std::to_string(attempt);
    HANDLE handle = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file.reset(handle);
    } else if (::GetLastError() != ERROR_FILE_EXISTS) {
      error = LastWindowsError("cannot create a temporary file");
      return false;
    }
  }
  if (!file) {
    error = {error::kGenFailure, "cannot create a temporary file"};
    return false;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - written, 1u << 30));
    DWORD done = 0;
    if (!WriteFile(file.get(), text.data() + written, chunk, &done, nullptr)) {
      error = LastWindowsError("cannot write");
      file.reset();
      DeleteFileA(temporary.c_str());
      return false;
    }
    written += done;
  }
  if (!FlushFileBuffers(file.get())) {
    error = LastWindowsError("cannot flush");
    file.reset();
    DeleteFileA(temporary.c_str());
    return false;
  }
  file.reset();
  // ReplaceFile keeps the target's security descriptor and attributes.
  if (!ReplaceFileA(targetText.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                    nullptr, nullptr) &&
      !MoveFileExA(temporary.c_str(), targetText.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = LastWindowsError("cannot replace the file");
    DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
}

#else

namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, to see the error a deferred write may report.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Removes the temporary file unless it has been renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!committed_)
      ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void Commit() { committed_ = true; }

 private:
  std::string path_;
  bool committed_ = false;
};

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
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0) {
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
    const ssize_t got = ::read(file.get(), content.data() + filled, content.size() - filled);
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

bool ReplaceFileContent(const ChangeLock& lock, const std::string& path, const std::string& text,
                        FileError& error) {
  std::error_code ec;
  // Through a symbolic link to the file it names: the link stays a link.
  const fs::path target = fs::canonical(fs::path(path), ec);
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
  if (lock.Held())
    RemoveLeftovers(target);

  std::string pattern = (target.parent_path() / (TemporaryPrefix(target) + "XXXXXX")).string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0)
    return Fail(error, "cannot create a temporary file", errno);
  UniqueFd file(fd);
  TemporaryFile temporary(pattern);

  if (::fchmod(file.get(), original.st_mode & 07777) != 0) {
    return Fail(error, "cannot set permissions", errno);
  }
  // Keeps the owner when we may (as root); otherwise the file becomes ours.
  if (::fchown(file.get(), original.st_uid, original.st_gid) != 0) {
    errno = 0;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t done = ::write(file.get(), text.data() + written, text.size() - written);
    if (done < 0) {
      if (errno == EINTR)
        continue;
      return Fail(error, "cannot write", errno);
    }
    written += static_cast<std::size_t>(done);
  }
  if (::fsync(file.get()) != 0)
    return Fail(error, "cannot flush", errno);
  if (file.Close() != 0)
    return Fail(error, "cannot write", errno);
  if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
    return Fail(error, "cannot replace the file", errno);
  }
  temporary.Commit();
  // Makes the rename itself durable; the new content is in place either way.
  const int directory = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

#endif

}  // namespace quillon::devices::devicefile
