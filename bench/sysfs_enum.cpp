// Times the sysfs backend over this computer's devices: opening the set and
// reading what the device list and the report log show (display name, class,
// handle, status, problem) for every node, the way command mode does.
//
//   bench_sysfs_enum [runs] [--print] [--root=DIR] [--enumerator=PCI] [--pci-ids]
//
// Prints the median and the fastest run in milliseconds; --print also lists
// the nodes of the last run. --pci-ids times only naming this computer's PCI
// functions from a freshly mapped pci.ids. Read-only: it never changes a device.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devices/DeviceText.h"
#include "devices/sysfs/IdDatabase.h"
#include "devices/sysfs/SysfsService.h"
#include "devices/sysfs/SysfsTree.h"

namespace {

using quillon::devices::DeviceService;
using quillon::devices::HDEVINFO;
using quillon::devices::SP_DEVINFO_DATA;

struct Line {
  std::string name;
  std::string guid;
  std::uint32_t devInst = 0;
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
};

std::vector<Line> EnumerateOnce(const std::string& root, const char* enumerator) {
  std::vector<Line> lines;
  const auto service = quillon::devices::MakeSysfsService(root);
  const auto set = quillon::devices::OpenPresentDevices(*service, enumerator);
  if (!set) {
    std::fprintf(stderr, "open failed: %u\n", static_cast<unsigned>(service->GetLastError()));
    return lines;
  }
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  for (std::uint32_t index = 0; service->SetupDiEnumDeviceInfo(set.get(), index, &data); ++index) {
    Line line;
    quillon::devices::ReadDisplayName(*service, set.get(), data, line.name);
    line.guid = quillon::devices::FormatGuid(data.ClassGuid);
    line.devInst = data.DevInst;
    service->CM_Get_DevNode_Status(&line.status, &line.problem, data.DevInst, 0);
    lines.push_back(std::move(line));
  }
  return lines;
}

struct PciId {
  std::uint16_t vendor, device, subVendor, subDevice;
};

std::vector<PciId> PciIds(const std::string& root) {
  std::vector<PciId> ids;
  const quillon::devices::sysfs::SysfsTree tree(root);
  const std::string dir = tree.Sys() + "/bus/pci/devices";
  for (const std::string& name : tree.List(dir)) {
    const auto path = tree.Child(dir, name);
    if (!path)
      continue;
    const auto hex = [&](const char* attr) {
      return static_cast<std::uint16_t>(
          std::strtoul(tree.Read(*path, attr).value_or("0").c_str(), nullptr, 16));
    };
    ids.push_back({hex("vendor"), hex("device"), hex("subsystem_vendor"), hex("subsystem_device")});
  }
  return ids;
}

// Names every PCI function the way the backend does: subsystem name first.
std::size_t NamePci(const std::string& root, const std::vector<PciId>& ids) {
  const quillon::devices::sysfs::IdDatabase db(root + "/usr/share/misc/pci.ids");
  std::size_t named = 0;
  for (const PciId& id : ids) {
    if (db.SubsystemName(id.vendor, id.device, id.subVendor, id.subDevice) ||
        db.DeviceName(id.vendor, id.device)) {
      ++named;
    }
  }
  return named;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  bool print = false;
  bool pciIds = false;
  std::string root;
  std::string enumerator;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--print") {
      print = true;
    } else if (arg == "--pci-ids") {
      pciIds = true;
    } else if (arg.rfind("--root=", 0) == 0) {
      root = arg.substr(7);
    } else if (arg.rfind("--enumerator=", 0) == 0) {
      enumerator = arg.substr(13);
    } else {
      runs = std::max(1, std::atoi(arg.c_str()));
    }
  }
  std::vector<double> times;
  if (pciIds) {
    const std::vector<PciId> ids = PciIds(root);
    std::size_t named = 0;
    for (int run = 0; run < runs; ++run) {
      const auto start = std::chrono::steady_clock::now();
      named = NamePci(root, ids);
      const auto stop = std::chrono::steady_clock::now();
      times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%zu of %zu PCI functions named, %d runs: median %.3f ms, fastest %.3f ms\n", named,
                ids.size(), runs, times[times.size() / 2], times.front());
    return 0;
  }
  std::vector<Line> lines;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    lines = EnumerateOnce(root, enumerator.empty() ? nullptr : enumerator.c_str());
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  if (print) {
    for (const Line& line : lines) {
      std::printf("%3u %s %s %s %s\n", static_cast<unsigned>(line.devInst), line.guid.c_str(),
                  quillon::devices::FormatHex8(line.status).c_str(),
                  quillon::devices::ProblemText(line.problem).c_str(), line.name.c_str());
    }
  }
  std::printf("%zu nodes, %d runs: median %.3f ms, fastest %.3f ms\n", lines.size(), runs,
              times[times.size() / 2], times.front());
  return 0;
}
