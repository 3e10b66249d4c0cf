// Carrying out a state change or a new friendly name on a node: which
// attributes are written, in which order, and the Windows error code for
// what the kernel answers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "devices/sysfs/SysfsGuard.h"
#include "devices/sysfs/SysfsNode.h"
#include "devices/sysfs/SysfsWriter.h"

namespace quillon::devices::sysfs {

// Where a change is carried out and kept.
struct ChangeTarget {
  AttributeWriter& writer;
  // The prefix of the kept changes' rules file (etc/udev/rules.d/...).
  const std::string& root;
};

// DICS_ENABLE, DICS_DISABLE, DICS_START or DICS_STOP on `node`, read afresh
// for the change and found present by the caller. A disable is kept in the
// rules file and an enable removes it, together with the live change or not
// at all. 0, or the Windows error code; `refusal` says why when it is
// ERROR_NOT_DISABLEABLE.
std::uint32_t ChangeState(const Node& node, std::uint32_t stateChange, const Guard& guard,
                          const ChangeTarget& target, Verdict& refusal);

// Writes the ifalias of the node's one network interface (the node found
// present as for ChangeState) and keeps it; the empty text clears it and its
// kept entry. 0, or the Windows error code.
std::uint32_t SetFriendlyName(const Node& node, std::string_view text, const ChangeTarget& target);

// The Windows error code for an errno from writing an attribute.
std::uint32_t ErrorFromErrno(int error);

}  // namespace quillon::devices::sysfs
