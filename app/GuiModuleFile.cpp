#include "app/GuiModuleFile.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "os/UniqueFd.h"

namespace quillon::app {
namespace {

constexpr char kModuleName[] = "quillon-gui.so";

bool ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// Whether [offset, offset + size) lies within a file of `fileSize` bytes.
bool Within(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode))
    return "a directory";
  if (S_ISFIFO(mode))
    return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode))
    return "a device";
  if (S_ISSOCK(mode))
    return "a socket";
  return "not a regular file";
}

// Why someone other than root, the user the program runs as and the owner
// of its file may change the file or folder `info` tells of; none when
// nobody may. The owner's group is trusted, as with its other files.
const char* ForeignWriter(const struct stat& info, uid_t programOwner) {
  if (info.st_uid != 0 && info.st_uid != ::geteuid() && info.st_uid != programOwner)
    return "belongs to another user";
  // A sticky folder (/tmp) lets nobody rename or remove what is not theirs.
  const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
  if ((info.st_mode & S_IWOTH) != 0 && !sticky)
    return "may be changed by every user";
  return nullptr;
}

}  // namespace

std::vector<std::string> GuiModuleCandidates(std::string_view executablePath,
                                             std::string_view relativeInstallDir,
                                             std::string_view installedPath,
                                             std::string_view environment) {
  std::vector<std::string> candidates;
  if (executablePath.starts_with('/')) {
    const std::string dir(executablePath.substr(0, executablePath.rfind('/') + 1));
    candidates.push_back(dir + kModuleName);
    if (!relativeInstallDir.empty())
      candidates.push_back(dir + std::string(relativeInstallDir) + "/" + kModuleName);
  }
  if (installedPath.starts_with('/'))
    candidates.emplace_back(installedPath);
  if (environment.starts_with('/'))
    candidates.emplace_back(environment);
  return candidates;
}

ModuleFile CheckModuleFile(const std::string& path, uid_t programOwner, std::string& loadPath,
                           std::string& reason) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (!real) {
    if (errno == ENOENT || errno == ENOTDIR)
      return ModuleFile::kMissing;
    reason = path + ": " + std::strerror(errno);
    return ModuleFile::kUnusable;
  }
  loadPath = real.get();
  struct stat info {};
  // The folders from the root down: none of them holds a link any more.
  for (std::size_t slash = 0; slash != std::string::npos; slash = loadPath.find('/', slash + 1)) {
    const std::string folder = slash == 0 ? "/" : loadPath.substr(0, slash);
    if (::lstat(folder.c_str(), &info) != 0) {
      reason = path + ": " + folder + ": " + std::strerror(errno);
      return ModuleFile::kUnusable;
    }
    if (const char* writer = ForeignWriter(info, programOwner)) {
      reason = path + " is not loaded: its folder " + folder + " " + writer;
      return ModuleFile::kUnusable;
    }
  }
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const devices::UniqueFd file(
      ::open(loadPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
  if (!file || ::fstat(file.Get(), &info) != 0) {
    reason = path + ": " + std::strerror(errno);
    return ModuleFile::kUnusable;
  }
  if (!S_ISREG(info.st_mode)) {
    reason = path + " is " + KindOf(info.st_mode) + ", not the window module";
    return ModuleFile::kUnusable;
  }
  if (const char* writer = ForeignWriter(info, programOwner)) {
    reason = path + " is not loaded: it " + std::string(writer);
    return ModuleFile::kUnusable;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  ElfW(Ehdr) header{};
  if (!ReadAt(file.Get(), &header, sizeof header, 0) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_type != ET_DYN ||
      header.e_phentsize != sizeof(ElfW(Phdr))) {
    reason = path + " is not a shared object of this system";
    return ModuleFile::kUnusable;
  }
  const std::string damaged = path + " is damaged (cut short?): reinstall it";
  if (!Within(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr)), size) ||
      (header.e_shoff != 0 &&
       !Within(header.e_shoff, std::uint64_t{header.e_shnum} * header.e_shentsize, size))) {
    reason = damaged;
    return ModuleFile::kUnusable;
  }
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!ReadAt(file.Get(), segments.data(), segments.size() * sizeof(ElfW(Phdr)), header.e_phoff)) {
    reason = damaged;
    return ModuleFile::kUnusable;
  }
  for (const ElfW(Phdr) & segment : segments) {
    if (segment.p_type == PT_LOAD && !Within(segment.p_offset, segment.p_filesz, size)) {
      reason = damaged;
      return ModuleFile::kUnusable;
    }
  }
  return ModuleFile::kUsable;
}

}  // namespace quillon::app
