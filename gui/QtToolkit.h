// The Qt toolkit: the application object, the window over the form, modal
// error boxes, the hourglass and the exception box.
#pragma once

#include <memory>
#include <string>

#include "app/Toolkit.h"

namespace quillon::app {

// Constructs the application object. Qt gets the program's name and nothing
// else from the command line: its own options (-platform, -reverse,
// -qwindowtitle ...) are arguments like any other, which the switches ignore.
// The platform comes from QT_QPA_PLATFORM, set before this call.
std::unique_ptr<Toolkit> MakeQtToolkit(const std::string& programName);

}  // namespace quillon::app
