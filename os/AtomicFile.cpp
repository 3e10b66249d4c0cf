// What both systems' atomic replacement share; the rest is in
// AtomicFilePosix.cpp and AtomicFileWindows.cpp.
#include "os/AtomicFile.h"

namespace quillon::devices {

std::filesystem::path HiddenTemporaryPrefix(const std::filesystem::path& target) {
  std::filesystem::path prefix = ".";
  prefix += target.filename();
  prefix += ".tmp-";
  return prefix;
}

}  // namespace quillon::devices
