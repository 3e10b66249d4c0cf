// quillon-devices --export from outside: the device file it writes for a
// sysfs tree makes quillon report exactly what it reports over the tree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/cli/CliHarness.h"
#include "tests/devices/sysfs/FakeSysfs.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::cli_test {
namespace {

// The report log of one command-mode run over `source`.
std::string Report(const Sandbox& box, const std::string& source, const Lines& args) {
  Lines all = {"/deviceSource=" + source};
  all.insert(all.end(), args.begin(), args.end());
  const RunResult run = box.RunRaw(all);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return box.ReadLog().value_or("<no report log>");
}

TEST(Export, ReplaysASysfsTreeInQuillon) {
  for (const std::string machine : {"laptop", "vm"}) {
    SCOPED_TRACE(machine);
    devices::testing::FakeSysfs tree;
    devices::testing::LoadFixture(tree, machine + ".tree");
    const Sandbox box;
    const std::string exported = (box.Dir() / "export.json").string();
    const std::string command = std::string("'") + QUILLON_DEVICES_EXECUTABLE +
                                "' '--source=" + tree.Root() + "' --export '" + exported + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const std::string live = Report(box, tree.Root(), {"/deviceCommand=enumDevices"});
    EXPECT_GT(live.size(), 200U);
    EXPECT_EQ(Report(box, exported, {"/deviceCommand=enumDevices"}), live);
    // The fields enumDevices leaves out, class GUID and handle, of the first
    // device and of the last one by name.
    const std::string lastLine = live.substr(live.rfind("\r\n", live.size() - 3) + 2);
    const std::string lastName = lastLine.substr(0, lastLine.rfind(": 0x"));
    for (const std::string& name : Lines{"/deviceName=", "/deviceName=" + lastName}) {
      const Lines args = {name, "/deviceCommand=statusDevice"};
      const std::string status = Report(box, tree.Root(), args);
      EXPECT_EQ(status.find("DeviceHandle=\r\n"), std::string::npos) << "nothing selected";
      EXPECT_EQ(Report(box, exported, args), status) << name;
    }
  }
}

}  // namespace
}  // namespace quillon::cli_test
