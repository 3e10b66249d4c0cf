// The device-file store on Windows: handles, a lock file beside the target,
// and what may be replaced.

// Before <windows.h>: its macros share names with the constants there.
#include "devices/DeviceService.h"
#include "devices/devicefile/DeviceFileStore.h"
#include "devices/devicefile/DeviceFileStoreShared.h"
#include "os/LocaleText.h"

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace quillon::devices::devicefile {

namespace fs = std::filesystem;

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

bool ReplaceableTarget(const std::string& path, fs::path& target, FileError& error) {
  std::error_code ec;
  target = fs::canonical(PathFromNarrow(path), ec);  // through a link, to its file
  if (ec) {
    error = {static_cast<std::uint32_t>(ec.value()), ec.message()};
    return false;
  }
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    error = {error::kAccessDenied, "cannot write: the file is read-only"};
    return false;
  }
  return true;
}

}  // namespace quillon::devices::devicefile
