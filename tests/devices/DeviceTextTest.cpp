#include "devices/DeviceText.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon::devices {
namespace {

TEST(DeviceText, NumberFormats) {
  struct Row {
    std::uint32_t value;
    const char* signedText;
    const char* hexText;
  };
  const Row rows[] = {
      {0, "0", "0x00000000"},
      {22, "22", "0x00000016"},
      {0x0180200A, "25174026", "0x0180200A"},
      {0xE000020B, "-536870389", "0xE000020B"},
      {0xFFFFFFFF, "-1", "0xFFFFFFFF"},
      {0x80000000, "-2147483648", "0x80000000"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(FormatSigned(row.value), row.signedText);
    EXPECT_EQ(FormatHex8(row.value), row.hexText);
  }
}

TEST(DeviceText, GuidRoundTripsInUppercase) {
  GUID guid{};
  ASSERT_TRUE(ParseGuid("{4d36e972-e325-11ce-bfc1-08002be10318}", guid));
  EXPECT_EQ(FormatGuid(guid), "{4D36E972-E325-11CE-BFC1-08002BE10318}");
  ASSERT_TRUE(ParseGuid("36FC9E60-C465-11CF-8056-444553540000", guid));
  EXPECT_EQ(FormatGuid(guid), "{36FC9E60-C465-11CF-8056-444553540000}");
  EXPECT_EQ(FormatGuid(GUID{}), "{00000000-0000-0000-0000-000000000000}");
}

TEST(DeviceText, MalformedGuidsAreRefused) {
  for (const char* text :
       {"", "{}", "{4D36E972-E325-11CE-BFC1-08002BE1031}", "{4D36E972-E325-11CE-BFC1-08002BE1031G}",
        "{4D36E972xE325-11CE-BFC1-08002BE10318}", "4D36E972-E325-11CE-BFC1-08002BE10318}"}) {
    GUID guid{};
    EXPECT_FALSE(ParseGuid(text, guid)) << text;
  }
}

TEST(DeviceText, ProblemTexts) {
  const std::pair<std::uint32_t, const char*> rows[] = {
      {0, "enabled"},        {1, "no config for device"},   {5, "unknown error"},
      {22, "disabled"},      {24, "device doesn't exist"},  {28, "install failed"},
      {29, "unknown error"}, {0xFFFFFFFF, "unknown error"},
  };
  for (const auto& [code, text] : rows)
    EXPECT_EQ(ProblemText(code), text) << code;
}

// ASCII letters only: other bytes (code-page letters) must match exactly.
TEST(DeviceText, CaseIsIgnoredForAsciiLettersOnly) {
  EXPECT_TRUE(EqualsIgnoringCase("PCI\\VEN_8086", "pci\\ven_8086"));
  EXPECT_TRUE(EqualsIgnoringCase("", ""));
  EXPECT_FALSE(EqualsIgnoringCase("USB", "USBX"));
  EXPECT_FALSE(EqualsIgnoringCase("[", "{"));  // 0x5B and 0x7B differ by 0x20 too
  EXPECT_FALSE(EqualsIgnoringCase("\xC4", "\xE4"));
}

TEST(DeviceText, ControlCharactersAreFoundAndEscaped) {
  for (const char* text : {"a\nb", "\x1B[31m", "tab\t", "\x7F", "\r"})
    EXPECT_TRUE(HasControlCharacter(text)) << text;
  for (const char* text : {"", "Uplink 2", "ger\xC3\xA4t", "\xFF"})
    EXPECT_FALSE(HasControlCharacter(text)) << text;

  const std::pair<std::string, std::string> rows[] = {
      {"plain", "plain"},
      {"a\nb\r\tc\\", "a\\nb\\r\\tc\\\\"},
      {"\x1B[2J\x7F", "\\x1B[2J\\x7F"},
      {"csi\xC2\x9B", "csi\\x9B"},       // U+009B
      {"ger\xC3\xA4t", "ger\xC3\xA4t"},  // letters stay
      {std::string("nul\0", 4), "nul\\x00"},
      {std::string(50, 'k'), std::string(40, 'k') + "..."},
      // Cut after whole characters only.
      {std::string(39, 'k') + "\xC3\xA4\xC3\xA4", std::string(39, 'k') + "\xC3\xA4..."},
  };
  for (const auto& [text, escaped] : rows)
    EXPECT_EQ(EscapeForDiagnostics(text), escaped) << text;
  EXPECT_EQ(EscapeForDiagnostics(std::string(50'000'000, '[')).size(), 43u);
}

TEST(DeviceText, Utf8IsValidatedBySequence) {
  const std::pair<std::string, bool> rows[] = {
      {"", true},
      {"ger\xC3\xA4t \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xF4\x90\x80\x80", false},  // beyond it
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x80\xAF", false},
      {"\xED\xA0\x80", false},  // a surrogate
      {"\xC3", false},          // cut
      {"\xC3(", false},
      {"\x80", false},
      {"\xFF", false},
  };
  for (const auto& [text, valid] : rows)
    EXPECT_EQ(IsValidUtf8(text), valid) << EscapeForDiagnostics(text);
  EXPECT_EQ(Utf8SequenceLength("a\xE2\x82\xAC", 1), 3u);
  EXPECT_EQ(Utf8SequenceLength("a\xE2\x82", 1), 0u);
}

}  // namespace
}  // namespace quillon::devices
