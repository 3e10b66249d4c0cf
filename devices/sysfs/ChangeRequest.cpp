#include "devices/sysfs/ChangeRequest.h"

#include <array>
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
  std::vector<std::string> arguments{std::string(OperationWord(request.operation)),
                                     request.instanceId};
  if (request.operation == ChangeOperation::kFriendlyName)
    arguments.push_back(request.name);
  return arguments;
}

ParsedChange ParseChangeArguments(const std::vector<std::string_view>& arguments) {
  ParsedChange parsed;
  parsed.error = error::kInvalidParameter;
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
  if (named)
    parsed.request.name = std::string(arguments[2]);
  return parsed;
}

}  // namespace quillon::devices::sysfs
