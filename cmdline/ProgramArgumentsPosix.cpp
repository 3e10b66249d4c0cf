#include "cmdline/CommandLine.h"

namespace quillon::app {

std::vector<std::string> ProgramArguments(int argc, const char* const* argv) {
  return ArgumentsFromArgv(argc, argv);
}

}  // namespace quillon::app
