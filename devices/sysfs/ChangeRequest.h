// One change asked of the privileged helper: what it is, on which node, and
// the words of its command line. The helper trusts nothing it is handed, so
// every argument is checked here before any device is looked at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::devices::sysfs {

enum class ChangeOperation { kEnable, kDisable, kStart, kStop, kFriendlyName };

struct ChangeRequest {
  ChangeOperation operation = ChangeOperation::kEnable;
  std::string instanceId;
  std::string name;  // the friendly name; only for kFriendlyName
  // The local address of the caller's SSH session, an IPv4 or IPv6 literal
  // without a zone; empty: none. It can only add a refusal: the interface
  // holding it is never disabled or stopped.
  std::string sshLocal;
};

// The word for `operation` on the helper's command line: "enable",
// "disable", "start", "stop", "name".
std::string_view OperationWord(ChangeOperation operation);

// DICS_ENABLE, DICS_DISABLE, DICS_START or DICS_STOP as an operation.
std::optional<ChangeOperation> OperationOfStateChange(std::uint32_t stateChange);

// The arguments that carry `request` (after the program's name): a leading
// "--ssh-local=ADDRESS" when it has one, then the operation and its words.
std::vector<std::string> ChangeArguments(const ChangeRequest& request);

// A request, or the Windows error code that refuses the arguments: 87 for
// anything malformed (an unknown operation, a missing or extra argument, an
// instance ID that is empty, longer than an ID can be, holds a control
// character or a '/', or has a "." or ".." part; a name over 255 bytes or
// with a control character; a leading "--ssh-local=" option given twice
// or whose value is not a plain IPv4 or IPv6 literal).
struct ParsedChange {
  std::uint32_t error = 0;
  ChangeRequest request;
};
ParsedChange ParseChangeArguments(const std::vector<std::string_view>& arguments);

// The request as the helper logs it: "name ID \"text\"". The caller's bytes
// outside printable ASCII show as \xNN and the name's quotes and
// backslashes are escaped, so that no caller can break or forge a line of
// the system log, nor send a terminal that shows it a control sequence.
std::string ChangeText(const ChangeRequest& request);

// Raises the resource limits the caller handed down through pkexec to what
// the helper needs: open files enough for the guard to read what it must
// (where opens fail it sees nothing held), and no size, time or memory limit
// that could stop a change half made.
void LiftCallerLimits();

// The helper's exit status; its standard output is the error code (0 when
// done) as one decimal number on one line.
enum HelperStatus : int {
  kHelperDone = 0,
  kHelperFailed = 1,        // the change was tried and failed
  kHelperRefused = 2,       // the arguments were refused; nothing was looked at
  kHelperNotPermitted = 3,  // not started as root (through pkexec)
};

}  // namespace quillon::devices::sysfs
