#include "devices/sysfs/ChangeRequest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "devices/DeviceService.h"
#include "devices/sysfs/SysfsCollect.h"

namespace quillon::devices::sysfs {

namespace {

constexpr std::array<std::pair<ChangeOperation, std::string_view>, 5> kWords = {{
    {ChangeOperation::kEnable, "enable"},
    {ChangeOperation::kDisable, "disable"},
    {ChangeOperation::kStart, "start"},
    {ChangeOperation::kStop, "stop"},
    {ChangeOperation::kFriendlyName, "name"},
}};

// The ifalias the kernel keeps.
constexpr std::size_t kMaxName = 255;

constexpr std::string_view kSshLocalOption = "--ssh-local=";

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// An ID is only ever compared with the IDs of present nodes, never used as
// a path; what could read as one is refused all the same.
bool IsWellFormedId(std::string_view id) {
  if (id.empty() || id.size() > kMaxInstanceId)
    return false;
  for (const char c : id) {
    if (IsControl(c) || c == '/')
      return false;
  }
  for (std::size_t start = 0; start <= id.size();) {
    const std::size_t end = std::min(id.find('\\', start), id.size());
    const std::string_view part = id.substr(start, end - start);
    if (part == "." || part == "..")
      return false;
    start = end + 1;
  }
  return true;
}

bool IsWellFormedName(std::string_view name) {
  if (name.size() > kMaxName)
    return false;
  for (const char c : name) {
    if (IsControl(c))
      return false;
  }
  return true;
}

// An address as inet_pton reads it, and nothing it would stop short of (a
// NUL) or that names more than an address (a zone).
bool IsAddressLiteral(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
    return false;
  for (const char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '.' && c != ':')
      return false;
  }
  const std::string bare(text);
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, bare.c_str(), &v4) == 1 || inet_pton(AF_INET6, bare.c_str(), &v6) == 1;
}

// At least `wanted` for `resource`; where that is not allowed (not root), as
// much as the hard limit allows.
void Lift(int resource, rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur >= wanted)
    return;
  const rlimit raised{wanted, std::max(limit.rlim_max, wanted)};
  if (setrlimit(resource, &raised) != 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(resource, &limit);
  }
}

// `text` with every byte outside printable ASCII as \xNN, and within
// quotes also the quote and the backslash escaped.
void AppendLogged(std::string& out, std::string_view text, bool quoted) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02x", byte);
      out += hex;
    } else {
      if (quoted && (c == '"' || c == '\\'))
        out += '\\';
      out += c;
    }
  }
}

}  // namespace

std::string_view OperationWord(ChangeOperation operation) {
  for (const auto& [known, word] : kWords) {
    if (known == operation)
      return word;
  }
  return {};
}

std::optional<ChangeOperation> OperationOfStateChange(std::uint32_t stateChange) {
  switch (stateChange) {
    case DICS_ENABLE:
      return ChangeOperation::kEnable;
    case DICS_DISABLE:
      return ChangeOperation::kDisable;
    case DICS_START:
      return ChangeOperation::kStart;
    case DICS_STOP:
      return ChangeOperation::kStop;
    default:
      return std::nullopt;
  }
}

std::vector<std::string> ChangeArguments(const ChangeRequest& request) {
  std::vector<std::string> arguments;
  if (!request.sshLocal.empty())
    arguments.push_back(std::string(kSshLocalOption) + request.sshLocal);
  arguments.push_back(std::string(OperationWord(request.operation)));
  arguments.push_back(request.instanceId);
  if (request.operation == ChangeOperation::kFriendlyName)
    arguments.push_back(request.name);
  return arguments;
}

ParsedChange ParseChangeArguments(const std::vector<std::string_view>& given) {
  ParsedChange parsed;
  parsed.error = error::kInvalidParameter;
  std::vector<std::string_view> arguments = given;
  std::string_view sshLocal;
  if (!arguments.empty() && arguments[0].starts_with(kSshLocalOption)) {
    sshLocal = arguments[0].substr(kSshLocalOption.size());
    if (!IsAddressLiteral(sshLocal))
      return parsed;
    arguments.erase(arguments.begin());
  }
  if (arguments.size() < 2)
    return parsed;
  std::optional<ChangeOperation> operation;
  for (const auto& [known, word] : kWords) {
    if (arguments[0] == word)
      operation = known;
  }
  if (!operation)
    return parsed;
  const bool named = *operation == ChangeOperation::kFriendlyName;
  if (arguments.size() != (named ? 3U : 2U) || !IsWellFormedId(arguments[1]))
    return parsed;
  if (named && !IsWellFormedName(arguments[2]))
    return parsed;
  parsed.error = 0;
  parsed.request.operation = *operation;
  parsed.request.instanceId = std::string(arguments[1]);
  parsed.request.sshLocal = std::string(sshLocal);
  if (named)
    parsed.request.name = std::string(arguments[2]);
  return parsed;
}

void LiftCallerLimits() {
  // Each sysfs tree keeps up to 64 folders open; the usual limit is ample.
  Lift(RLIMIT_NOFILE, 1024);
  for (const int resource : {RLIMIT_FSIZE, RLIMIT_CPU, RLIMIT_AS, RLIMIT_DATA})
    Lift(resource, RLIM_INFINITY);
}

std::string ChangeText(const ChangeRequest& request) {
  std::string text(OperationWord(request.operation));
  text += ' ';
  AppendLogged(text, request.instanceId, false);
  if (request.operation == ChangeOperation::kFriendlyName) {
    text += " \"";
    AppendLogged(text, request.name, true);
    text += '"';
  }
  return text;
}

}  // namespace quillon::devices::sysfs
