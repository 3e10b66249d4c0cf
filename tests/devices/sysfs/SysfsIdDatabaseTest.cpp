#include "devices/sysfs/IdDatabase.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "devices/sysfs/SysfsService.h"
#include "tests/devices/sysfs/FakeSysfs.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::devices::sysfs {
namespace {

const char* const kText =
    "0001  SafeNet (wrong ID)\n"
    "\t0002  First device\n"
    "# a comment between vendors\n"
    "1af4  Red Hat, Inc.\n"
    "\t1041  Virtio 1.0 network device\n"
    "# a comment inside a vendor\n"
    "\t1110  Inter-VM shared memory\n"
    "\t\t1af4 1100  QEMU Virtual Machine\n"
    "1b36  Red Hat, Inc.\n"
    "\t0001  QEMU PCI-PCI bridge\n"
    "\t1af4  Not a vendor line\n"
    "8086  Intel Corporation\n"
    "\t100e  82540EM Gigabit Ethernet Controller\n"
    "\t\t1af4 1100  QEMU Virtual Machine\n"
    "\t\t8086 001e  PRO/1000 MT Desktop Adapter\n"
    "C 01  Mass storage controller\n"
    "\t06  SATA controller\n"
    "\t\t01  AHCI 1.0\n"
    "C 02  Network controller\n";

TEST(IdDatabase, FindsVendorsDevicesAndSubsystems) {
  const IdDatabase db = IdDatabase::FromText(kText);
  EXPECT_EQ(db.DeviceName(0x0001, 0x0002), "First device");            // below the very first line
  EXPECT_EQ(db.DeviceName(0x1AF4, 0x1110), "Inter-VM shared memory");  // past a comment
  EXPECT_EQ(db.DeviceName(0x8086, 0x100E), "82540EM Gigabit Ethernet Controller");
  EXPECT_EQ(db.SubsystemName(0x8086, 0x100E, 0x8086, 0x001E), "PRO/1000 MT Desktop Adapter");
  EXPECT_EQ(db.SubsystemName(0x1AF4, 0x1110, 0x1AF4, 0x1100), "QEMU Virtual Machine");
  EXPECT_EQ(db.ClassName(0x01), "Mass storage controller");
  EXPECT_EQ(db.SubclassName(0x01, 0x06), "SATA controller");
  EXPECT_EQ(db.InterfaceName(0x01, 0x06, 0x01), "AHCI 1.0");
}

TEST(IdDatabase, LooksOnlyWhereAnEntryBelongs) {
  const IdDatabase db = IdDatabase::FromText(kText);
  // A device line with the same digits is no vendor; a subsystem line is no device.
  EXPECT_EQ(db.DeviceName(0x1B36, 0x0001), "QEMU PCI-PCI bridge");
  EXPECT_EQ(db.DeviceName(0x1AF4, 0x0001), std::nullopt);
  EXPECT_EQ(db.DeviceName(0x8086, 0x1AF4), std::nullopt);
  EXPECT_EQ(db.DeviceName(0x1B36, 0x100E), std::nullopt);
  EXPECT_EQ(db.SubsystemName(0x8086, 0x100E, 0x1234, 0x5678), std::nullopt);
  EXPECT_EQ(db.DeviceName(0x9999, 0x0001), std::nullopt);
  EXPECT_EQ(db.SubclassName(0x02, 0x00), std::nullopt);
  EXPECT_EQ(db.ClassName(0x03), std::nullopt);
  EXPECT_TRUE(IdDatabase().Empty());
  EXPECT_EQ(IdDatabase().DeviceName(0x8086, 0x100E), std::nullopt);
  EXPECT_TRUE(IdDatabase("/nonexistent/pci.ids").Empty());
}

// Entries are looked up by bisecting the ordered top-level lines; a file out
// of order (or with lists after the classes, as usb.ids has) still answers.
TEST(IdDatabase, FindsEntriesWhateverTheOrder) {
  const char* const texts[] = {
      kText,
      "8086  Intel Corporation\n\t100e  82540EM Gigabit Ethernet Controller\n"
      "C 01  Mass storage controller\n\t06  SATA controller\n"
      "0001  SafeNet (wrong ID)\n\t0002  First device\n"
      "1af4  Red Hat, Inc.\n\t1110  Inter-VM shared memory\n",
      "0001  SafeNet (wrong ID)\n\t0002  First device\n1af4  Red Hat, Inc.\n"
      "\t1110  Inter-VM shared memory\n8086  Intel Corporation\n"
      "\t100e  82540EM Gigabit Ethernet Controller\nC 01  Mass storage controller\n"
      "\t06  SATA controller\nAT 0100  USB Undefined\nHID 00  None\nL 0001  Arabic\n"
      "\t01  Saudi Arabia\nVT 0000  Undefined\n",
  };
  for (const char* text : texts) {
    const IdDatabase db = IdDatabase::FromText(text);
    EXPECT_EQ(db.DeviceName(0x0001, 0x0002), "First device");
    EXPECT_EQ(db.DeviceName(0x1AF4, 0x1110), "Inter-VM shared memory");
    EXPECT_EQ(db.DeviceName(0x8086, 0x100E), "82540EM Gigabit Ethernet Controller");
    EXPECT_EQ(db.SubclassName(0x01, 0x06), "SATA controller");
    EXPECT_EQ(db.DeviceName(0x1234, 0x0001), std::nullopt);
    EXPECT_EQ(db.ClassName(0x02),
              text == kText ? std::optional<std::string>("Network controller") : std::nullopt);
  }
}

TEST(IdDatabase, VendorLinesUseLowerCaseDigits) {
  EXPECT_EQ(IdDatabase::FromText("ABCD  Upper\n\tEF01  Device\n").DeviceName(0xABCD, 0xEF01),
            std::nullopt);
  EXPECT_EQ(IdDatabase::FromText("abcd  Lower\n\tEF01  Device\n").DeviceName(0xABCD, 0xEF01),
            "Device");
}

// The installed database answers a handful of lookups in well under a few
// milliseconds, because nothing is parsed up front.
TEST(IdDatabase, InstalledDatabaseIsCheapToSearch) {
  const std::string path = "/usr/share/misc/pci.ids";
  if (!std::filesystem::exists(path))
    GTEST_SKIP() << "no " << path;
  const auto start = std::chrono::steady_clock::now();
  const IdDatabase db(path);
  EXPECT_EQ(db.DeviceName(0x1AF4, 0x1041), "Virtio 1.0 network device");
  EXPECT_TRUE(db.DeviceName(0x8086, 0x100E).has_value());
  EXPECT_TRUE(db.ClassName(0x06).has_value());
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(50));
}

