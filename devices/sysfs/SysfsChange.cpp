// State changes and friendly names: the writes that carry them out and the
// Windows error codes for the kernel's answers.
#include "devices/sysfs/SysfsChange.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "devices/DeviceService.h"
#include "devices/sysfs/SysfsCollect.h"
#include "devices/sysfs/SysfsParse.h"
#include "devices/sysfs/SysfsRules.h"
#include "devices/sysfs/SysfsState.h"

namespace quillon::devices::sysfs {

namespace {

// The ifalias the kernel keeps: at most 255 bytes.
constexpr std::size_t kMaxAlias = 255;
constexpr decltype(statfs::f_type) kSysfsMagic = 0x62656572;

class KernelWriter final : public AttributeWriter {
 public:
  int Write(const SysfsTree& tree, const std::string& path, std::string_view text) override {
    const UniqueFd fd = tree.Open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK);
    if (!fd)
      return errno;
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0)
      return errno;
    if (!S_ISREG(info.st_mode))
      return EOPNOTSUPP;
    // Sysfs never links an attribute twice: a second name may lie outside the tree.
    if (info.st_nlink > 1)
      return EXDEV;
    // Emptied first as a shell's ">" would, where it is a plain file (a
    // tree that stands in for sysfs); sysfs takes each write whole.
    struct statfs where {};
    if (fstatfs(fd.Get(), &where) == 0 && where.f_type != kSysfsMagic &&
        ftruncate(fd.Get(), 0) != 0)
      return errno;
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

std::uint32_t Disable(const Node& node, Writes& writes) {
  if (SwitchOf(node) == Switch::kAuthorized)
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

std::uint32_t Stop(Writes& writes) {
  // Without a driver it is stopped already.
  return writes.Bound() ? writes.Unbind() : 0;
}

// Carries out `live` (0 or an error code) with the kept entry `key` set to
// `rule`, or removed when it is none: the file first, then the live change;
// when that fails, the file as it was. Nothing is locked or written when the
// file would not change.
template <typename Live>
std::uint32_t Kept(const std::string& root, const std::string& key,
                   const std::optional<std::string>& rule, Live live) {
  RulesFile file(root);
  std::string before;
  if (const int error = file.Read(before))
    return ErrorFromErrno(error);
  if (WithEntry(before, key, rule) == before)
    return live();
  if (const int error = file.Lock())
    return ErrorFromErrno(error);
  if (const int error = file.Read(before))
    return ErrorFromErrno(error);
  const std::string after = WithEntry(before, key, rule);
  if (after != before) {
    if (const int error = file.Write(after))
      return ErrorFromErrno(error);
  }
  const std::uint32_t code = live();
  if (code != 0 && after != before)
    file.Write(before);
  return code;
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

std::uint32_t ChangeState(const Node& node, std::uint32_t stateChange, const Guard& guard,
                          const ChangeTarget& target, Verdict& refusal) {
  refusal = Verdict{};
  if (stateChange != DICS_DISABLE && stateChange != DICS_ENABLE && stateChange != DICS_STOP &&
      stateChange != DICS_START) {
    return error::kInvalidParameter;
  }
  if (stateChange == DICS_DISABLE || stateChange == DICS_STOP) {
    refusal = stateChange == DICS_DISABLE ? guard.MayDisable(node) : guard.MayStop(node);
    if (!refusal)
      return error::kNotDisableable;
  } else if (node.Kind() != NodeKind::kBusDevice) {
    refusal = Verdict{Refusal::kClassDevice, {}};
    return error::kNotDisableable;
  }
  if (!MayChange(node))
    return error::kAccessDenied;
  Writes writes(node, target.writer);
  const std::string key = EntryKey("disable", InstanceId(node));
  switch (stateChange) {
    case DICS_DISABLE: {
      const std::optional<std::string> rule = DisableRule(node);
      if (!rule)
        return error::kInvalidParameter;
      return Kept(target.root, key, rule, [&] { return Disable(node, writes); });
    }
    case DICS_ENABLE:
      if (SwitchOf(node) == Switch::kNone) {
        refusal = Verdict{Refusal::kNoSwitch, {}};
        return error::kNotDisableable;
      }
      return Kept(target.root, key, std::nullopt, [&] { return Enable(node, writes); });
    case DICS_STOP:
      return Stop(writes);
    default:
      return Start(writes);
  }
}

std::uint32_t SetFriendlyName(const Node& node, std::string_view text, const ChangeTarget& target) {
  if (text.size() > kMaxAlias || HasControlCharacters(text))
    return error::kInvalidParameter;
  const std::vector<std::string> interfaces = ClassDevices(node, "net");
  if (interfaces.size() != 1)
    return error::kNotSupported;
  std::optional<std::string> rule;
  if (!text.empty()) {
    rule = AliasRule(node, text);
    if (!rule)
      return error::kInvalidParameter;
  }
  if (!MayChange(node))
    return error::kAccessDenied;
  Writes writes(node, target.writer);
  return Kept(target.root, EntryKey("name", InstanceId(node)), rule, [&] {
    // A lone newline clears the alias; writing nothing would not.
    return writes.Put(interfaces.front(), "ifalias", std::string(text) + "\n");
  });
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
    case EXDEV:  // a link or a second name that leads out of the tree
      return error::kAccessDenied;
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
