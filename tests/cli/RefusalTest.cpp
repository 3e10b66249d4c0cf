// A change the sysfs source refuses for a reason of the machine's: one line
// on standard error says why, beside the error box's line; nothing else.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/CliHarness.h"
#include "tests/devices/sysfs/FakeSysfs.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::cli_test {
namespace {

TEST(Refusal, AMountedStickIsNotTakenAwayAndQuillonSaysWhy) {
  devices::testing::FakeSysfs tree;
  devices::testing::LoadFixture(tree, "laptop.tree");
  tree.WriteFile("proc/self/mountinfo",
                 "40 1 8:1 / /media/my\\040stick rw,nosuid - vfat /dev/sda1 rw\n");
  const Sandbox box;
  for (const auto& [command, verb] :
       {std::pair{"disableDevice", "disabled"}, {"stopDevice", "stopped"}}) {
    const RunResult run = box.RunRaw({"/deviceSource=" + tree.Root(), "/deviceName=Cruzer Blade",
                                      std::string("/deviceCommand=") + command});
    ExpectEndedNormally(run, {"Error: SetupDiCallClassInstaller(): HANDLE error -536870351"});
    EXPECT_EQ(run.OwnErrLines(),
              (Lines{std::string("quillon: USB\\VID_0781&PID_5567\\1-2 was not ") + verb +
                         ": /media/my stick is mounted from it",
                     "Error: SetupDiCallClassInstaller(): HANDLE error -536870351"}));
    EXPECT_EQ(box.ReadLog().value_or(""), "");
  }
  EXPECT_FALSE(std::filesystem::exists(tree.Root() + "/etc"));
}

}  // namespace
}  // namespace quillon::cli_test
