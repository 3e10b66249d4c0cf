// Command-line splitting and switch lookup on any bytes: arguments hold no
// quote characters, quoting them whole splits them back unchanged, and a
// switch's value is what follows "<c><name>=" in one of the arguments.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/CommandLine.h"
#include "os/LocaleText.h"
#include "tests/fuzz/FuzzCheck.h"

using quillon::app::GetSwitchValue;
using quillon::app::SplitCommandLine;
using quillon::devices::EqualsIgnoringCaseInLocale;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Switch names fold as the user's locale does; UTF-8 is the common one.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  // The first byte chooses how much of the rest names a switch.
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string_view name = rest.substr(0, data[0] % 16);
  const std::vector<std::string> arguments = SplitCommandLine(rest);

  std::size_t bytes = 0;
  std::string quoted = "program";
  for (const std::string& argument : arguments) {
    FUZZ_CHECK(argument.find('"') == std::string::npos);
    bytes += argument.size();
    quoted += " \"" + argument + "\"";
  }
  FUZZ_CHECK(bytes <= rest.size());
  FUZZ_CHECK(SplitCommandLine(quoted) == arguments);

  const std::string value = GetSwitchValue(arguments, name, "/");
  if (!value.empty()) {
    bool found = false;
    for (const std::string& argument : arguments) {
      found = found ||
              (argument.size() == name.size() + 2 + value.size() && argument[0] == '/' &&
               argument[name.size() + 1] == '=' &&
               argument.compare(name.size() + 2, std::string::npos, value) == 0 &&
               EqualsIgnoringCaseInLocale(std::string_view(argument).substr(1, name.size()), name));
    }
    FUZZ_CHECK(found);
  }
  FUZZ_CHECK(EqualsIgnoringCaseInLocale(name, name));
  const std::string_view other = rest.substr(name.size(), name.size());
  FUZZ_CHECK(EqualsIgnoringCaseInLocale(name, other) == EqualsIgnoringCaseInLocale(other, name));
  return 0;
}
