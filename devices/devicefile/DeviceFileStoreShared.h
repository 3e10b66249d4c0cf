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
#include "os/AtomicFile.h"

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

// Removes what a killed change left behind: regular files of the temporary
// naming (HiddenTemporaryPrefix, then letters, digits and "-") beside the
// target. Only under the lock, so that none of them is being written.
void RemoveLeftovers(const std::filesystem::path& target);

// Reports a failed replacement; true when it failed only to flush the
// folder, after the new content was in place, which counts as done.
bool ReplaceFailed(const AtomicFileError& failure, FileError& error);

}  // namespace quillon::devices::devicefile
