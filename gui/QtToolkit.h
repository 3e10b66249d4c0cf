// The Qt toolkit: the application object, the window over the form, modal
// error boxes, the hourglass and the exception box.
#pragma once

#include <memory>
#include <string>

#include "app/Toolkit.h"
#include "form/ErrorPresenter.h"

namespace quillon::app {

// Constructs the application object. Qt gets the program's name and nothing
// else from the command line: its own options (-platform, -reverse,
// -qwindowtitle ...) are arguments like any other, which the switches ignore.
// The platform comes from QT_QPA_PLATFORM, set before this call. Where nobody
// sees boxes (offscreen), errors go to `standardErrors`, which the program
// owns and which must outlive the toolkit.
std::unique_ptr<Toolkit> MakeQtToolkit(const std::string& programName,
                                       ui::ErrorPresenter& standardErrors);

}  // namespace quillon::app
