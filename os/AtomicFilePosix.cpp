// Atomic replacement on POSIX systems: mkostemp, fsync, rename, fsync of the folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "os/AtomicFile.h"
#include "os/StandardStreams.h"
#include "os/UniqueFd.h"

namespace quillon::devices {

namespace {

namespace fs = std::filesystem;

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
  void Commit() { committed_ = true; }

 private:
  std::string path_;
  bool committed_ = false;
};

AtomicFileError Failed(AtomicStep step, int errnoValue) {
  return {step, static_cast<std::uint32_t>(errnoValue)};
}

bool SetPermissions(int fd, const fs::path& target, const std::optional<std::uint32_t>& mode) {
  if (mode)
    return ::fchmod(fd, static_cast<mode_t>(*mode)) == 0;
  struct stat original {};
  if (::stat(target.c_str(), &original) == 0) {
    // Owner first: a change of owner may clear the set-ID bits.
    if (::fchown(fd, original.st_uid, original.st_gid) != 0) {
      // Not ours to give away: the file becomes ours, as any new file would.
    }
    return ::fchmod(fd, original.st_mode & 07777) == 0;
  }
  // mkostemp's 0600 is not meant for a new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return ::fchmod(fd, 0666 & ~mask) == 0;
}

}  // namespace

std::optional<AtomicFileError> WriteFileAtomically(const fs::path& target, std::string_view text,
                                                   const AtomicFileOptions& options) {
  // O_CREAT|O_EXCL: a link or file planted under the name fails the call.
  fs::path name = target;
  name.replace_filename(options.temporaryPrefix);
  name += "XXXXXX";
  std::string pattern = name.string();
  UniqueFd file(::mkostemp(pattern.data(), O_CLOEXEC));
  if (file.Get() < 0)
    return Failed(AtomicStep::kCreate, errno);
  TemporaryFile temporary(pattern);

  if (!SetPermissions(file.Get(), target, options.mode))
    return Failed(AtomicStep::kPermissions, errno);
  std::size_t written = 0;
  if (const int error = WriteFully(file.Get(), text, written); error != 0)
    return Failed(AtomicStep::kWrite, error);
  if (::fsync(file.Get()) != 0)
    return Failed(AtomicStep::kFlush, errno);
  if (::close(file.Release()) != 0)
    return Failed(AtomicStep::kWrite, errno);
  if (::rename(pattern.c_str(), target.c_str()) != 0)
    return Failed(AtomicStep::kRename, errno);
  temporary.Commit();

  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() < 0 || ::fsync(directory.Get()) != 0)
    return Failed(AtomicStep::kSyncFolder, errno);
  return std::nullopt;
}

std::string AtomicErrorText(std::uint32_t code) {
  return std::generic_category().message(static_cast<int>(code));
}

}  // namespace quillon::devices
