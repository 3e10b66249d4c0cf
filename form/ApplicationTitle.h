// The application's title: the main window's caption, the exception box's
// caption, and the start of the program's own lines on standard error.
#pragma once

namespace quillon::ui {

inline constexpr char kApplicationTitle[] = "Quillon - Varnholt";

}  // namespace quillon::ui