// Distributions keep the databases in different folders; the first one found
// under the root is used.
TEST(IdDatabase, LocatedWhereDistributionsKeepThem) {
  struct Case {
    std::vector<std::string> files;  // relative to the root
    std::string expected;            // relative to the root, "" for none
  };
  const Case cases[] = {
      {{"usr/share/misc/pci.ids"}, "usr/share/misc/pci.ids"},
      {{"usr/share/hwdata/pci.ids"}, "usr/share/hwdata/pci.ids"},
      {{"usr/share/pci.ids"}, "usr/share/pci.ids"},
      {{"usr/share/pci.ids", "usr/share/hwdata/pci.ids", "usr/share/misc/pci.ids"},
       "usr/share/misc/pci.ids"},
      {{"usr/share/pci.ids", "usr/share/hwdata/pci.ids"}, "usr/share/hwdata/pci.ids"},
      {{"usr/share/misc/usb.ids", "usr/share/misc/pci.ids.gz"}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    testing::FakeSysfs tree;
    for (const std::string& file : c.files)
      tree.WriteFile(file, "1af4  Red Hat, Inc.\n");
    const std::string expected = c.expected.empty() ? "" : tree.Root() + "/" + c.expected;
    EXPECT_EQ(IdDatabase::Locate(tree.Root(), "pci.ids"), expected)
        << "with " << c.files.size() << " files, expecting " << c.expected;
  }
  // A folder of that name is not a database.
  testing::FakeSysfs tree;
  tree.WriteFile("usr/share/misc/pci.ids/readme", "");
  tree.WriteFile("usr/share/hwdata/pci.ids", "");
  EXPECT_EQ(IdDatabase::Locate(tree.Root(), "pci.ids"), tree.Root() + "/usr/share/hwdata/pci.ids");
}

// A tree whose databases are where Fedora keeps them is named as with Debian's.
TEST(IdDatabase, DevicesNamedFromAnyLocation) {
  const auto read = [](const std::string& folder) {
    testing::FakeSysfs tree;
    EXPECT_TRUE(tree.LoadFile(testing::SysfsFixture("vm.tree")));
    if (!folder.empty()) {
      tree.WriteFile(folder + "/pci.ids", testing::FixtureText("pci.ids"));
      tree.WriteFile(folder + "/usb.ids", testing::FixtureText("usb.ids"));
    }
    std::vector<std::string> descriptions;
    const auto service = MakeSysfsService(SysfsOptions{tree.Root(), tree.RootDevice()});
    for (const auto& row : testing::ReadAll(*service))
      descriptions.push_back(row.description);
    return descriptions;
  };
  const auto debian = read("usr/share/misc");
  EXPECT_EQ(read("usr/share/hwdata"), debian);
  EXPECT_EQ(read("usr/share"), debian);
  EXPECT_NE(read(""), debian);
}

}  // namespace
}  // namespace quillon::devices::sysfs
