// The privileged helper's arguments on any bytes (NUL separates them): what
// it accepts names one operation, an ID no path can be made of and a name the
// kernel takes, and reads back as the arguments the caller would pass.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/sysfs/ChangeRequest.h"
#include "tests/fuzz/FuzzCheck.h"

using quillon::devices::sysfs::ChangeArguments;
using quillon::devices::sysfs::ChangeOperation;
using quillon::devices::sysfs::ParseChangeArguments;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> arguments;
  for (std::size_t start = 0; start <= input.size() && !input.empty();) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    arguments.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  const auto parsed = ParseChangeArguments(arguments);
  FUZZ_CHECK(parsed.error == 0 || parsed.error == 87);
  if (parsed.error != 0)
    return 0;
  const std::string& id = parsed.request.instanceId;
  FUZZ_CHECK(!id.empty() && id.size() <= 200);
  FUZZ_CHECK(id.find('/') == std::string::npos);
  for (std::size_t start = 0; start <= id.size();) {
    const std::size_t end = std::min(id.find('\\', start), id.size());
    const std::string_view part = std::string_view(id).substr(start, end - start);
    FUZZ_CHECK(part != "." && part != "..");
    start = end + 1;
  }
  for (const char c : id)
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  const std::string& name = parsed.request.name;
  FUZZ_CHECK(name.size() <= 255);
  FUZZ_CHECK(parsed.request.operation == ChangeOperation::kFriendlyName || name.empty());
  for (const char c : name)
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  // The session address is a bare literal: no zone, no space, nothing cut short.
  for (const char c : parsed.request.sshLocal)
    FUZZ_CHECK(std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':');
  const std::vector<std::string> words = ChangeArguments(parsed.request);
  FUZZ_CHECK(words.size() == arguments.size());
  for (std::size_t i = 0; i < words.size(); ++i)
    FUZZ_CHECK(words[i] == arguments[i]);
  return 0;
}
