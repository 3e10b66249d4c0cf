#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "os/StandardStreams.h"

namespace quillon::devices {

namespace {

// A handler rather than SIG_IGN: a handled signal is reset by exec, so
// programs started later do not inherit an ignored SIGPIPE.
extern "C" void IgnoreSignal(int) {}

}  // namespace

void PrepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // The lowest free descriptor: this one, as those below are open.
      const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null >= 0 && null != fd)
        close(null);
    }
  }
  struct sigaction action {};
  action.sa_handler = IgnoreSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

int WriteFully(int fd, std::string_view data, std::size_t& written) {
  written = 0;
  while (written < data.size()) {
    const ssize_t done = write(fd, data.data() + written, data.size() - written);
    if (done >= 0) {
      written += static_cast<std::size_t>(done);
      continue;
    }
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return errno;
    // Someone made the pipe non-blocking: wait until its reader makes room.
    pollfd ready{fd, POLLOUT, 0};
    if (poll(&ready, 1, -1) < 0 && errno != EINTR)
      return errno;
  }
  return 0;
}

}  // namespace quillon::devices
