// Changes that last: a disable and a friendly name are kept as udev rules in
// one file the program owns, <root>/etc/udev/rules.d/70-quillon.rules, which
// the udev daemon applies whenever the device appears (at boot, on hotplug,
// after a driver is bound again). Linux keeps neither by itself.
//
// Each kept change is one entry: a comment line naming the change and the
// instance ID, then its rule. Lines the program did not write are kept as
// they are. The word quillon.ignore on the kernel command line skips every
// entry at that boot. The file is the only thing written outside <root>/sys.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "devices/sysfs/OpenBeneath.h"
#include "devices/sysfs/SysfsNode.h"

namespace quillon::devices::sysfs {

// `value` as a udev e"..." string that gives back exactly its bytes:
// backslash and quote escaped, % and $ (substitutions) doubled, every byte
// outside printable ASCII as \xNN.
std::string RuleString(std::string_view value);

// The comment line that names a kept change of a node, "# quillon: disable ID".
std::string EntryKey(std::string_view change, std::string_view instanceId);

// The rule that keeps the node disabled, or that gives its network interface
// the alias `name`. None when the node's names cannot be matched safely in a
// rule (the change is then refused with 87).
std::optional<std::string> DisableRule(const Node& node);
std::optional<std::string> AliasRule(const Node& node, std::string_view name);

// `text` with the entry `key` set to `rule`, or removed when `rule` is
// none; the program's own lines written anew, everyone else's kept. Empty
// when nothing but the program's own framing would be left.
std::string WithEntry(std::string_view text, const std::string& key,
                      const std::optional<std::string>& rule);

// The rules file of one root, locked while this object lives once Lock()
// succeeded, so that changes from several processes follow one another.
class RulesFile {
 public:
  explicit RulesFile(const std::string& root);

  // The folder and file names.
  const std::string& Folder() const { return folder_; }
  const std::string& Path() const { return path_; }

  // Makes the folder (0755) when missing and takes the lock beside the
  // file. 0, or an errno.
  int Lock();
  // The file's text (empty when missing). 0, or an errno.
  int Read(std::string& text) const;
  // Replaces the file with `text` at once: a temporary file in the folder,
  // fsync, rename, fsync of the folder; an empty text removes the file.
  // 0, or an errno; on failure the file is as it was.
  int Write(const std::string& text) const;

 private:
  std::string folder_;
  std::string path_;
  UniqueFd lock_;
};

}  // namespace quillon::devices::sysfs
