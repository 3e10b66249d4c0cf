#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>
#include <string>

#include "os/LocaleText.h"

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

std::filesystem::path PathFromNarrow(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX)
    return {};
  const int size = static_cast<int>(text.size());
  std::wstring wide(
      static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0)),
      L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
  return std::filesystem::path(wide);
}

std::string NarrowFromPath(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty() || wide.size() > INT_MAX)
    return {};
  const int size = static_cast<int>(wide.size());
  std::string text(static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, wide.data(), size,
                                                                nullptr, 0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), size, text.data(), static_cast<int>(text.size()),
                      nullptr, nullptr);
  return text;
}

}  // namespace quillon::devices
