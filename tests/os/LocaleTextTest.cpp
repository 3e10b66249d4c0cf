#include "os/LocaleText.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace quillon::devices {
namespace {

// Letters beyond ASCII fold as the user's locale folds them: UTF-8 on Linux,
// the ANSI code page (1252 here) on Windows.
TEST(LocaleText, CaseIsIgnoredAsTheLocaleDoes) {
#ifdef _WIN32
  const char* upper = "GER\xC4T";
  const char* lower = "ger\xE4t";
  const char* other = "ger\xE5t";
#else
  const std::string previous = std::setlocale(LC_CTYPE, nullptr);
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
    GTEST_SKIP() << "no C.UTF-8 locale";
  const char* upper = "GER\xC3\x84T";
  const char* lower = "ger\xC3\xA4t";
  const char* other = "ger\xC3\xA5t";
#endif
  EXPECT_TRUE(EqualsIgnoringCaseInLocale(upper, lower));
  EXPECT_FALSE(EqualsIgnoringCaseInLocale(upper, other));
  EXPECT_TRUE(EqualsIgnoringCaseInLocale("Uplink", "UPLINK"));
  EXPECT_TRUE(EqualsIgnoringCaseInLocale("", ""));
  EXPECT_FALSE(EqualsIgnoringCaseInLocale("Disk", "Disk 2"));
  EXPECT_FALSE(EqualsIgnoringCaseInLocale("[", "{"));
#ifndef _WIN32
  EXPECT_TRUE(EqualsIgnoringCaseInLocale("a\xFF", "A\xFF"));  // no character: as it is
  EXPECT_FALSE(EqualsIgnoringCaseInLocale("a\xFF", "a\xFE"));
  std::setlocale(LC_CTYPE, previous.c_str());
#endif
}

}  // namespace
}  // namespace quillon::devices
