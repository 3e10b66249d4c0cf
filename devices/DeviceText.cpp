#include "devices/DeviceText.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace quillon::devices {

namespace {

// The well-known setup classes, GUIDs in registry form.
constexpr std::array<std::pair<std::string_view, std::string_view>, 29> kSetupClasses = {{
    {"CDROM", "{4D36E965-E325-11CE-BFC1-08002BE10318}"},
    {"DiskDrive", "{4D36E967-E325-11CE-BFC1-08002BE10318}"},
    {"Display", "{4D36E968-E325-11CE-BFC1-08002BE10318}"},
    {"HDC", "{4D36E96A-E325-11CE-BFC1-08002BE10318}"},
    {"Keyboard", "{4D36E96B-E325-11CE-BFC1-08002BE10318}"},
    {"MEDIA", "{4D36E96C-E325-11CE-BFC1-08002BE10318}"},
    {"Modem", "{4D36E96D-E325-11CE-BFC1-08002BE10318}"},
    {"Monitor", "{4D36E96E-E325-11CE-BFC1-08002BE10318}"},
    {"Mouse", "{4D36E96F-E325-11CE-BFC1-08002BE10318}"},
    {"Net", "{4D36E972-E325-11CE-BFC1-08002BE10318}"},
    {"Ports", "{4D36E978-E325-11CE-BFC1-08002BE10318}"},
    {"Printer", "{4D36E979-E325-11CE-BFC1-08002BE10318}"},
    {"SCSIAdapter", "{4D36E97B-E325-11CE-BFC1-08002BE10318}"},
    {"System", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
    {"Unknown", "{4D36E97E-E325-11CE-BFC1-08002BE10318}"},
    {"USB", "{36FC9E60-C465-11CF-8056-444553540000}"},
    {"USBDevice", "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}"},
    {"HIDClass", "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"},
    {"Volume", "{71A27CDD-812A-11D0-BEC7-08002BE2092F}"},
    {"Processor", "{50127DC3-0F36-415E-A6CC-4CB3BE910B65}"},
    {"Bluetooth", "{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}"},
    {"Battery", "{72631E54-78A4-11D0-BCF7-00AA00B7B32A}"},
    {"Camera", "{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}"},
    {"Image", "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"},
    {"1394", "{6BDD1FC1-810F-11D0-BEC7-08002BE2092F}"},
    {"SmartCardReader", "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"},
    {"SDHost", "{A0A588A4-C46F-4B37-B7EA-C82FE89870C6}"},
    {"SecurityDevices", "{D94EE5D8-D189-4994-83D2-F68D7D41B0E6}"},
    {"InfiniBand", "{30EF7132-D858-4A0C-AC24-B9028A5CCA3F}"},
}};

}  // namespace

std::string FormatSigned(std::uint32_t value) {
  return std::to_string(static_cast<std::int32_t>(value));
}

std::string FormatHex8(std::uint32_t value) {
  // By hand: a report writes one per device, and the text fits a string's own storage.
  std::string text = "0x00000000";
  for (std::size_t digit = text.size() - 1; value != 0; --digit, value >>= 4)
    text[digit] = "0123456789ABCDEF"[value & 0xF];
  return text;
}

std::string FormatGuid(const GUID& guid) {
  std::array<char, 39> text{};
  std::snprintf(text.data(), text.size(), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), unsigned{guid.Data2}, unsigned{guid.Data3},
                unsigned{guid.Data4[0]}, unsigned{guid.Data4[1]}, unsigned{guid.Data4[2]},
                unsigned{guid.Data4[3]}, unsigned{guid.Data4[4]}, unsigned{guid.Data4[5]},
                unsigned{guid.Data4[6]}, unsigned{guid.Data4[7]});
  return text.data();
}

namespace {

// Each byte's value as a hexadecimal digit, -1 for the others.
constexpr std::array<std::int8_t, 256> kHexDigits = [] {
  std::array<std::int8_t, 256> digits{};
  for (int c = 0; c < 256; ++c) {
    digits[static_cast<std::size_t>(c)] =
        static_cast<std::int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                 : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                 : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                        : -1);
  }
  return digits;
}();

int HexDigit(char c) {
  return kHexDigits[static_cast<unsigned char>(c)];
}

// Reads `digits` hexadecimal digits at `pos`; false if any is not one.
bool ReadHex(std::string_view text, std::size_t pos, int digits, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    const int d = HexDigit(text[pos + static_cast<std::size_t>(i)]);
    if (d < 0)
      return false;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return true;
}

}  // namespace

bool ParseGuid(std::string_view text, GUID& guid) {
  std::string_view bare = text;
  if (bare.size() == 38 && bare.front() == '{' && bare.back() == '}') {
    bare = bare.substr(1, 36);
  }
  if (bare.size() != 36 || bare[8] != '-' || bare[13] != '-' || bare[18] != '-' ||
      bare[23] != '-') {
    return false;
  }
  GUID parsed{};
  std::uint32_t part = 0;
  if (!ReadHex(bare, 0, 8, part))
    return false;
  parsed.Data1 = part;
  if (!ReadHex(bare, 9, 4, part))
    return false;
  parsed.Data2 = static_cast<std::uint16_t>(part);
  if (!ReadHex(bare, 14, 4, part))
    return false;
  parsed.Data3 = static_cast<std::uint16_t>(part);
  static constexpr std::array<std::size_t, 8> kBytePos = {19, 21, 24, 26, 28, 30, 32, 34};
  for (std::size_t i = 0; i < kBytePos.size(); ++i) {
    if (!ReadHex(bare, kBytePos[i], 2, part))
      return false;
    parsed.Data4[i] = static_cast<std::uint8_t>(part);
  }
  guid = parsed;
  return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

std::size_t HashIgnoringCase::operator()(std::string_view text) const {
  std::size_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(AsciiLower(c));
    hash *= 1099511628211ull;
  }
  return hash;
}

