// Texts the window and the report log show for a device: number formats,
// the setup class GUID, the problem texts and the display name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devices/DeviceService.h"

namespace quillon::devices {

// Signed 32-bit decimal: 0xE000020B gives "-536870389".
std::string FormatSigned(std::uint32_t value);

// "0x" and exactly eight uppercase hexadecimal digits.
std::string FormatHex8(std::uint32_t value);

// Braced registry form, "{4D36E972-E325-11CE-BFC1-08002BE10318}".
std::string FormatGuid(const GUID& guid);

// Parses the braced (or bare) registry form; false when malformed.
bool ParseGuid(std::string_view text, GUID& guid);

// The letter lowered when it is an ASCII capital, any other byte as it is:
// the case instance IDs, enumerators and switches ignore.
constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Equal texts ignoring the case of ASCII letters only, as instance IDs,
// enumerators and command-line switches are compared.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// EqualsIgnoringCase, and a hash that agrees with it: for sets and maps
// keyed by instance ID.
struct HashIgnoringCase {
  std::size_t operator()(std::string_view text) const;
};
struct EqualIgnoringCase {
  bool operator()(std::string_view a, std::string_view b) const { return EqualsIgnoringCase(a, b); }
};

// Whether `text` holds a control character (bytes 0x00-0x1F and 0x7F). Such
// a name would break a report line or a terminal, so no source stores one.
bool HasControlCharacter(std::string_view text);

// Length of the UTF-8 sequence that starts at `text[at]` (1 for ASCII), or
// 0 when none does: a bad lead or continuation byte, a cut sequence, an
// overlong form, a surrogate or a value beyond U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);

// Whether `text` is well-formed UTF-8 throughout.
bool IsValidUtf8(std::string_view text);

// Control characters (bytes 0x00-0x1F and 0x7F) replaced by blanks: a name
// from a device source stays on its one line of a report, and no escape
// sequence reaches a terminal.
void BlankControlCharacters(std::string& text);

// The enumDevices line of the report log, without its line end:
// "<name>: 0x<status>(<problem text>)", control characters in the name
// blanked. Appended to `line`, whose storage a caller may reuse.
void AppendEnumDevicesLine(std::string& line, std::string_view name, std::uint32_t status,
                           std::uint32_t problem);
std::string EnumDevicesLine(std::string_view name, std::uint32_t status, std::uint32_t problem);

// `text` fit to quote in a diagnostic line: control characters (C0, DEL and
// UTF-8 C1) written as \n, \t or \xHH, backslashes doubled, and cut at a
// character boundary after about `limit` bytes with "..." appended.
std::string EscapeForDiagnostics(std::string_view text, std::size_t limit = 40);

// The well-known setup classes: the name of a class GUID ("Net"), and the
// GUID of a class name (letter case counts); nullopt for others.
std::optional<std::string_view> SetupClassNameOf(const GUID& guid);
std::optional<GUID> SetupClassGuidOf(std::string_view name);

// The short text for a problem code; "unknown error" for codes without one.
std::string ProblemText(std::uint32_t problem);

// Largest text a property or name may hold, and the buffer that holds it.
constexpr std::uint32_t kTextBufferSize = 260;

enum class DisplayNameResult { kOk, kInstanceIdFailed };

// The display name of one member: its friendly name, else its description,
// else "Unknown". When the instance ID cannot be read (the test that the
// device is readable) `name` is empty and the result says so; the caller
// reports service.GetLastError().
DisplayNameResult ReadDisplayName(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data,
                                  std::string& name);

}  // namespace quillon::devices
