// What the system tells about the running program: its full path and its
// arguments, in the platform's own form. The Windows side is kept here, away
// from the headers that share names with the Windows macros.
#pragma once

#include <string>
#include <vector>

namespace quillon::app {

// Empty when the system does not tell.
std::string ExecutablePath();

// The arguments after the program's name. On Windows they come from the raw
// command line, not the C runtime's argv: its quoting rules are the ones
// scripts written for this tool rely on.
std::vector<std::string> ProgramArguments(int argc, const char* const* argv);

// Gives standard output a place for --help and --version. A Windows program
// of the window subsystem started from a console has none: there it writes to
// that console. Elsewhere, or with an output already there, nothing changes.
void ConnectStandardOutput();

}  // namespace quillon::app
