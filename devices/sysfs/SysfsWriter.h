// Writing one sysfs attribute, the only way the sysfs source changes a
// device. Tests stand in for the kernel here.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace quillon::devices::sysfs {

class SysfsTree;

class AttributeWriter {
 public:
  virtual ~AttributeWriter() = default;
  // Writes `text` with one write(2) to the attribute at `path` (below
  // tree.Sys(); earlier components may be links, such as "driver").
  // 0, or the errno the kernel answered.
  virtual int Write(const SysfsTree& tree, const std::string& path, std::string_view text) = 0;
};

// Writes to the kernel: the file is opened resolved beneath tree.Sys(),
// never through a last link, and must be a regular file.
std::shared_ptr<AttributeWriter> MakeKernelWriter();

}  // namespace quillon::devices::sysfs
