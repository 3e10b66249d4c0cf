// Small text parsers and cleaners that more than one sysfs mapping file uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::devices::sysfs {

// Largest text a property may hold (the caller's buffer less the terminator).
constexpr std::size_t kMaxText = 259;

// ASCII letters in upper case; other bytes as they are.
std::string Upper(std::string_view text);

bool StartsWith(std::string_view text, std::string_view prefix);

// Up to eight hexadecimal digits, "0x" optional ("0x8086", "046d").
std::optional<std::uint32_t> ParseHex(std::string_view text);

// `value` as exactly `digits` uppercase hexadecimal digits (more when it
// needs them), as instance and hardware IDs write numbers: 0x8086 gives "8086".
std::string UpperHex(std::uint32_t value, int digits);

// Up to nine decimal digits after leading blanks.
std::optional<std::uint32_t> ParseDecimal(std::string_view text);

// Text fit for a property: control characters become blanks, outer blanks
// go, and it is cut (at a character boundary) to kMaxText bytes. None when
// nothing is left.
std::optional<std::string> CleanText(std::optional<std::string> text);

}  // namespace quillon::devices::sysfs
