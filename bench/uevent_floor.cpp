// The floor under a sysfs listing: the same walk over <root>/sys/bus/*/devices
// (and the block class) that finds the nodes, and one open, read and close of
// each node's uevent file, with nothing made of what is read. Timed beside
// enumDevices over the same tree, in the same run, it turns the listing's
// cost into a ratio that holds on any machine.
//
//   quillon-uevent-floor [ROOT]     (ROOT as for /deviceSource=; none: this computer)
// Prints the number of nodes and of uevent bytes read.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

// Entry names of the directory `fd` (getdents64, as the program lists).
std::vector<std::string> List(int fd) {
  std::vector<std::string> names;
  alignas(8) std::array<char, 32768> buffer;  // NOLINT: filled by getdents64
  while (true) {
    const long got = syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
    if (got <= 0)
      break;
    for (long pos = 0; pos < got;) {
      unsigned short length = 0;
      std::memcpy(&length, buffer.data() + pos + 16, sizeof length);
      const std::string_view name(buffer.data() + pos + 19);
      if (name != "." && name != "..")
        names.emplace_back(name);
      pos += length;
    }
  }
  return names;
}

// Buses whose devices are kernel bookkeeping, skipped as the listing skips them.
bool Skipped(std::string_view bus) {
  for (const char* name : {"memory", "memory_tiering", "clockevents", "clocksource", "event_source",
                           "workqueue", "node", "container", "machinecheck", "serial-base", "faux",
                           "cpuid", "nd", "dax", "edac", "nvmem"}) {
    if (bus == name)
      return true;
  }
  return false;
}

struct Floor {
  std::unordered_set<std::string> seen;  // link targets, as the listing keeps paths
  std::size_t nodes = 0;
  std::size_t bytes = 0;

  // Each entry of the folder of device links `dir`: its target, and its uevent read.
  void Walk(int dir) {
    for (const std::string& name : List(dir)) {
      std::array<char, PATH_MAX> target;  // NOLINT: filled by readlinkat
      const ssize_t length = readlinkat(dir, name.c_str(), target.data(), target.size());
      if (length <= 0 || !seen.emplace(target.data(), static_cast<std::size_t>(length)).second)
        continue;
      const int fd = openat(dir, (name + "/uevent").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0)
        continue;
      std::array<char, 4096> text;  // NOLINT: filled by read
      const ssize_t got = read(fd, text.data(), text.size());
      close(fd);
      if (got >= 0) {
        ++nodes;
        bytes += static_cast<std::size_t>(got);
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string sys = std::string(argc > 1 ? argv[1] : "") + "/sys";
  const int bus = open((sys + "/bus").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (bus < 0) {
    std::perror(sys.c_str());
    return 1;
  }
  Floor floor;
  for (const std::string& name : List(bus)) {
    if (Skipped(name))
      continue;
    const int devices =
        openat(bus, (name + "/devices").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (devices < 0)
      continue;
    floor.Walk(devices);
    close(devices);
  }
  close(bus);
  const int block = open((sys + "/class/block").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (block >= 0) {
    floor.Walk(block);
    close(block);
  }
  std::printf("%zu nodes, %zu bytes of uevent\n", floor.nodes, floor.bytes);
  return 0;
}
