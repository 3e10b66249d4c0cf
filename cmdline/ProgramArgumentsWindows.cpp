// libstdc++ for mingw-w64 defines NOMINMAX already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "cmdline/CommandLine.h"

namespace quillon::app {

std::vector<std::string> ProgramArguments(int, const char* const*) {
  return SplitCommandLine(GetCommandLineA());
}

}  // namespace quillon::app
