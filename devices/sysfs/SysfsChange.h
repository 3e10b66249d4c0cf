// Carrying out a state change or a new friendly name on a node: which
// attributes are written, in which order, and the Windows error code for
// what the kernel answers.
#pragma once

#include <cstdint>
#include <string_view>

#include "devices/sysfs/SysfsNode.h"
#include "devices/sysfs/SysfsState.h"
#include "devices/sysfs/SysfsWriter.h"

namespace quillon::devices::sysfs {

// DICS_ENABLE, DICS_DISABLE, DICS_START or DICS_STOP on `node`, read afresh
// for the change. 0, or the Windows error code.
std::uint32_t ChangeState(const Node& node, std::uint32_t stateChange, const RootChain& rootChain,
                          AttributeWriter& writer);

// Writes the ifalias of the node's one network interface; the empty text
// clears it. 0, or the Windows error code.
std::uint32_t SetFriendlyName(const Node& node, std::string_view text, AttributeWriter& writer);

// The Windows error code for an errno from writing an attribute.
std::uint32_t ErrorFromErrno(int error);

}  // namespace quillon::devices::sysfs
