#include "tools/ExportFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "os/StandardStreams.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace quillon::tools {

namespace {

namespace fs = std::filesystem;

// What a path is, for the line that refuses it.
std::string KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory:
      return "a folder";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::character:
      return "a character device";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::symlink:
      return "a symbolic link to nothing";
    default:
      return "not a regular file";
  }
}

// The file a new export replaces: `path` itself, or the regular file a link
// there leads to. nullopt, with the reason, for anything else.
std::optional<fs::path> Target(const std::string& path, std::string& reason) {
  std::error_code error;
  const fs::file_status own = fs::symlink_status(path, error);
  if (own.type() == fs::file_type::not_found)
    return fs::path(path);
  if (error) {
    reason = error.message();
    return std::nullopt;
  }
  if (own.type() == fs::file_type::regular)
    return fs::path(path);
  if (own.type() == fs::file_type::symlink) {
    const fs::file_status linked = fs::status(path, error);
    if (!error && linked.type() == fs::file_type::regular) {
      fs::path target = fs::canonical(path, error);
      if (!error)
        return target;
    }
    reason = "it is " + KindOf(error ? fs::file_type::symlink : linked.type()) +
             " (a link is followed only to a regular file)";
    return std::nullopt;
  }
  reason = "it is " + KindOf(own.type()) + ", not a regular file";
  return std::nullopt;
}

#ifdef _WIN32

int CreateExclusive(std::string& pattern) {
  // No mkstemp: a name of the process and a counter, created exclusively.
  const std::string base = pattern.substr(0, pattern.size() - 6);
  for (unsigned n = 0; n < 1000; ++n) {
    pattern = base + std::to_string(_getpid()) + "-" + std::to_string(n);
    const int fd =
        _open(pattern.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  return -1;
}
int CloseFile(int fd) {
  return _close(fd);
}
void RemoveFile(const std::string& path) {
  _unlink(path.c_str());
}
bool KeepMode(int, const fs::path&) {
  return true;
}

#else

int CreateExclusive(std::string& pattern) {
  // O_CREAT|O_EXCL: a link or file planted under the name fails the call.
  return mkstemp(pattern.data());
}
int CloseFile(int fd) {
  return close(fd);
}
void RemoveFile(const std::string& path) {
  unlink(path.c_str());
}
// A replaced file keeps its permissions and, where we may, its owner; a
// new one gets what the umask allows (mkstemp's 0600 is not meant).
bool KeepMode(int fd, const fs::path& target) {
  struct stat original {};
  if (stat(target.c_str(), &original) == 0) {
    if (fchown(fd, original.st_uid, original.st_gid) != 0) {
      // Not ours to give away: the file becomes ours, as any new file would.
    }
    return fchmod(fd, original.st_mode & 07777) == 0;
  }
  const mode_t mask = umask(0);
  umask(mask);
  return fchmod(fd, 0666 & ~mask) == 0;
}

#endif

}  // namespace

std::optional<std::string> WriteExportFile(const std::string& path, const std::string& text) {
  std::string reason;
  const std::optional<fs::path> target = Target(path, reason);
  if (!target)
    return reason;
  fs::path folder = target->parent_path();
  if (folder.empty())
    folder = ".";
  // Built by appending: GCC 12 misreads an operator+ chain here (-Wrestrict).
  std::string name = ".";
  name += target->filename().string();
  name += ".tmp-XXXXXX";
  std::string temporary = (folder / name).string();
  const int fd = CreateExclusive(temporary);
  if (fd < 0)
    return "cannot create a file in its folder: " + devices::ErrorText(errno);
  std::size_t written = 0;
  int error = KeepMode(fd, *target) ? 0 : errno;
  if (error == 0)
    error = devices::WriteFully(fd, text, written);
#ifndef _WIN32
  if (error == 0 && fsync(fd) != 0)
    error = errno;
#endif
  if (CloseFile(fd) != 0 && error == 0)
    error = errno;
  std::error_code renamed;
  if (error == 0) {
    fs::rename(temporary, *target, renamed);
    if (!renamed)
      return std::nullopt;
  }
  RemoveFile(temporary);
  return error != 0 ? devices::ErrorText(error) : renamed.message();
}

}  // namespace quillon::tools
