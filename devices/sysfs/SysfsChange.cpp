// State changes and friendly names: the writes that carry them out and the
// Windows error codes for the kernel's answers.
#include "devices/sysfs/SysfsChange.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "devices/DeviceService.h"
#include "devices/sysfs/SysfsParse.h"

namespace quillon::devices::sysfs {

namespace {

// The ifalias the kernel keeps: at most 255 bytes.
constexpr std::size_t kMaxAlias = 255;

class KernelWriter final : public AttributeWriter {
 public:
  int Write(const SysfsTree& tree, const std::string& path, std::string_view text) override {
    // O_TRUNC as a shell's ">" does; sysfs ignores it.
    const UniqueFd fd = tree.Open(path, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK);
    if (!fd)
      return errno;
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0)
      return errno;
    if (!S_ISREG(info.st_mode))
      return EOPNOTSUPP;
    const ssize_t written = write(fd.Get(), text.data(), text.size());
    if (written < 0)
      return errno;
    return static_cast<std::size_t>(written) == text.size() ? 0 : EIO;
  }
};

// The writes of one change, against one node.
class Writes {
 public:
  Writes(const Node& node, AttributeWriter& writer) : node_(node), writer_(writer) {}

  // 0, or the error code; a device that is gone by then reads as such,
  // whatever the write said.
  std::uint32_t Put(const std::string& dir, std::string_view attribute, std::string_view text) {
    const int error = writer_.Write(Tree(), dir + "/" + std::string(attribute), text);
    if (error == 0)
      return 0;
    if (!Tree().Fresh().IsCanonicalDirectory(node_.Path()))
      return error::kNoSuchDevinst;
    return ErrorFromErrno(error);
  }

  // Asks the bus to find the node a driver.
  std::uint32_t Probe() {
    return Put(Tree().Sys() + "/bus/" + node_.Bus(), "drivers_probe", Name());
  }
  std::uint32_t Unbind() { return Put(node_.Path() + "/driver", "unbind", Name()); }
  // Read afresh: the writes so far may have bound or unbound a driver.
  bool Bound() const { return Tree().Fresh().LinkName(node_.Path(), "driver").has_value(); }

 private:
  const SysfsTree& Tree() const { return node_.Tree(); }
  const std::string& Name() const { return node_.Name(); }

  const Node& node_;
  AttributeWriter& writer_;
};

// Sysfs attributes are root's: a caller who may not change the node is told
// so before anything is tried, as Windows tells a caller without elevation.
bool MayChange(const Node& node) {
  if (faccessat(AT_FDCWD, node.Path().c_str(), W_OK, AT_EACCESS) == 0)
    return true;
  return errno != EACCES && errno != EPERM && errno != EROFS;
}

std::uint32_t Disable(const Node& node, const RootChain& rootChain, Writes& writes) {
  const Switch how = SwitchOf(node);
  if (how == Switch::kNone || IsUsbRootHub(node) || rootChain.Holds(node.Path()))
    return error::kNotDisableable;
  if (how == Switch::kAuthorized)
    return writes.Put(node.Path(), "authorized", "0");
  // "none" keeps drivers away from now on but leaves a bound one alone.
  const std::string previous = node.Attr("driver_override").value_or("(null)");
  if (const std::uint32_t code = writes.Put(node.Path(), "driver_override", "none"))
    return code;
  if (!writes.Bound())
    return 0;
  const std::uint32_t code = writes.Unbind();
  if (code != 0) {
    // Still bound: a failed disable leaves the choice of driver as it was.
    writes.Put(node.Path(), "driver_override", previous == "(null)" ? "\n" : previous + "\n");
  }
  return code;
}

std::uint32_t Enable(const Node& node, Writes& writes) {
  switch (SwitchOf(node)) {
    case Switch::kNone:
      return error::kNotDisableable;
    case Switch::kAuthorized:
      if (const std::uint32_t code = writes.Put(node.Path(), "authorized", "1"))
        return code;
      // An interface is not bound again by being authorized.
      return IsUsbInterface(node) ? writes.Probe() : 0;
    case Switch::kDriverOverride:
      // A driver someone chose by name stays chosen.
      if (node.Attr("driver_override") == "none") {
        if (const std::uint32_t code = writes.Put(node.Path(), "driver_override", "\n"))
          return code;
      }
      return writes.Probe();
  }
  return error::kNotDisableable;
}

std::uint32_t Stop(const Node& node, const RootChain& rootChain, Writes& writes) {
  if (IsUsbRootHub(node) || rootChain.Holds(node.Path()))
    return error::kNotDisableable;
  // Without a driver it is stopped already.
  return writes.Bound() ? writes.Unbind() : 0;
}

std::uint32_t Start(Writes& writes) {
  // drivers_probe succeeds whether or not a driver binds.
  if (const std::uint32_t code = writes.Probe())
    return code;
  return writes.Bound() ? 0 : error::kNoDriverSelected;
}

bool HasControlCharacters(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<AttributeWriter> MakeKernelWriter() {
  return std::make_shared<KernelWriter>();
}

std::uint32_t ChangeState(const Node& node, std::uint32_t stateChange, const RootChain& rootChain,
                          AttributeWriter& writer) {
  // Disks and partitions are class devices: no bus to bind them.
  if (node.Kind() != NodeKind::kBusDevice)
    return error::kNotDisableable;
  if (!MayChange(node))
    return error::kAccessDenied;
  Writes writes(node, writer);
  switch (stateChange) {
    case DICS_DISABLE:
      return Disable(node, rootChain, writes);
    case DICS_ENABLE:
      return Enable(node, writes);
    case DICS_STOP:
      return Stop(node, rootChain, writes);
    case DICS_START:
      return Start(writes);
    default:
      return error::kInvalidParameter;
  }
}

std::uint32_t SetFriendlyName(const Node& node, std::string_view text, AttributeWriter& writer) {
  if (text.size() > kMaxAlias || HasControlCharacters(text))
    return error::kInvalidParameter;
  const std::vector<std::string> interfaces = ClassDevices(node, "net");
  if (interfaces.size() != 1)
    return error::kNotSupported;
  if (!MayChange(node))
    return error::kAccessDenied;
  // A lone newline clears the alias; writing nothing would not.
  return Writes(node, writer).Put(interfaces.front(), "ifalias", std::string(text) + "\n");
}

std::uint32_t ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return error::kAccessDenied;
    case ENOENT:
    case EOPNOTSUPP:
      return error::kNotSupported;
    case ENXIO:
    case ENODEV:
      return error::kNoSuchDevinst;
    case EBUSY:
      return error::kBusy;
    case EAGAIN:
      return error::kNotReady;
    case EINVAL:
      return error::kInvalidParameter;
    case ENOMEM:
      return error::kNotEnoughMemory;
    case EIO:
      return error::kGenFailure;
    default:
      return 0x20000000U + static_cast<std::uint32_t>(error);
  }
}

}  // namespace quillon::devices::sysfs
