#include <unistd.h>

#include <vector>

#include "os/ExecutablePath.h"

namespace quillon::app {

std::string ExecutablePath() {
  std::vector<char> buffer(256);
  while (true) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0)
      return {};
    if (static_cast<std::size_t>(length) < buffer.size())
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

void ConnectStandardOutput() {}

}  // namespace quillon::app
