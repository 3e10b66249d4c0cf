#include <io.h>

#include <algorithm>

#include <cerrno>

#include "os/StandardStreams.h"

namespace quillon::devices {

// No signals for broken pipes, and a console program's standard handles are
// the console's or none.
void PrepareStandardStreams() {}

int WriteFully(int fd, std::string_view data, std::size_t& written) {
  written = 0;
  while (written < data.size()) {
    const std::size_t chunk = std::min<std::size_t>(data.size() - written, 1U << 30);
    const int done = _write(fd, data.data() + written, static_cast<unsigned>(chunk));
    if (done < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    written += static_cast<std::size_t>(done);
  }
  return 0;
}

}  // namespace quillon::devices