std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  std::uint32_t value = 0;
  if (lead < 0x80)
    return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07u;
  } else {
    return 0;
  }
  if (at + length > text.size())
    return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80)
      return 0;
    value = (value << 6) | (byte(at + i) & 0x3Fu);
  }
  static constexpr std::array<std::uint32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
  const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
  return value < kSmallest[length] || value > 0x10FFFF || surrogate ? 0 : length;
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0)
      return false;
    at += length;
  }
  return true;
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

void BlankControlCharacters(std::string& text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      c = ' ';
  }
}

void AppendEnumDevicesLine(std::string& line, std::string_view name, std::uint32_t status,
                           std::uint32_t problem) {
  const std::size_t start = line.size();
  line.append(name);
  for (std::size_t i = start; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if (byte < 0x20 || byte == 0x7F)
      line[i] = ' ';
  }
  line.append(": ").append(FormatHex8(status)).append("(").append(ProblemText(problem)).append(")");
}

std::string EnumDevicesLine(std::string_view name, std::uint32_t status, std::uint32_t problem) {
  std::string line;
  AppendEnumDevicesLine(line, name, status, problem);
  return line;
}

std::string EscapeForDiagnostics(std::string_view text, std::size_t limit) {
  std::string escaped;
  std::size_t i = 0;
  while (i < text.size() && escaped.size() < limit) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // U+0080-U+009F in UTF-8: some terminals act on them as on ESC sequences.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (byte == '\\') {
      escaped += "\\\\";
    } else if (byte == '\n') {
      escaped += "\\n";
    } else if (byte == '\r') {
      escaped += "\\r";
    } else if (byte == '\t') {
      escaped += "\\t";
    } else if (byte < 0x20 || byte == 0x7F || c1) {
      const unsigned char code = c1 ? static_cast<unsigned char>(text[++i]) : byte;
      std::array<char, 5> hex{};
      std::snprintf(hex.data(), hex.size(), "\\x%02X", unsigned{code});
      escaped += hex.data();
    } else {
      // A whole UTF-8 sequence at once, so that a cut never splits one.
      std::size_t length = 1;
      while (i + length < text.size() && length < 4 &&
             (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80 && byte >= 0xC0) {
        ++length;
      }
      escaped.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
  }
  if (i < text.size())
    escaped += "...";
  return escaped;
}

std::optional<std::string_view> SetupClassNameOf(const GUID& guid) {
  const std::string text = FormatGuid(guid);
  for (const auto& [name, guidText] : kSetupClasses) {
    if (guidText == text)
      return name;
  }
  return std::nullopt;
}

std::optional<GUID> SetupClassGuidOf(std::string_view name) {
  for (const auto& [className, guidText] : kSetupClasses) {
    if (className == name) {
      GUID guid{};
      ParseGuid(std::string(guidText), guid);
      return guid;
    }
  }
  return std::nullopt;
}

std::string ProblemText(std::uint32_t problem) {
  switch (problem) {
    case 0:
      return "enabled";
    case 1:
      return "no config for device";
    case 2:
      return "service load failed";
    case 3:
      return "out of memory";
    case 6:
      return "boot config conflict";
    case 8:
      return "Devloader not found";
    case 9:
      return "Invalid ID";
    case 12:
      return "config conflict";
    case 14:
      return "requires restart";
    case 17:
      return "unknown res type";
    case 21:
      return "devinst will remove";
    case 22:
      return "disabled";
    case 23:
      return "Devloader not ready";
    case 24:
      return "device doesn't exist";
    case 27:
      return "no valid log config";
    case 28:
      return "install failed";
    default:
      return "unknown error";
  }
}

namespace {

bool ReadTextProperty(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data,
                      std::uint32_t property, std::array<char, kTextBufferSize>& buffer) {
  std::uint32_t type = 0;
  std::uint32_t required = 0;
  return service.SetupDiGetDeviceRegistryPropertyA(set, &data, property, &type,
                                                   reinterpret_cast<std::uint8_t*>(buffer.data()),
                                                   kTextBufferSize, &required);
}

}  // namespace

DisplayNameResult ReadDisplayName(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data,
                                  std::string& name) {
  // One buffer for all three reads, as a failed read may leave it partly written.
  std::array<char, kTextBufferSize> buffer{};
  std::uint32_t required = 0;
  if (!service.SetupDiGetDeviceInstanceIdA(set, &data, buffer.data(), kTextBufferSize, &required)) {
    name.clear();
    return DisplayNameResult::kInstanceIdFailed;
  }
  if (!ReadTextProperty(service, set, data, SPDRP_FRIENDLYNAME, buffer) &&
      !ReadTextProperty(service, set, data, SPDRP_DEVICEDESC, buffer)) {
    name = "Unknown";
    return DisplayNameResult::kOk;
  }
  buffer.back() = '\0';  // a backend that fills the whole buffer still ends here
  name = buffer.data();
  return DisplayNameResult::kOk;
}

DeviceInfoSetPtr OpenPresentDevices(DeviceService& service, const char* enumerator) {
  const char* filter = (enumerator != nullptr && enumerator[0] != '\0') ? enumerator : nullptr;
  return DeviceInfoSetPtr(
      service.SetupDiGetClassDevsA(nullptr, filter, DIGCF_PRESENT | DIGCF_ALLCLASSES),
      DeviceInfoSetCloser(service));
}

}  // namespace quillon::devices
