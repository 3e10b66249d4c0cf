#include "os/UniqueFd.h"

#include <unistd.h>

#include <utility>

namespace quillon::devices {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0)
    close(fd_);
}

int UniqueFd::Release() {
  return std::exchange(fd_, -1);
}

}  // namespace quillon::devices
