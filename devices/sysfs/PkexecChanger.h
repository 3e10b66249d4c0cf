// A change the kernel refuses this process (sysfs attributes are root's)
// carried out through pkexec: polkit decides, asking the desktop's agent for
// a password where its policy says so, and then runs the privileged helper,
// which makes the one change and answers with its error code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "devices/sysfs/ChangeRequest.h"

namespace quillon::devices::sysfs {

enum class EscalationOutcome {
  kAnswered,   // the helper ran and answered; its code is the result
  kDenied,     // polkit did not authorize it (pkexec exits 127)
  kDismissed,  // the authentication dialog was dismissed (126)
  kNoPkexec,   // pkexec is not installed
  kNoHelper,   // the helper is not installed
  kNoAnswer,   // pkexec or the helper ended without a well-formed answer
};

struct EscalationResult {
  std::uint32_t code = 0;  // 0, or the Windows error code
  EscalationOutcome outcome = EscalationOutcome::kAnswered;
};

class PrivilegedChanger {
 public:
  virtual ~PrivilegedChanger() = default;
  virtual EscalationResult Change(const ChangeRequest& request) = 0;
};

// Runs `pkexec` (an absolute path) with `helper` (the absolute path the
// polkit action names) and the request's arguments; no shell.
std::shared_ptr<PrivilegedChanger> MakePkexecChanger(std::string pkexec, std::string helper);

// What pkexec's exit (a waitpid status) and the helper's standard output
// mean: the helper's code, or 5 when polkit refused (126, 127), 31 for
// anything else.
EscalationResult ReadHelperAnswer(int waitStatus, std::string_view output);

// Why a change was not carried out, for a line on standard error; empty for
// kAnswered.
std::string_view EscalationReason(EscalationOutcome outcome);

}  // namespace quillon::devices::sysfs
