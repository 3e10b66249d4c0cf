// The kept changes' rules file: the rules, their text, and its atomic update.
#include "devices/sysfs/SysfsRules.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "devices/DeviceText.h"
#include "devices/sysfs/SysfsCollect.h"
#include "devices/sysfs/SysfsParse.h"
#include "os/AtomicFile.h"

namespace quillon::devices::sysfs {

namespace {

constexpr const char* kFileName = "70-quillon.rules";
constexpr std::string_view kEntryPrefix = "# quillon: ";
constexpr std::string_view kEnd = "LABEL=\"quillon_end\"";
// Written before the entries; recognised as the program's own when read.
constexpr std::array<std::string_view, 6> kHead = {
    "# Kept by quillon: devices it disabled and network interface names it set,",
    "# applied by udev whenever the device appears. Enabling the device or an",
    "# empty name removes an entry, as does deleting its two lines by hand.",
    "# quillon.ignore on the kernel command line skips them all at that boot.",
    "ACTION!=\"add\", GOTO=\"quillon_end\"",
    "IMPORT{cmdline}=\"quillon.ignore\"",
};
constexpr std::string_view kIgnore = "ENV{quillon.ignore}==\"1\", GOTO=\"quillon_end\"";

// Names the kernel gives (PCI addresses, USB port paths, IDs) hold none of
// udev's pattern or substitution characters; anything else is not matched.
bool Matchable(const std::optional<std::string>& value) {
  if (!value || value->empty())
    return false;
  for (const char c : *value) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == ':' || c == '.' || c == '_' || c == '-' || c == '+';
    if (!plain)
      return false;
  }
  return true;
}

// A plain "KEY==\"value\"" match.
std::string Match(std::string_view key, const std::string& value) {
  return std::string(key) + "==\"" + value + "\"";
}

// The matches that name a node the way its instance ID does: its bus, its
// kernel name and its IDs. `parents` matches the node as a parent of the
// device the rule is about (KERNELS, ATTRS). None when they cannot be
// written safely.
std::optional<std::string> NodeMatches(const Node& node, bool parents) {
  if (!Matchable(node.Bus()) || !Matchable(node.Name()))
    return std::nullopt;
  std::vector<std::pair<std::string, std::optional<std::string>>> ids;
  const std::string attr = parents ? "ATTRS" : "ATTR";
  if (node.Bus() == "pci") {
    ids = {{attr + "{vendor}", node.Attr("vendor")}, {attr + "{device}", node.Attr("device")}};
  } else if (node.Bus() == "usb" && !IsUsbInterface(node)) {
    ids = {{attr + "{idVendor}", node.Attr("idVendor")},
           {attr + "{idProduct}", node.Attr("idProduct")}};
  } else if (node.Bus() == "usb" && !parents) {
    // An interface's IDs are its device's, one folder up.
    const std::string device = ParentPath(node.Path());
    ids = {{"ATTRS{idVendor}", node.Tree().Read(device, "idVendor")},
           {"ATTRS{idProduct}", node.Tree().Read(device, "idProduct")}};
  }
  std::string text;
  if (parents) {
    text = Match("SUBSYSTEMS", node.Bus()) + ", " + Match("KERNELS", node.Name());
  } else {
    text = Match("SUBSYSTEM", node.Bus());
    if (node.Bus() == "usb")
      text += ", " + Match("ENV{DEVTYPE}", IsUsbInterface(node) ? "usb_interface" : "usb_device");
    text += ", " + Match("KERNEL", node.Name());
  }
  for (const auto& [key, value] : ids) {
    if (!Matchable(value))
      return std::nullopt;
    text += ", " + Match(key, *value);
  }
  return text;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

bool IsOwnFraming(std::string_view line) {
  if (line == kIgnore || line == kEnd)
    return true;
  for (const std::string_view head : kHead) {
    if (line == head)
      return true;
  }
  return false;
}

}  // namespace

std::string RuleString(std::string_view value) {
  std::string out = "e\"";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '%' || c == '$') {
      out += c;
      out += c;
    } else if (byte < 0x20 || byte > 0x7E) {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string EntryKey(std::string_view change, std::string_view instanceId) {
  std::string key(kEntryPrefix);
  key.append(change).append(" ");
  for (const char c : instanceId) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02x", byte);
      key += hex;
    } else {
      key += c;
    }
  }
  return key;
}

