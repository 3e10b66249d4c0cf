// What the platform files of the device-file store (DeviceFileStorePosix.cpp,
// DeviceFileStoreWindows.cpp) share. Private to the store.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "devices/devicefile/DeviceFileStore.h"

namespace quillon::devices::devicefile {

constexpr std::uint32_t kSharingViolation = 32;

// Another change holds the lock for one read, write and flush: milliseconds,
// or seconds on a slow disk. A lock held longer belongs to a stuck process.
constexpr auto kLockPatience = std::chrono::seconds(20);

FileError TooLarge(std::uint64_t size);

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

// The file a change of `path` replaces: the file itself, through a link to
// the file it names. False, with the error, for a file that must stay as it
// is (one without any write permission: error 5).
bool ReplaceableTarget(const std::string& path, std::filesystem::path& target, FileError& error);

}  // namespace quillon::devices::devicefile
