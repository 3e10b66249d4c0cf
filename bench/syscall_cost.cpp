// What reading sysfs costs on this machine, below the program: CPU time of
// one bare system call and of opening (by name, in its open folder), reading
// and closing one attribute file, each the mean of a loop.
//
//   quillon-syscall-cost FILE...    (e.g. an attribute in /sys and one in a
//                                    generated tree)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

constexpr int kLoops = 200000;

double CpuMicroseconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto us = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
  return us(usage.ru_utime) + us(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  double start = CpuMicroseconds();
  for (int i = 0; i < kLoops; ++i)
    syscall(SYS_getppid);
  std::printf("getppid: %.2f us\n", (CpuMicroseconds() - start) / kLoops);
  for (int arg = 1; arg < argc; ++arg) {
    const std::string path = argv[arg];
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      std::perror(folder.c_str());
      return 1;
    }
    std::array<char, 4096> buffer{};
    start = CpuMicroseconds();
    for (int i = 0; i < kLoops; ++i) {
      const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) {
        std::perror(argv[arg]);
        return 1;
      }
      if (read(fd, buffer.data(), buffer.size()) < 0)
        std::perror(argv[arg]);
      close(fd);
    }
    std::printf("openat+read+close %s: %.2f us\n", argv[arg], (CpuMicroseconds() - start) / kLoops);
    close(dir);
  }
  return 0;
}