std::optional<std::string> DisableRule(const Node& node) {
  const std::optional<std::string> matches = NodeMatches(node, false);
  if (!matches)
    return std::nullopt;
  const std::string head = "ACTION==\"add\", " + *matches;
  if (node.Bus() == "usb")
    return head + ", ATTR{authorized}=\"0\"";
  // Drivers bound before udev runs (built in, or by the initramfs) stay
  // bound by the override alone: the unbind takes them away.
  return head + ", ATTR{driver_override}=\"none\", ATTR{driver/unbind}=\"%k\"";
}

std::optional<std::string> AliasRule(const Node& node, std::string_view name) {
  if (!IsValidUtf8(name))
    return std::nullopt;
  // Matched through the device that owns the interface, never its name:
  // udev renames interfaces.
  const std::optional<std::string> matches = NodeMatches(node, true);
  if (!matches)
    return std::nullopt;
  return "ACTION==\"add\", SUBSYSTEM==\"net\", " + *matches + ", ATTR{ifalias}=" + RuleString(name);
}

std::string WithEntry(std::string_view text, const std::string& key,
                      const std::optional<std::string>& rule) {
  const std::vector<std::string_view> lines = Lines(text);
  std::vector<std::string_view> foreign;
  std::vector<std::pair<std::string_view, std::string_view>> entries;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (StartsWith(lines[i], kEntryPrefix)) {
      const std::string_view ruleLine = i + 1 < lines.size() ? lines[i + 1] : std::string_view();
      if (lines[i] != key)
        entries.emplace_back(lines[i], ruleLine);
      ++i;
    } else if (!IsOwnFraming(lines[i])) {
      foreign.push_back(lines[i]);
    }
  }
  if (rule)
    entries.emplace_back(key, *rule);
  std::string out;
  for (const std::string_view line : foreign)
    out.append(line).append("\n");
  if (entries.empty())
    return out.find_first_not_of(" \t\n") == std::string::npos ? std::string() : out;
  for (const std::string_view head : kHead)
    out.append(head).append("\n");
  out.append(kIgnore).append("\n");
  for (const auto& [comment, line] : entries)
    out.append(comment).append("\n").append(line).append("\n");
  out.append(kEnd).append("\n");
  return out;
}

RulesFile::RulesFile(const std::string& root)
    : folder_(root + "/etc/udev/rules.d"), path_(folder_ + "/" + kFileName) {}

int RulesFile::Lock() {
  // The folders a missing rules.d needs, each 0755.
  for (std::size_t slash = folder_.find('/', 1);; slash = folder_.find('/', slash + 1)) {
    const std::string part = folder_.substr(0, slash);
    struct stat info {};
    if (stat(part.c_str(), &info) != 0 && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
      return errno;
    if (slash == std::string::npos)
      break;
  }
  const std::string lockPath = folder_ + "/." + kFileName + ".lock";
  UniqueFd fd(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd)
    return errno;
  while (flock(fd.Get(), LOCK_EX) != 0) {
    if (errno != EINTR)
      return errno;
  }
  lock_ = std::move(fd);
  return 0;
}

int RulesFile::Read(std::string& text) const {
  text.clear();
  const UniqueFd fd(open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) {
    // A link (a rules file masked with /dev/null, say) is not ours to replace.
    return errno == ENOENT ? 0 : errno == ELOOP ? EPERM : errno;
  }
  struct stat info {};
  if (fstat(fd.Get(), &info) != 0)
    return errno;
  if (!S_ISREG(info.st_mode))
    return EPERM;  // not a file this program wrote: left alone
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd.Get(), buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return errno;
    if (got == 0)
      return 0;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

int RulesFile::Write(const std::string& text) const {
  if (!text.empty()) {
    // Not named *.rules, so udev never reads it half written; the rename
    // replaces the file itself (Read refuses a link there).
    const std::optional<AtomicFileError> failure =
        WriteFileAtomically(path_, text, {std::string(".") + kFileName + ".", 0644});
    // A folder that cannot be flushed at all (EINVAL) is no failure, as below.
    if (failure && !(failure->step == AtomicStep::kSyncFolder && failure->code == EINVAL))
      return static_cast<int>(failure->code);
    return 0;
  }
  const UniqueFd folder(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder)
    return errno;
  if (unlinkat(folder.Get(), kFileName, 0) != 0 && errno != ENOENT)
    return errno;
  if (fsync(folder.Get()) != 0 && errno != EINVAL)
    return errno;
  return 0;
}

}  // namespace quillon::devices::sysfs
