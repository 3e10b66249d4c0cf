// Command-line arguments and /name=value switches. Pure and free of Qt, so
// that the rules can be tested on their own and quillon-devices (tools/)
// reads its switches by the same rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillon::app {

// Splits one raw Windows command line (as GetCommandLineA returns it) into its
// arguments. Arguments are separated by runs of characters at or below the
// blank; a double quote starts a quoted run that may hold blanks and ends at
// the next double quote (or at the end of the line), and quote characters are
// removed wherever they stand. The first element is the program path and is
// not returned.
std::vector<std::string> SplitCommandLine(std::string_view raw);

// The arguments of a POSIX main(): argv[0] (the program) is dropped and every
// other element is one argument with its double-quote characters removed, as
// on Windows.
std::vector<std::string> ArgumentsFromArgv(int argc, const char* const* argv);

// The arguments after the program's name. On Windows they come from the raw
// command line, not the C runtime's argv: its quoting rules are the ones
// scripts written for this tool rely on. (One file per platform.)
std::vector<std::string> ProgramArguments(int argc, const char* const* argv);

// The value of the first argument of the form <c><name>=<value>, where <c> is
// one of `switchCharacters` and <name> is compared ignoring letter case as the
// user's locale does (devices::EqualsIgnoringCaseInLocale).
// An argument with nothing after the "=" does not match, so the search goes
// on. Gives the empty text when no argument matches.
std::string GetSwitchValue(const std::vector<std::string>& arguments, std::string_view name,
                           std::string_view switchCharacters);

}  // namespace quillon::app
