// The device-file store's platform-independent part; the rest is in
// DeviceFileStorePosix.cpp and DeviceFileStoreWindows.cpp.
#include "devices/devicefile/DeviceFileStore.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "devices/DeviceService.h"
#include "devices/devicefile/DeviceFileStoreShared.h"
#include "os/AtomicFile.h"
#include "os/LocaleText.h"

namespace quillon::devices::devicefile {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kWriteProtect = 19;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kFileTooLarge = 223;  // ERROR_FILE_TOO_LARGE

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

// Removes what a killed change left behind: regular files of the temporary
// naming (HiddenTemporaryPrefix, then letters, digits and "-") beside the
// target. Only under the lock, so that none of them is being written.
void RemoveLeftovers(const fs::path& target) {
  const std::string prefix = NarrowFromPath(HiddenTemporaryPrefix(target));
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

// Reports a failed replacement; true when it failed only to flush the
// folder, after the new content was in place, which counts as done.
bool ReplaceFailed(const AtomicFileError& failure, FileError& error) {
  const char* what = "cannot write";
  switch (failure.step) {
    case AtomicStep::kCreate:
      what = "cannot create a temporary file";
      break;
    case AtomicStep::kPermissions:
      what = "cannot set permissions";
      break;
    case AtomicStep::kWrite:
      break;
    case AtomicStep::kFlush:
      what = "cannot flush";
      break;
    case AtomicStep::kRename:
      what = "cannot replace the file";
      break;
    case AtomicStep::kSyncFolder:
      // Only the rename's durability is in doubt; the content is in place.
      return true;
  }
#ifdef _WIN32
  const std::uint32_t code = failure.code;
#else
  const std::uint32_t code = ErrorFromErrno(static_cast<int>(failure.code));
#endif
  error = {code, std::string(what) + ": " + AtomicErrorText(failure.code)};
  return false;
}

}  // namespace

FileError TooLarge(std::uint64_t size) {
  return {error::kInvalidData, "too large (" + std::to_string(size) +
                                   " bytes): a device file may have at most " +
                                   std::to_string(kMaxDeviceFileSize >> 20) + " MiB"};
}

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

bool ReplaceFileContent(const ChangeLock& lock, const std::string& path, const std::string& text,
                        FileError& error) {
  fs::path target;
  if (!ReplaceableTarget(path, target, error))
    return false;
  if (lock.Held())
    RemoveLeftovers(target);
  const std::optional<AtomicFileError> failure =
      WriteFileAtomically(target, text, {HiddenTemporaryPrefix(target), std::nullopt});
  return !failure || ReplaceFailed(*failure, error);
}

ChangeLock::~ChangeLock() {
  Release();
}

}  // namespace quillon::devices::devicefile
