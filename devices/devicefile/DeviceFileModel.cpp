// The model's lookups, and the choice between the quick and the checked reader.
#include "devices/devicefile/DeviceFileModel.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "devices/devicefile/DeviceFileReading.h"

namespace quillon::devices::devicefile {

std::size_t LineAt(const std::string& text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + static_cast<std::size_t>(std::count(
                 text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

const Member* Model::FindPresent(std::uint32_t devInst) const {
  const auto it = std::lower_bound(presentByDevInst.begin(), presentByDevInst.end(),
                                   std::make_pair(devInst, std::uint32_t{0}));
  if (it == presentByDevInst.end() || it->first != devInst)
    return nullptr;
  return &(*members)[it->second];
}

namespace {

// A hash that IDs equal ignoring case share, eight bytes at a time: each
// byte with bit 5 set, which lowers ASCII capitals (and folds a few
// punctuation pairs, which only costs a comparison).
std::uint64_t FoldedHash(std::string_view text) {
  constexpr std::uint64_t kFold = 0x2020202020202020;
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15;
  std::uint64_t hash = text.size();
  while (text.size() >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data(), sizeof word);
    hash = std::rotl((hash ^ (word | kFold)) * kMultiplier, 29);
    text.remove_prefix(8);
  }
  std::uint64_t word = 0;
  std::memcpy(&word, text.data(), text.size());
  hash = (hash ^ (word | kFold)) * kMultiplier;
  return hash ^ (hash >> 32);
}

}  // namespace

bool IndexInstanceIds(Model& model) {
  const Members& members = *model.members;
  std::size_t capacity = 16;
  while (capacity < members.size() * 2)
    capacity *= 2;
  std::vector<std::uint32_t>& slots = model.byInstanceId;
  slots.assign(capacity, 0);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const std::string& id = members[i].instanceId;
    for (std::size_t slot = FoldedHash(id) & (capacity - 1);; slot = (slot + 1) & (capacity - 1)) {
      if (slots[slot] == 0) {
        slots[slot] = static_cast<std::uint32_t>(i + 1);
        break;
      }
      if (EqualsIgnoringCase(members[slots[slot] - 1].instanceId, id))
        return false;
    }
  }
  return true;
}

const Member* Model::FindById(std::string_view instanceId) const {
  const std::size_t capacity = byInstanceId.size();
  if (capacity == 0)
    return nullptr;
  for (std::size_t slot = FoldedHash(instanceId) & (capacity - 1);;
       slot = (slot + 1) & (capacity - 1)) {
    if (byInstanceId[slot] == 0)
      return nullptr;
    const Member& member = (*members)[byInstanceId[slot] - 1];
    if (EqualsIgnoringCase(member.instanceId, instanceId))
      return &member;
  }
}

bool ParseDeviceFile(const std::string& text, Model& model, ParseError& error) {
  if (ParseDeviceFileQuickly(text, model))
    return true;
  nlohmann::ordered_json document;
  return ParseDeviceDocument(text, model, document, error);
}

std::string_view Enumerator(std::string_view instanceId) {
  return instanceId.substr(0, instanceId.find('\\'));
}

bool NumberFromUnsigned(std::uint64_t n, std::uint32_t& number) {
  if (n > std::numeric_limits<std::uint32_t>::max())
    return false;
  number = static_cast<std::uint32_t>(n);
  return true;
}

bool NumberFromSigned(std::int64_t n, std::uint32_t& number) {
  if (n < std::numeric_limits<std::int32_t>::min())
    return false;
  number = static_cast<std::uint32_t>(static_cast<std::int32_t>(n));
  return true;
}

bool NumberFromText(std::string_view text, std::uint32_t& number) {
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
    return false;
  }
  std::uint32_t parsed = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    std::uint32_t digit = 0;
    if (!HexDigit(c, digit))
      return false;
    parsed = parsed * 16 + digit;
  }
  number = parsed;
  return true;
}

bool IndexPresentHandles(Model& model) {
  const Members& members = *model.members;
  auto& index = model.presentByDevInst;
  index.clear();
  index.reserve(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (members[i].present)
      index.emplace_back(members[i].devInst, static_cast<std::uint32_t>(i));
  }
  // Handles usually come in file order already.
  if (!std::is_sorted(index.begin(), index.end()))
    std::sort(index.begin(), index.end());
  return std::adjacent_find(index.begin(), index.end(), [](const auto& a, const auto& b) {
           return a.first == b.first;
         }) == index.end();
}

}  // namespace quillon::devices::devicefile
