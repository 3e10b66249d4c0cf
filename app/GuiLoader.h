// Where the Qt toolkit comes from: a module loaded at run time (Linux: the
// program itself maps no GUI library until it needs one) or linked in
// (Windows, static Qt). CMake chooses the implementation.
#pragma once

#include <memory>
#include <string>

#include "app/Toolkit.h"
#include "form/ErrorPresenter.h"

namespace quillon::app {

// The Qt toolkit for this process; nullptr when it cannot be had, with the
// reason, one line, in `error`. Where nobody sees boxes the toolkit reports
// errors through `standardErrors`, which must outlive it.
std::unique_ptr<Toolkit> LoadGuiToolkit(const std::string& executablePath,
                                        const std::string& programName,
                                        ui::ErrorPresenter& standardErrors, std::string& error);

// The boundary to the window module, which needs no symbol of the program:
// it defines these two names, the build it comes from (read and compared
// before anything of the module is called) and the function that makes its
// toolkit. Everything else crosses as the abstract classes Toolkit,
// ErrorPresenter, FormView and FormInput.
inline constexpr char kGuiBuildName[] = "quillon_gui_build";
inline constexpr char kGuiEntryName[] = "quillon_gui_make_toolkit";
using GuiEntry = bool (*)(const char* programName, ui::ErrorPresenter* standardErrors,
                          std::unique_ptr<Toolkit>* toolkit);

}  // namespace quillon::app
