#include "DeviceFileStore.h"

// Before <windows.h>: its macros share names with the constants here.
#include "DeviceService.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillon::devices::devicefile {

namespace {

constexpr std::uint32_t kWriteProtect = 19;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kFileTooLarge = 223;  // ERROR_FILE_TOO_LARGE

std::string ErrnoText(int errnoValue) {
  return std::generic_category().message(errnoValue);
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

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

bool ReadWholeFile(const std::string& path, std::string& text, FileError& error) {
  errno = 0;
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    const int err = errno != 0 ? errno : EIO;
    error = {ErrorFromErrno(err), ErrnoText(err)};
    return false;
  }
  std::string content;
  // Sized once for the file as it is now; a file that grows meanwhile still reads whole.
  std::error_code ec;
  if (const auto size = std::filesystem::file_size(path, ec); !ec)
    content.reserve(static_cast<std::size_t>(size));
  char chunk[65536];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
    content.append(chunk, got);
    if (got < sizeof chunk)
      break;
  }
  if (std::ferror(file.get())) {
    const int err = errno != 0 ? errno : EIO;
    error = {ErrorFromErrno(err), ErrnoText(err)};
    return false;
  }
  text = std::move(content);
  return true;
}

#ifdef _WIN32

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

FileError LastWindowsError(const char* what) {
  const DWORD code = ::GetLastError();
  return {static_cast<std::uint32_t>(code),
          std::string(what) + ": " + std::system_category().message(static_cast<int>(code))};
}

}  // namespace

bool ReplaceFileContent(const std::string& path, const std::string& text, FileError& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path target = fs::canonical(fs::path(path), ec);  // through a link, to its file
  if (ec) {
    error = {static_cast<std::uint32_t>(ec.value()), ec.message()};
    return false;
  }
  const std::string targetText = target.string();
  std::string temporary;
  UniqueHandle file;
  for (unsigned attempt = 0; attempt < 100 && !file; ++attempt) {
    temporary =
        targetText + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
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

bool Fail(FileError& error, const std::string& what, int errnoValue) {
  error = {ErrorFromErrno(errnoValue), what + ": " + ErrnoText(errnoValue)};
  return false;
}

}  // namespace

bool ReplaceFileContent(const std::string& path, const std::string& text, FileError& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // Through a symbolic link to the file it names: the link stays a link.
  const fs::path target = fs::canonical(fs::path(path), ec);
  if (ec)
    return Fail(error, "cannot resolve the path", ec.value());
  struct stat original {};
  if (::stat(target.c_str(), &original) != 0)
    return Fail(error, "cannot stat", errno);
  // Replacing the file needs only the directory's permission; a file made
  // read-only is still meant to stay as it is.
  // Opening it for writing asks exactly that, with this process's rights.
  const int probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0)
    return Fail(error, "cannot write", errno);
  ::close(probe);

  // Built by appending: GCC 12 at -O3 misreads operator+ chains here (-Wrestrict).
  std::string name = ".";
  name += target.filename().string();
  name += ".XXXXXX";
  std::string pattern = (target.parent_path() / name).string();
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
