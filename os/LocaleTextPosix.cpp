#include <langinfo.h>
#include <locale.h>

#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "os/LocaleText.h"

namespace quillon::devices {
namespace {

// C.UTF-8, made once: the plain C locale knows no letters beyond ASCII, while
// text on this system is UTF-8.
class Utf8Locale {
 public:
  Utf8Locale() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {}
  ~Utf8Locale() {
    if (locale_ != static_cast<locale_t>(nullptr))
      freelocale(locale_);
  }
  Utf8Locale(const Utf8Locale&) = delete;
  Utf8Locale& operator=(const Utf8Locale&) = delete;
  locale_t Get() const { return locale_; }

 private:
  locale_t locale_;
};

// For the length of a comparison, the locale whose encoding and letter case
// the texts follow: the current one, unless it is the plain C locale.
class CompareLocale {
 public:
  CompareLocale() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset != nullptr && std::strcmp(codeset, "ANSI_X3.4-1968") != 0)
      return;
    static const Utf8Locale utf8;
    if (utf8.Get() != static_cast<locale_t>(nullptr))
      previous_ = uselocale(utf8.Get());
  }
  ~CompareLocale() {
    if (previous_ != static_cast<locale_t>(nullptr))
      uselocale(previous_);
  }
  CompareLocale(const CompareLocale&) = delete;
  CompareLocale& operator=(const CompareLocale&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

// The next character of `text` from `pos` on, and its length in bytes; a
// byte that starts no character counts as itself, with the high bit marking
// it apart from every character.
wint_t Next(std::string_view text, std::size_t& pos) {
  const auto first = static_cast<unsigned char>(text[pos]);
  if (first < 0x80) {
    ++pos;
    return first;
  }
  std::mbstate_t state{};
  wchar_t c = 0;
  const std::size_t length = std::mbrtowc(&c, text.data() + pos, text.size() - pos, &state);
  if (length == 0) {  // an embedded NUL
    ++pos;
    return 0;
  }
  if (length > text.size() - pos) {  // (size_t)-1 or -2: no character here
    const auto byte = static_cast<unsigned char>(text[pos++]);
    return static_cast<wint_t>(0x80000000u | byte);
  }
  pos += length;
  return static_cast<wint_t>(c);
}

bool SameIgnoringCase(wint_t a, wint_t b) {
  if (a == b)
    return true;
  if ((a & 0x80000000u) != 0 || (b & 0x80000000u) != 0)
    return false;
  // ASCII letters fold as ASCII in every locale (a Turkish one would keep
  // "I" and "i" apart, and with them every switch name written in capitals).
  if (a < 0x80 && b < 0x80)
    return (a | 0x20u) == (b | 0x20u) && (a | 0x20u) >= 'a' && (a | 0x20u) <= 'z';
  // Both ways, so that letters with one upper- and two lowercase forms (or
  // the reverse) match as a case-folding comparison would.
  return std::towlower(a) == std::towlower(b) || std::towupper(a) == std::towupper(b);
}

}  // namespace

void UseUserLocale() {
  std::setlocale(LC_CTYPE, "");
}

bool EqualsIgnoringCaseInLocale(std::string_view a, std::string_view b) {
  if (a.size() == b.size() && a == b)
    return true;
  const CompareLocale locale;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (!SameIgnoringCase(Next(a, i), Next(b, j)))
      return false;
  }
  return i == a.size() && j == b.size();
}

std::filesystem::path PathFromNarrow(const std::string& text) {
  return std::filesystem::path(text);
}

std::string NarrowFromPath(const std::filesystem::path& path) {
  return path.native();
}

}  // namespace quillon::devices
