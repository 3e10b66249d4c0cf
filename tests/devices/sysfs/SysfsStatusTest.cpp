// Mapping rules over small trees: status and problem, setup classes, the
// order in which descriptions are looked for, the friendly name (the cases
// are in fixtures/rules.cases), and the root-disk chain.
#include <gtest/gtest.h>

#include <sstream>

#include "devices/DeviceText.h"
#include "devices/sysfs/SysfsClasses.h"
#include "devices/sysfs/SysfsParse.h"
#include "devices/sysfs/SysfsService.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::devices::testing {
namespace {

// The one node of a tree built from `statements` (with the test databases),
// with uevent files or, for `uevents` false, as a kernel without them.
SysfsRow OnlyNode(const char* statements, const std::string& rootDevice = "", bool uevents = true) {
  FakeSysfs tree;
  tree.MakeUevents(uevents);
  std::string error;
  EXPECT_TRUE(tree.Load(statements, &error)) << error;
  LoadFixture(tree, "empty.tree");
  const auto service = MakeSysfsService(SysfsOptions{tree.Root(), rootDevice});
  const auto rows = ReadAll(*service);
  EXPECT_EQ(rows.size(), 1U) << statements;
  return rows.empty() ? SysfsRow{} : rows.front();
}

// Each case of rules.cases: one small tree, one expectation about its node.
TEST(SysfsRules, EveryCaseOfTheFixture) {
  std::istringstream text(FixtureText("rules.cases"));
  int lineNumber = 0;
  int cases = 0;
  std::string expectation;
  std::string statements;
  int start = 0;
  const auto check = [&] {
    if (expectation.empty())
      return;
    SCOPED_TRACE("rules.cases:" + std::to_string(start) + ": " + expectation);
    ++cases;
    const SysfsRow node = OnlyNode(statements.c_str());
    const SysfsRow without = OnlyNode(statements.c_str(), "", false);
    EXPECT_EQ(without.instanceId + without.description + without.classGuid +
                  FormatHex8(without.status) + std::to_string(without.problem),
              node.instanceId + node.description + node.classGuid + FormatHex8(node.status) +
                  std::to_string(node.problem))
        << "without uevent files";
    const std::size_t blank = expectation.find(' ');
    const std::string kind = expectation.substr(0, blank);
    const std::string want = expectation.substr(blank + 1);
    if (kind == "status") {
      EXPECT_EQ(FormatHex8(node.status) + " " + std::to_string(node.problem), want);
    } else if (kind == "class") {
      EXPECT_EQ(node.classGuid, FormatGuid(sysfs::SetupClassGuid(want))) << want;
    } else if (kind == "description") {
      EXPECT_EQ(node.description, want);
    } else {
      ASSERT_EQ(kind, "friendlyName");
      EXPECT_EQ(node.friendlyName, want);
    }
    expectation.clear();
    statements.clear();
  };
  for (std::string line; std::getline(text, line);) {
    ++lineNumber;
    if (line.empty()) {
      check();
    } else if (line[0] == '#') {
      continue;
    } else if (expectation.empty()) {
      expectation = line;
      start = lineNumber;
    } else {
      statements += line + "\n";
    }
  }
  check();
  EXPECT_GT(cases, 90);
}

// The devices holding "/" cannot be disabled, whichever disk that is.
TEST(SysfsStatus, RootDiskChainIsNotDisableable) {
  struct Row {
    const char* rootDevice;
    const char* notDisableable;
    const char* disableable;
  };
  const Row rows[] = {
      {"259:2", "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00\\0000:02:00.0",
       "USB\\VID_0781&PID_5567\\1-2"},
      {"259:2", "PCI\\VEN_8086&DEV_02B0&SUBSYS_229317AA&REV_F0\\0000:00:1d.0",
       "PCI\\VEN_8086&DEV_02ED&SUBSYS_229317AA&REV_00\\0000:00:14.0"},
      {"8:1", "USB\\VID_0781&PID_5567\\1-2",
       "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00\\0000:02:00.0"},
      {"8:1", "USB\\VID_0781&PID_5567&MI_00\\1-2:1.0", "USB\\VID_046D&PID_C31C\\1-1"},
      {"8:1", "PCI\\VEN_8086&DEV_02ED&SUBSYS_229317AA&REV_00\\0000:00:14.0",
       "PCI\\VEN_8086&DEV_02B0&SUBSYS_229317AA&REV_F0\\0000:00:1d.0"},
      // Through device-mapper: dm-0 rests on the second nvme partition.
      {"253:0", "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00\\0000:02:00.0",
       "USB\\VID_0781&PID_5567\\1-2"},
      // Not a block device (a network or overlay root): everything may go.
      {"", "", "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00\\0000:02:00.0"},
      {"99:9", "", "PCI\\VEN_8086&DEV_02B0&SUBSYS_229317AA&REV_F0\\0000:00:1d.0"},
  };
  FakeSysfs tree;
  LoadFixture(tree, "laptop.tree");
  ASSERT_TRUE(tree.Load(
      "class block virtual/block/dm-0 dev=253:0 "
      "@slaves/nvme0n1p2=pci0000:00/0000:00:1d.0/0000:02:00.0/nvme/nvme0/nvme0n1/nvme0n1p2"));
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.rootDevice) + " " + row.notDisableable);
    const auto service = MakeSysfsService(SysfsOptions{tree.Root(), row.rootDevice});
    const auto nodes = ReadAll(*service);
    if (*row.notDisableable != '\0') {
      const SysfsRow* held = FindRow(nodes, row.notDisableable);
      ASSERT_NE(held, nullptr);
      EXPECT_EQ(held->status & DN_DISABLEABLE, 0U);
      EXPECT_EQ(held->problem, 0U);
    }
    const SysfsRow* free = FindRow(nodes, row.disableable);
    ASSERT_NE(free, nullptr);
    EXPECT_EQ(free->status & DN_DISABLEABLE, DN_DISABLEABLE);
  }
}

