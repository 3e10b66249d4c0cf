// Letter case as the user's locale sees it, for names people type: switch
// names on the command line and device names. (Instance IDs and enumerators
// fold ASCII only: EqualsIgnoringCase in DeviceText.h.) And file names in the
// system's 8-bit encoding.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quillon::devices {

// Makes the user's locale (LANG, LC_ALL, LC_CTYPE) the one that character
// classes and letter case follow, as the window toolkit would. Call once at
// start-up, before any comparison.
void UseUserLocale();

// Equal 8-bit texts ignoring letter case as the locale's case-insensitive
// comparison sees it: on Windows the system's for the ANSI code page, on
// other systems per character of the locale's encoding (UTF-8 when the
// locale names none). Bytes that are no character compare as they are.
bool EqualsIgnoringCaseInLocale(std::string_view a, std::string_view b);

// Paths to and from the 8-bit text the system's own calls take and give
// (the command line, GetModuleFileNameA, CreateFileA, _open): on Windows in
// the ANSI code page, elsewhere bytes as they are. The standard library's
// own conversions on Windows read UTF-8 (u8path, which throws on other
// text) or write it (string()), and would mix two encodings. Characters the
// code page lacks become "?".
std::filesystem::path PathFromNarrow(const std::string& text);
std::string NarrowFromPath(const std::filesystem::path& path);

}  // namespace quillon::devices
