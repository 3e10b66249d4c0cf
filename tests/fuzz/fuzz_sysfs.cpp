// The sysfs text parsers and the ID database search on any bytes: numbers
// in range, cleaned texts fit for a property, names from the database on
// one line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "devices/DeviceText.h"
#include "devices/sysfs/IdDatabase.h"
#include "devices/sysfs/SysfsParse.h"
#include "tests/fuzz/FuzzCheck.h"

using namespace quillon::devices;
using namespace quillon::devices::sysfs;

namespace {

void CheckName(const std::optional<std::string>& name) {
  if (name)
    FUZZ_CHECK(!name->empty() && name->find('\n') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string_view line = std::string_view(text).substr(0, text.find('\n'));

  if (const auto hex = ParseHex(line))
    FUZZ_CHECK(line.size() <= 10);
  if (const auto decimal = ParseDecimal(line))
    FUZZ_CHECK(*decimal <= 999999999u);
  FUZZ_CHECK(Upper(line).size() == line.size());

  if (const auto clean = CleanText(text)) {
    FUZZ_CHECK(!clean->empty() && clean->size() <= kMaxText);
    FUZZ_CHECK(!HasControlCharacter(*clean) && clean->front() != ' ');
    FUZZ_CHECK(!IsValidUtf8(text) || IsValidUtf8(*clean));
  }

  // Look up the IDs the text's first bytes spell in the text as a database.
  const IdDatabase database = IdDatabase::FromText(text);
  std::uint8_t id[8] = {};
  for (std::size_t i = 0; i < sizeof id && i < size; ++i)
    id[i] = data[i];
  const auto word = [&id](int i) { return static_cast<std::uint16_t>(id[i] << 8 | id[i + 1]); };
  CheckName(database.DeviceName(word(0), word(2)));
  CheckName(database.SubsystemName(word(0), word(2), word(4), word(6)));
  CheckName(database.ClassName(id[0]));
  CheckName(database.SubclassName(id[0], id[1]));
  CheckName(database.InterfaceName(id[0], id[1], id[2]));
  return 0;
}
