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

// Temporary files are named "." + the file's name + ".tmp-" + a unique part
// of letters, digits and "-", so that leftovers can be told from the user's files.
std::string TemporaryPrefix(const std::filesystem::path& target);

// Removes what a killed change left behind: regular files of our naming
// beside the target. Only under the lock, so that none of them is being written.
void RemoveLeftovers(const std::filesystem::path& target);

}  // namespace quillon::devices::devicefile
