// Reading a device file and replacing its content atomically, one change at a
// time. Private to the device-file source.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::devices::devicefile {

struct FileError {
  std::uint32_t code = 0;  // Windows error code
  std::string message;     // for the diagnostics line
};

// The largest device file that is read: far beyond any machine's devices,
// and small enough that reading and checking it stays within memory.
constexpr std::uint64_t kMaxDeviceFileSize = std::uint64_t{256} << 20;

// Reads a regular file of at most kMaxDeviceFileSize bytes. Never waits for a
// writer (a FIFO) and never reads an endless device: anything but a regular
// file is refused with ERROR_INVALID_DATA, as is a larger file.
bool ReadWholeFile(const std::string& path, std::string& text, FileError& error);

// Serialises the changes made to one device file, across processes: each
// change holds it while it re-reads, edits and replaces the file, so that no
// change is built on a reading another one has since replaced. The lock is on
// something the replacement leaves in place (the file's folder, or a lock
// file beside it on Windows). Readers take no lock and never wait for it.
class ChangeLock {
 public:
  ChangeLock() = default;
  ChangeLock(const ChangeLock&) = delete;
  ChangeLock& operator=(const ChangeLock&) = delete;
  ~ChangeLock();

  // Waits for the lock for a while (another change takes milliseconds); fails
  // with ERROR_SHARING_VIOLATION when it stays taken.
  bool Acquire(const std::string& path, FileError& error);
  bool Held() const { return held_; }

 private:
  void Release();
  std::intptr_t handle_ = -1;  // a descriptor, or a HANDLE on Windows
  bool held_ = false;
};

// Writes `text` to a new file beside the target, flushes it to the disk and
// renames it over the target, so readers see the old or the new content and
// never a part. The target keeps its permissions; when `path` is a symbolic
// link, the link stays and the file it points to is replaced. A file without
// any write permission is left alone (error 5), even for an administrator.
// On failure the target is unchanged and no temporary file is left behind.
// Temporary files that an interrupted change left behind are removed first:
// `lock` must hold the target's ChangeLock.
bool ReplaceFileContent(const ChangeLock& lock, const std::string& path, const std::string& text,
                        FileError& error);

// The Windows error code for a C library error number.
std::uint32_t ErrorFromErrno(int errnoValue);

}  // namespace quillon::devices::devicefile
