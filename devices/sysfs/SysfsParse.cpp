// Small text parsers shared by the sysfs mapping files.
#include "devices/sysfs/SysfsParse.h"

#include <array>
#include <cstdio>

namespace quillon::devices::sysfs {

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string UpperHex(std::uint32_t value, int digits) {
  std::array<char, 12> text{};
  std::snprintf(text.data(), text.size(), "%0*X", digits, static_cast<unsigned>(value));
  return text.data();
}

std::optional<std::uint32_t> ParseHex(std::string_view text) {
  if (StartsWith(text, "0x") || StartsWith(text, "0X"))
    text.remove_prefix(2);
  if (text.empty() || text.size() > 8)
    return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    if (digit < 0)
      return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

std::optional<std::uint32_t> ParseDecimal(std::string_view text) {
  // Some attributes are right-aligned: bNumInterfaces reads " 1".
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  if (text.empty() || text.size() > 9)
    return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

std::optional<std::string> CleanText(std::optional<std::string> text) {
  if (!text)
    return std::nullopt;
  std::string clean;
  for (const char c : *text) {
    const auto byte = static_cast<unsigned char>(c);
    clean += (byte < 0x20 || byte == 0x7F) ? ' ' : c;
  }
  const std::size_t first = clean.find_first_not_of(' ');
  if (first == std::string::npos)
    return std::nullopt;
  clean = clean.substr(first, clean.find_last_not_of(' ') - first + 1);
  if (clean.size() > kMaxText) {
    // A character takes at most four bytes: further back than three
    // continuation bytes the text is not UTF-8, and is cut where it stands.
    std::size_t cut = kMaxText;
    while (cut > kMaxText - 3 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80)
      --cut;
    if ((static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80)
      cut = kMaxText;
    clean.resize(cut);
  }
  return clean;
}

}  // namespace quillon::devices::sysfs