// Problem 10 rather than 28 where the running kernel has a driver for the
// node's modalias, as a module or built in.
TEST(SysfsStatus, DriverThatExistsButIsNotBound) {
  struct Row {
    const char* what;
    const char* node;
    const char* release;
    std::uint32_t problem;
  };
  const char* const nic =
      "bus pci p/0000:00:03.0 class=0x020000 driver_override=(null) "
      "modalias=pci:v00008086d0000100Esv00001AF4sd00001100bc02sc00i00";
  const Row rows[] = {
      {"module", nic, "6.1.0-test", 10},
      {"built in", "bus acpi LNXPWRBN:00 hid=LNXPWRBN modalias=acpi:LNXPWRBN:", "6.1.0-test", 10},
      {"no driver for it",
       "bus pci p/0000:00:03.0 class=0x020000 modalias=pci:v00008086d0000100Fsv0sd0bc02sc00i00",
       "6.1.0-test", 28},
      {"another release's drivers", nic, "6.2.0-other", 28},
      {"a release that would leave the folder", nic, "..", 28},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeSysfs tree;
    ASSERT_TRUE(tree.Load(row.node));
    tree.WriteFile("proc/sys/kernel/osrelease", std::string(row.release) + "\n");
    tree.WriteFile("lib/modules/6.1.0-test/modules.alias",
                   "# Aliases extracted from modules themselves.\n"
                   "alias pci:v00008086d0000100Esv*sd*bc*sc*i* e1000\n");
    tree.WriteFile("lib/modules/6.1.0-test/modules.builtin.alias",
                   "alias acpi*:LNXPWRBN:* button\n");
    tree.WriteFile("lib/modules/modules.alias", "alias pci:* everything\n");
    const auto service = MakeSysfsService(SysfsOptions{tree.Root(), ""});
    const auto nodes = ReadAll(*service);
    ASSERT_EQ(nodes.size(), 1U);
    EXPECT_EQ(nodes[0].problem, row.problem);
  }
}

TEST(SysfsClass, GuidsOfTheClassesOutsideDevguid) {
  EXPECT_EQ(FormatGuid(sysfs::SetupClassGuid("USBDevice")),
            "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}");
  EXPECT_EQ(FormatGuid(sysfs::SetupClassGuid("SDHost")), "{A0A588A4-C46F-4B37-B7EA-C82FE89870C6}");
  EXPECT_EQ(FormatGuid(sysfs::SetupClassGuid("SecurityDevices")),
            "{D94EE5D8-D189-4994-83D2-F68D7D41B0E6}");
  EXPECT_EQ(FormatGuid(sysfs::SetupClassGuid("Net")), "{4D36E972-E325-11CE-BFC1-08002BE10318}");
}

TEST(SysfsDescription, LongTextsAreCutToTheBuffer) {
  const std::string longName(300, 'x');
  const std::string statements = "bus usb p/1-1 idVendor=dead idProduct=beef product=" + longName;
  const SysfsRow node = OnlyNode(statements.c_str());
  EXPECT_EQ(node.description, std::string(259, 'x'));
}

// Cut at a character's start, never into it; bytes that are no UTF-8 at all
// are cut where the limit falls, never to nothing.
TEST(SysfsDescription, TextsAreCutAtACharacterBoundary) {
  const struct {
    const char* what;
    std::string text;
    std::size_t size;
  } rows[] = {
      {"two-byte character across the limit", std::string(258, 'x') + "\xC3\xA4", 258},
      {"four-byte character across the limit", std::string(257, 'x') + "\xF0\x9F\x98\x80", 257},
      {"only continuation bytes", std::string(300, '\xA8'), 259},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto clean = sysfs::CleanText(row.text);
    ASSERT_TRUE(clean);
    EXPECT_EQ(clean->size(), row.size);
  }
}

}  // namespace
}  // namespace quillon::devices::testing
