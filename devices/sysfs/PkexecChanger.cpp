#include "devices/sysfs/PkexecChanger.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "devices/DeviceService.h"
#include "devices/sysfs/OpenBeneath.h"
#include "devices/sysfs/SysfsGuard.h"

extern char** environ;

namespace quillon::devices::sysfs {

namespace {

// pkexec's own statuses (it runs the program with execv, so the program's
// status otherwise).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

// The helper prints at most ten digits and a newline; more is no answer.
constexpr std::size_t kMaxAnswer = 16;

std::optional<std::uint32_t> ParseAnswer(std::string_view output) {
  if (!output.empty() && output.back() == '\n')
    output.remove_suffix(1);
  if (output.empty() || output.size() > 10)
    return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : output) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFU)
    return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_)
      posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool Ok() const { return ok_; }
  posix_spawn_file_actions_t* Get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class PkexecChanger final : public PrivilegedChanger {
 public:
  PkexecChanger(std::string pkexec, std::string helper)
      : pkexec_(std::move(pkexec)), helper_(std::move(helper)) {}

  EscalationResult Change(const ChangeRequest& request) override {
    struct stat info {};
    if (stat(helper_.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      return {error::kAccessDenied, EscalationOutcome::kNoHelper};
    if (access(pkexec_.c_str(), X_OK) != 0)
      return {error::kAccessDenied, EscalationOutcome::kNoPkexec};

    // The helper clears its environment; the address of the caller's SSH
    // session goes with the request so that it guards that interface too.
    ChangeRequest carried = request;
    carried.sshLocal = SessionLocalAddress(std::getenv("SSH_CONNECTION"));
    std::vector<std::string> words{pkexec_, helper_};
    for (std::string& argument : ChangeArguments(carried))
      words.push_back(std::move(argument));
    std::vector<char*> argv;
    for (std::string& word : words)
      argv.push_back(word.data());
    argv.push_back(nullptr);

    std::array<int, 2> ends{-1, -1};
    if (pipe2(ends.data(), O_CLOEXEC) != 0)
      return {error::kNotEnoughMemory, EscalationOutcome::kNoAnswer};
    UniqueFd reader(ends[0]);
    UniqueFd writer(ends[1]);
    // The helper's answer comes through the pipe; pkexec's own messages
    // would repeat what the caller says in its own words. The terminal stays
    // for pkexec's text agent, which asks there when no desktop agent runs.
    SpawnActions actions;
    if (!actions.Ok() || posix_spawn_file_actions_adddup2(actions.Get(), writer.Get(), 1) != 0 ||
        posix_spawn_file_actions_addopen(actions.Get(), 2, "/dev/null", O_WRONLY, 0) != 0) {
      return {error::kNotEnoughMemory, EscalationOutcome::kNoAnswer};
    }
    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, pkexec_.c_str(), actions.Get(), nullptr, argv.data(), environ);
    writer = UniqueFd();
    if (spawned != 0)
      return {error::kAccessDenied, EscalationOutcome::kNoPkexec};

    std::string output;
    std::array<char, 256> buffer{};
    for (;;) {
      const ssize_t got = read(reader.Get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        break;
      if (output.size() <= kMaxAnswer)
        output.append(buffer.data(), static_cast<std::size_t>(got));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR)
        return {error::kGenFailure, EscalationOutcome::kNoAnswer};
    }
    return ReadHelperAnswer(status, output);
  }

 private:
  std::string pkexec_;
  std::string helper_;
};

}  // namespace

std::shared_ptr<PrivilegedChanger> MakePkexecChanger(std::string pkexec, std::string helper) {
  return std::make_shared<PkexecChanger>(std::move(pkexec), std::move(helper));
}

EscalationResult ReadHelperAnswer(int waitStatus, std::string_view output) {
  const EscalationResult noAnswer{error::kGenFailure, EscalationOutcome::kNoAnswer};
  if (!WIFEXITED(waitStatus))
    return noAnswer;
  const int status = WEXITSTATUS(waitStatus);
  const std::optional<std::uint32_t> code = ParseAnswer(output);
  if (!code) {
    if (status == kPkexecNotAuthorized)
      return {error::kAccessDenied, EscalationOutcome::kDenied};
    if (status == kPkexecDismissed)
      return {error::kAccessDenied, EscalationOutcome::kDismissed};
    return noAnswer;
  }
  // The status and the code must agree: done is 0 and only 0.
  const bool done = status == kHelperDone;
  const bool failed =
      status == kHelperFailed || status == kHelperRefused || status == kHelperNotPermitted;
  if ((done && *code == 0) || (failed && *code != 0))
    return {*code, EscalationOutcome::kAnswered};
  return noAnswer;
}

std::string_view EscalationReason(EscalationOutcome outcome) {
  switch (outcome) {
    case EscalationOutcome::kAnswered:
      break;
    case EscalationOutcome::kDenied:
      return "polkit did not authorize it";
    case EscalationOutcome::kDismissed:
      return "the authentication was dismissed";
    case EscalationOutcome::kNoPkexec:
      return "it needs root, and pkexec is not installed";
    case EscalationOutcome::kNoHelper:
      return "it needs root, and the privileged helper is not installed";
    case EscalationOutcome::kNoAnswer:
      return "the privileged helper gave no answer";
  }
  return {};
}

}  // namespace quillon::devices::sysfs
