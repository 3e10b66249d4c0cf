// quillon-change [--ssh-local=ADDRESS] OPERATION INSTANCE_ID [NAME]: the
// privileged helper. pkexec runs it as root for an ordinary user once polkit
// has allowed the action;
// it carries out one change on one of this computer's devices through the
// sysfs source, exactly as quillon itself would as root, logs it to the
// system log with the user who asked, and prints the Windows error code
// (0 when done) as one decimal number. It trusts nothing from its caller:
// only /sys, no environment (PKEXEC_UID aside, which pkexec sets), every
// argument checked before any device is looked at.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devices/DeviceService.h"
#include "devices/sysfs/ChangeRequest.h"
#include "devices/sysfs/SysfsCollect.h"
#include "devices/sysfs/SysfsGuard.h"
#include "devices/sysfs/SysfsService.h"

namespace {

using namespace quillon::devices;
using sysfs::ChangeOperation;
using sysfs::ChangeRequest;

// Standard input, output and error open, so that no file this program
// opens can take their numbers and receive what is meant for them; nothing
// else inherited stays open.
void SettleDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
      std::_Exit(sysfs::kHelperNotPermitted);
  }
  closefrom(3);
}

// PKEXEC_UID as pkexec writes it: decimal digits without a sign or leading
// zero, naming no uid above the largest a process can have.
std::optional<uid_t> RequestingUid(const char* text) {
  if (text == nullptr)
    return std::nullopt;
  const std::string_view digits(text);
  if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0'))
    return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  // (uid_t)-1 means "no uid" to the kernel.
  if (value >= std::numeric_limits<uid_t>::max())
    return std::nullopt;
  return static_cast<uid_t>(value);
}

std::string UserText(uid_t uid) {
  std::string text = "uid " + std::to_string(uid);
  if (const passwd* entry = getpwuid(uid); entry != nullptr && entry->pw_name != nullptr)
    text += std::string(" (") + entry->pw_name + ")";
  return text;
}

int Answer(std::uint32_t code, int status) {
  std::printf("%u\n", static_cast<unsigned>(code));
  std::fflush(stdout);
  return status;
}

// The change on the present node with exactly this instance ID: 0 or the
// error code; none when no such node is present.
std::optional<std::uint32_t> Carry(DeviceService& service, const ChangeRequest& request) {
  const DeviceInfoSetPtr set = OpenPresentDevices(service, nullptr);
  if (!set)
    return service.GetLastError();
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  std::vector<char> id(sysfs::kMaxInstanceId + 1);
  for (std::uint32_t index = 0;; ++index) {
    if (!service.SetupDiEnumDeviceInfo(set.get(), index, &data))
      return std::nullopt;
    if (!service.SetupDiGetDeviceInstanceIdA(set.get(), &data, id.data(),
                                             static_cast<std::uint32_t>(id.size()), nullptr) ||
        request.instanceId != id.data()) {
      continue;
    }
    bool done = false;
    if (request.operation == ChangeOperation::kFriendlyName) {
      done = service.SetupDiSetDeviceRegistryPropertyA(
          set.get(), &data, SPDRP_FRIENDLYNAME,
          reinterpret_cast<const std::uint8_t*>(request.name.data()),
          static_cast<std::uint32_t>(request.name.size()));
    } else {
      SP_PROPCHANGE_PARAMS params{};
      params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
      params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
      params.Scope = DICS_FLAG_GLOBAL;
      switch (request.operation) {
        case ChangeOperation::kEnable:
          params.StateChange = DICS_ENABLE;
          break;
        case ChangeOperation::kDisable:
          params.StateChange = DICS_DISABLE;
          break;
        case ChangeOperation::kStart:
          params.StateChange = DICS_START;
          break;
        default:
          params.StateChange = DICS_STOP;
          break;
      }
      done = service.SetupDiSetClassInstallParamsA(set.get(), &data, &params.ClassInstallHeader,
                                                   sizeof(params)) &&
             service.SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data);
    }
    return done ? 0 : service.GetLastError();
  }
}

}  // namespace

int main(int argc, char** argv) {
  SettleDescriptors();
  // The one variable read, then none: nothing the caller sets reaches the
  // device layer or the C library.
  const char* uidText = std::getenv("PKEXEC_UID");
  const std::optional<uid_t> uid = RequestingUid(uidText);
  const bool uidGiven = uidText != nullptr;
  clearenv();
  umask(022);
  openlog("quillon-change", LOG_PID, LOG_AUTHPRIV);

  if (getuid() != 0 || geteuid() != 0) {
    std::fprintf(stderr, "quillon-change: runs only as root, through pkexec\n");
    syslog(LOG_WARNING, "%s started it directly: refused", UserText(getuid()).c_str());
    return Answer(error::kAccessDenied, sysfs::kHelperNotPermitted);
  }
  // Started by root itself, the request is root's.
  if (uidGiven && !uid) {
    syslog(LOG_WARNING, "refused: PKEXEC_UID is malformed");
    return Answer(error::kInvalidParameter, sysfs::kHelperRefused);
  }
  const std::string user = UserText(uid.value_or(0));
  sysfs::LiftCallerLimits();

  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const sysfs::ParsedChange parsed = sysfs::ParseChangeArguments(arguments);
  if (parsed.error != 0) {
    syslog(LOG_WARNING, "%s: refused malformed arguments", user.c_str());
    return Answer(parsed.error, sysfs::kHelperRefused);
  }
  const ChangeRequest& request = parsed.request;
  const std::string what = sysfs::ChangeText(request);

  // This computer's /sys and nothing else: no source, no root prefix. The
  // caller's SSH session address, if given, only adds the interface holding
  // it to what is never disabled or stopped.
  SysfsOptions options;
  if (!request.sshLocal.empty()) {
    options.session = [local = request.sshLocal] { return sysfs::SessionInterfacesAt(local); };
  }
  const std::unique_ptr<DeviceService> service = MakeSysfsService(options);
  const std::optional<std::uint32_t> carried = Carry(*service, request);
  if (!carried) {
    syslog(LOG_WARNING, "%s: %s: no such device", user.c_str(), what.c_str());
    return Answer(error::kNoSuchDevinst, sysfs::kHelperRefused);
  }
  const std::uint32_t code = *carried;
  if (code == 0) {
    syslog(LOG_NOTICE, "%s: %s: done", user.c_str(), what.c_str());
    return Answer(0, sysfs::kHelperDone);
  }
  syslog(LOG_WARNING, "%s: %s: failed with 0x%08X", user.c_str(), what.c_str(),
         static_cast<unsigned>(code));
  return Answer(code, sysfs::kHelperFailed);
}
