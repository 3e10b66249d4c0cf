// Stands in for the kernel behind the sysfs source's writes over a fake
// tree, answering each the way Linux 6.1 does: unbind removes the driver
// link, authorized 0 takes a USB device's interfaces away (1 brings them
// back, bound) and unbinds an interface, a probe binds unless
// driver_override says "none", ifalias takes at most 255 bytes. It records
// every write and can make chosen writes fail.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "devices/sysfs/SysfsWriter.h"
#include "tests/devices/sysfs/FakeSysfs.h"

namespace quillon::devices::testing {

class KernelSimulator final : public sysfs::AttributeWriter {
 public:
  explicit KernelSimulator(FakeSysfs& tree) : tree_(tree) {}

  int Write(const sysfs::SysfsTree& tree, const std::string& path, std::string_view text) override;

  // The driver a probe binds the device (path below sys/devices) to when
  // driver_override does not name one; by default the one it last lost.
  void Offer(const std::string& devpath, const std::string& driver) { offered_[devpath] = driver; }
  // The next write to a path ending in `suffix` fails with `error`.
  void Inject(const std::string& suffix, int error) { injected_[suffix] = error; }
  // The writes so far, "path below sys <- text", a newline shown as \n.
  const std::vector<std::string>& Log() const { return log_; }
  void ClearLog() { log_.clear(); }

 private:
  int Unbind(const std::string& devpath, std::string_view name);
  int Authorize(const std::string& devpath, std::string_view value);
  int Probe(const std::string& bus, std::string_view name);
  void Bind(const std::string& bus, const std::string& devpath);
  // Moves a USB device's interfaces out of the tree and back.
  void HideInterfaces(const std::string& devpath);
  void ShowInterfaces(const std::string& devpath);
  std::string Attr(const std::string& devpath, const std::string& name) const;
  void SetAttr(const std::string& devpath, const std::string& name, std::string_view value);

  FakeSysfs& tree_;
  std::map<std::string, std::string> offered_;
  std::map<std::string, int> injected_;
  std::vector<std::string> log_;
};

}  // namespace quillon::devices::testing
