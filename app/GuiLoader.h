// Where the Qt toolkit comes from: a module loaded at run time (Linux: the
// program itself maps no GUI library until it needs one) or linked in
// (Windows, static Qt). CMake chooses the implementation.
#pragma once

#include <memory>
#include <string>

#include "app/Toolkit.h"

namespace quillon::app {

// The Qt toolkit for this process; nullptr when it cannot be had, with the
// reason in `error`.
std::unique_ptr<Toolkit> LoadGuiToolkit(const std::string& executablePath,
                                        const std::string& programName, std::string& error);

// The module's entry point, by name and interface version: a module from
// another build of the program is refused rather than called.
inline constexpr char kGuiEntryName[] = "quillon_gui_make_toolkit";
inline constexpr int kGuiInterfaceVersion = 1;
using GuiEntry = bool (*)(int version, const char* programName, std::unique_ptr<Toolkit>* toolkit);

}  // namespace quillon::app
