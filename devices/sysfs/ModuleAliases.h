// Which drivers the running kernel offers, from the modalias patterns of its
// modules and built-in drivers (lib/modules/<release>/modules.alias and
// modules.builtin.alias under the root): a node one of them matches has a
// driver, bound or not. The files are read on the first question only, so
// that a machine whose nodes all have drivers never reads them.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon::devices::sysfs {

class ModuleAliases {
 public:
  // `root` as for the sysfs tree; the release is <root>/proc/sys/kernel/
  // osrelease, else this computer's.
  explicit ModuleAliases(std::string root) : root_(std::move(root)) {}

  // True when a driver's pattern matches `modalias` ("pci:v00008086d...").
  bool Matches(std::string_view modalias) const;

 private:
  struct Pattern {
    std::string glob;
    std::size_t literal = 0;  // length of the part before the first wildcard
  };
  void Load() const;
  void LoadFile(const std::string& relative) const;

  std::string root_;
  mutable bool loaded_ = false;
  // By the text before the first ':' ("pci", "usb", "acpi", "platform").
  mutable std::unordered_map<std::string, std::vector<Pattern>> patterns_;
};

}  // namespace quillon::devices::sysfs
