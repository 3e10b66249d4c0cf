#include "app/GuiModuleFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::app {
namespace {

// Only absolute places, in order; none relative to the working directory,
// also when the system does not tell the program's path (/proc unmounted).
TEST(GuiModuleCandidatesTest, OnlyAbsolutePlacesInOrder) {
  const std::string installed = "/usr/lib/x86_64-linux-gnu/quillon/quillon-gui.so";
  struct Case {
    const char* executable;
    const char* environment;
    std::vector<std::string> expected;
  } cases[] = {
      {"/opt/q/bin/quillon",
       "/tmp/m.so",
       {"/opt/q/bin/quillon-gui.so", "/opt/q/bin/../lib/quillon/quillon-gui.so", installed,
        "/tmp/m.so"}},
      {"", "", {installed}},
      {"", "quillon-gui.so", {installed}},
      {"quillon", "./m.so", {installed}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GuiModuleCandidates(c.executable, "../lib/quillon", installed, c.environment),
              c.expected)
        << '"' << c.executable << "\" \"" << c.environment << '"';
  }
}

}  // namespace
}  // namespace quillon::app
