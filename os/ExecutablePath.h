// What the system tells about the running program: its full path, and where
// its standard output goes. The Windows side is kept in its own file, away
// from the headers that share names with the Windows macros.
#pragma once

#include <string>

namespace quillon::app {

// Empty when the system does not tell.
std::string ExecutablePath();

// Gives standard output a place for --help and --version. A Windows program
// of the window subsystem started from a console has none: there it writes to
// that console. Elsewhere, or with an output already there, nothing changes.
void ConnectStandardOutput();

}  // namespace quillon::app
