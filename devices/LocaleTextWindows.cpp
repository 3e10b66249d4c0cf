#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>

#include "LocaleText.h"

namespace quillon::devices {

void UseUserLocale() {
  // The system's comparison below follows the user's locale by itself.
}

bool EqualsIgnoringCaseInLocale(std::string_view a, std::string_view b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX)
    return false;
  if (a.empty() || b.empty())
    return a.empty() && b.empty();
  return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

}  // namespace quillon::devices
