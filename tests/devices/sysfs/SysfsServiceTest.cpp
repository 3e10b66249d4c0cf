// The sysfs backend over whole fixture machines and its handling of sets,
// handles, vanishing devices, the enumerator filter and refused writes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "devices/DeviceText.h"
#include "devices/sysfs/SysfsClasses.h"
#include "devices/sysfs/SysfsService.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::devices::testing {
namespace {

std::unique_ptr<DeviceService> ServiceFor(const FakeSysfs& tree) {
  return MakeSysfsService(SysfsOptions{tree.Root(), tree.RootDevice()});
}

// Node selection, order, instance IDs, classes, descriptions, friendly name
// and state of every node of a laptop and of this project's build VM, against
// the fixtures' .expected files.
TEST(SysfsMachine, EveryNodeAsExpected) {
  for (const std::string machine : {"laptop", "vm"}) {
    SCOPED_TRACE(machine);
    FakeSysfs tree;
    LoadFixture(tree, machine + ".tree");
    const auto service = ServiceFor(tree);
    const auto rows = ReadAll(*service);
    const auto expected = FixtureTable(machine + ".expected");
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::vector<std::string>& want = expected[i];
      ASSERT_EQ(want.size(), 6U);
      SCOPED_TRACE(want[0]);
      EXPECT_EQ(rows[i].instanceId, want[0]);
      EXPECT_EQ(rows[i].classGuid, FormatGuid(sysfs::SetupClassGuid(want[1]))) << want[1];
      EXPECT_EQ(rows[i].description, want[2]);
      EXPECT_EQ(rows[i].friendlyName, want[3]);
      EXPECT_EQ(FormatHex8(rows[i].status), want[4]);
      EXPECT_EQ(std::to_string(rows[i].problem), want[5]);
      EXPECT_EQ(rows[i].devInst, i + 1) << "handles follow the enumeration order";
    }
  }
}

// What a node's uevent carries and what its attribute files hold list
// alike: with uevent files read, with them ignored, and on a kernel that
// has none.
TEST(SysfsMachine, UeventFilesChangeNothingListed) {
  const auto text = [](const std::vector<SysfsRow>& rows) {
    std::string all;
    for (const SysfsRow& row : rows) {
      all += row.instanceId + " | " + row.classGuid + " | " + row.description + " | " +
             row.friendlyName + " | " + FormatHex8(row.status) + " " + std::to_string(row.problem) +
             " " + std::to_string(row.devInst) + "\n";
    }
    return all;
  };
  for (const std::string machine : {"laptop", "vm"}) {
    SCOPED_TRACE(machine);
    std::vector<std::string> listings;
    for (const bool files : {true, false}) {
      FakeSysfs tree;
      tree.MakeUevents(files);
      LoadFixture(tree, machine + ".tree");
      for (const bool read : {true, false}) {
        SysfsOptions options{tree.Root(), tree.RootDevice()};
        options.readUevents = read;
        listings.push_back(text(ReadAll(*MakeSysfsService(options))));
      }
    }
    EXPECT_NE(listings[0].find("PCI\\VEN_"), std::string::npos);
    for (std::size_t i = 1; i < listings.size(); ++i)
      EXPECT_EQ(listings[i], listings[0]) << "way " << i;
  }
}

// The listing takes the IDs from the uevent file where it has one (here one
// that disagrees with the attribute files), and from the files when told
// to ignore it.
TEST(SysfsMachine, UeventIsReadUnlessIgnored) {
  FakeSysfs tree;
  ASSERT_TRUE(
      tree.Load("bus pci pci0000:00/0000:00:01.0 vendor=0x8086 device=0x1234 revision=0x01 "
                "uevent=\"PCI_ID=8086:5678\\nPCI_SLOT_NAME=0000:00:01.0\" driver=e1000e\n"));
  for (const bool read : {true, false}) {
    SysfsOptions options{tree.Root(), tree.RootDevice()};
    options.readUevents = read;
    const auto rows = ReadAll(*MakeSysfsService(options));
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows[0].instanceId, read ? "PCI\\VEN_8086&DEV_5678&REV_01\\0000:00:01.0"
                                       : "PCI\\VEN_8086&DEV_1234&REV_01\\0000:00:01.0");
  }
}

TEST(SysfsSet, EnumeratorFilterIgnoresCase) {
  FakeSysfs tree;
  LoadFixture(tree, "laptop.tree");
  const auto service = ServiceFor(tree);
  struct Row {
    const char* enumerator;
    std::size_t count;
  };
  for (const Row& row : {Row{"PCI", 10}, Row{"pci", 10}, Row{"Usb", 10}, Row{"acpi", 10},
                         Row{"STORAGE", 4}, Row{"root", 2}, Row{"HDAUDIO", 1}, Row{"NOSUCH", 0}}) {
    SCOPED_TRACE(row.enumerator);
    const auto rows = ReadAll(*service, row.enumerator);
    EXPECT_EQ(rows.size(), row.count);
    for (const SysfsRow& member : rows) {
      EXPECT_TRUE(member.instanceId.size() > std::string(row.enumerator).size() &&
                  member.instanceId[std::string(row.enumerator).size()] == '\\');
    }
  }
}

TEST(SysfsSet, HandlesSurviveRefreshesAreNeverReusedAndReadAfresh) {
  FakeSysfs tree;
  LoadFixture(tree, "vm.tree");
  const auto service = ServiceFor(tree);
  // A filtered first open still hands out the handles of every node.
  const auto pci = ReadAll(*service, "PCI");
  ASSERT_EQ(pci.size(), 6U);
  EXPECT_EQ(pci[0].devInst, 4U);
  const auto first = ReadAll(*service);
  const auto second = ReadAll(*service);
  ASSERT_EQ(first.size(), second.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].instanceId, second[i].instanceId);
    EXPECT_EQ(first[i].devInst, second[i].devInst);
  }

  // The speaker goes away: the others keep their handles, and its handle
  // is not given to the device that appears next.
  const SysfsRow* speaker = FindRow(first, "ROOT\\PCSPKR\\pcspkr");
  ASSERT_NE(speaker, nullptr);
  tree.RemoveDevice("platform/pcspkr");
  ASSERT_TRUE(tree.Load("bus platform platform/i8042 modalias=platform:i8042 driver=i8042"));
  const auto third = ReadAll(*service);
  EXPECT_EQ(third.size(), first.size());
  EXPECT_EQ(FindRow(third, "ROOT\\PCSPKR\\pcspkr"), nullptr);
  for (const SysfsRow& row : third) {
    if (const SysfsRow* before = FindRow(first, row.instanceId)) {
      EXPECT_EQ(row.devInst, before->devInst) << row.instanceId;
    } else {
      EXPECT_EQ(row.instanceId, "ROOT\\I8042\\i8042");
      EXPECT_EQ(row.devInst, first.size() + 1);
    }
  }

  // The vanished node's status fails and leaves the outputs alone.
  std::uint32_t status = 0x1234;
  std::uint32_t problem = 0x5678;
  EXPECT_EQ(service->CM_Get_DevNode_Status(&status, &problem, speaker->devInst, 0), 0x0DU);
  EXPECT_EQ(service->GetLastError(), error::kNoSuchDevinst);
  EXPECT_EQ(status, 0x1234U);
  EXPECT_EQ(problem, 0x5678U);
  // So does a handle that was never handed out.
  EXPECT_EQ(service->CM_Get_DevNode_Status(&status, &problem, 999, 0), 0x0DU);
  EXPECT_EQ(service->CM_Get_DevNode_Status(&status, &problem, 0, 0), 0x0DU);

  // A status is read afresh by handle: someone unbinds a driver while a set
  // is open.
  const SysfsRow* serial = FindRow(third, "ROOT\\SERIAL8250\\serial8250");
  ASSERT_NE(serial, nullptr);
  EXPECT_EQ(serial->status, 0x0180200BU);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, "ROOT");
  ASSERT_TRUE(set);
  tree.RemoveEntry("platform/serial8250", "driver");
  ASSERT_EQ(service->CM_Get_DevNode_Status(&status, &problem, serial->devInst, 0), CR_SUCCESS);
  EXPECT_EQ(status, 0x00802401U);
  EXPECT_EQ(problem, 28U);

  // ... and binds one while a set that saw it without a driver is open.
  const DeviceInfoSetPtr unbound = OpenPresentDevices(*service, "ROOT");
  ASSERT_TRUE(unbound);
  tree.BindDriver("platform", "platform/serial8250", "serial8250");
  ASSERT_EQ(service->CM_Get_DevNode_Status(&status, &problem, serial->devInst, 0), CR_SUCCESS);
  EXPECT_EQ(status, 0x0180200BU);
  EXPECT_EQ(problem, 0U);
}

TEST(SysfsSet, StatusReadsAttributesAfreshAfterTheSetWasOpened) {
  FakeSysfs tree;
  ASSERT_TRUE(tree.Load(R"(
bus pci pci0000:00/0000:00:01.0 vendor=0x8086 device=0x1234 class=0x020000 driver_override=(null)
bus usb pci0000:00/0000:00:01.0/usb1/1-1 idVendor=046d idProduct=c31c authorized=1 removable=removable driver=usb
bus pci pci0000:00/0000:00:02.0 vendor=0x8086 device=0x1235 class=0x020000 driver_override=(null)
)"));
  const auto service = ServiceFor(tree);
  const auto rows = ReadAll(*service);
  ASSERT_EQ(rows.size(), 3U);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, nullptr);
  ASSERT_TRUE(set);
  // Someone takes the USB device away and keeps the network function from
  // any driver while the set is open.
  tree.WriteFile("sys/devices/pci0000:00/0000:00:01.0/usb1/1-1/authorized", "0\n");
  tree.WriteFile("sys/devices/pci0000:00/0000:00:01.0/driver_override", "none\n");
  // And a driver takes the other function: its uevent says so too, the
  // listing did not.
  tree.BindDriver("pci", "pci0000:00/0000:00:02.0", "e1000e");
  const struct {
    const char* id;
    std::uint32_t problem;
  } kCases[] = {{"USB\\VID_046D&PID_C31C\\1-1", CM_PROB_DISABLED},
                {"PCI\\VEN_8086&DEV_1234\\0000:00:01.0", CM_PROB_DISABLED},
                {"PCI\\VEN_8086&DEV_1235\\0000:00:02.0", 0}};
  for (const auto& expected : kCases) {
    const SysfsRow* row = FindRow(rows, expected.id);
    ASSERT_NE(row, nullptr) << expected.id;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    ASSERT_EQ(service->CM_Get_DevNode_Status(&status, &problem, row->devInst, 0), CR_SUCCESS);
    EXPECT_EQ(problem, expected.problem) << expected.id;
    EXPECT_EQ((status & DN_HAS_PROBLEM) != 0, expected.problem != 0) << expected.id;
  }
}

// Two nodes whose IDs are the same after the cut to 200 characters.
TEST(SysfsSet, TwinsKeepTheirOwnIdsAndHandles) {
  FakeSysfs tree;
  const std::string stem(195, 'a');
  const std::string statements = "bus zz p/" + stem + "1 driver=x\nbus zz p/" + stem + "2 driver=x";
  ASSERT_TRUE(tree.Load(statements));
  const auto service = ServiceFor(tree);
  const auto first = ReadAll(*service);
  ASSERT_EQ(first.size(), 2U);
  EXPECT_EQ(first[0].instanceId.size(), 200U);
  EXPECT_EQ(first[1].instanceId, first[0].instanceId.substr(0, 198) + "_2");
  // Opened again, each keeps its own.
  const auto again = ReadAll(*service);
  ASSERT_EQ(again.size(), 2U);
  for (std::size_t i = 0; i < again.size(); ++i) {
    EXPECT_EQ(again[i].instanceId, first[i].instanceId);
    EXPECT_EQ(again[i].devInst, first[i].devInst);
  }

  // The first goes: the second keeps its ID and handle.
  tree.RemoveDevice("p/" + stem + "1");
  const auto second = ReadAll(*service);
  ASSERT_EQ(second.size(), 1U);
  EXPECT_EQ(second[0].instanceId, first[1].instanceId);
  EXPECT_EQ(second[0].devInst, first[1].devInst);

  // It comes back: both have their own again.
  ASSERT_TRUE(tree.Load(statements));
  const auto third = ReadAll(*service);
  ASSERT_EQ(third.size(), 2U);
  EXPECT_EQ(third[0].devInst, first[0].devInst);
  EXPECT_EQ(third[1].devInst, first[1].devInst);
}

TEST(SysfsSet, UnreadableAndVanishingEntriesAreSkipped) {
  FakeSysfs tree;
  ASSERT_TRUE(tree.Load(R"(
bus platform platform/alpha driver=a
bus platform platform/beta driver=b
bus platform platform/gamma driver=c
bus platform platform/delta driver=d
)"));
  // beta vanished after its bus link was listed; gamma's link leads out of
  // the tree; delta's attributes cannot be read (a directory stands there).
  tree.RemoveDevice("platform/beta");
  tree.Symlink("sys/bus/platform/devices/gamma", "/");
  std::filesystem::create_directories(tree.Root() + "/sys/devices/platform/delta/modalias");
  const auto service = ServiceFor(tree);
  const auto rows = ReadAll(*service);
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[0].instanceId, "ROOT\\ALPHA\\alpha");
  EXPECT_EQ(rows[1].instanceId, "ROOT\\DELTA\\delta");
  EXPECT_EQ(rows[1].status, 0x0180000BU);
}

TEST(SysfsSet, MemberVanishingAfterOpenStillEnumerates) {
  FakeSysfs tree;
  ASSERT_TRUE(tree.Load(R"(
bus platform platform/one driver=a
bus platform platform/two driver=b
bus platform platform/three driver=c
)"));
  const auto service = ServiceFor(tree);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, nullptr);
  ASSERT_TRUE(set);
  tree.RemoveDevice("platform/two");  // the last in path order
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  std::uint32_t count = 0;
  while (service->SetupDiEnumDeviceInfo(set.get(), count, &data))
    ++count;
  EXPECT_EQ(count, 3U);
  std::string name;
  EXPECT_EQ(ReadDisplayName(*service, set.get(), data, name), DisplayNameResult::kOk);
  EXPECT_EQ(name, "Unknown");
  std::uint32_t status = 7;
  std::uint32_t problem = 7;
  EXPECT_EQ(service->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), 0x0DU);
  EXPECT_EQ(status, 7U);
}

TEST(SysfsSet, MalformedParametersChangeNothing) {
  FakeSysfs tree;
  LoadFixture(tree, "laptop.tree");
  const auto service = ServiceFor(tree);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, "PCI");
  ASSERT_TRUE(set);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  ASSERT_TRUE(service->SetupDiEnumDeviceInfo(set.get(), 3, &data));  // the Wi-Fi adapter

  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader = {28, DIF_PROPERTYCHANGE};
  params.StateChange = DICS_DISABLE;
  params.Scope = DICS_FLAG_GLOBAL;
  EXPECT_FALSE(service->SetupDiSetClassInstallParamsA(set.get(), &data, &params.ClassInstallHeader,
                                                      sizeof(params)));
  EXPECT_EQ(service->GetLastError(), error::kInvalidParameter);
  EXPECT_FALSE(service->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data));

  // Nothing in the tree changed.
  const auto rows = ReadAll(*service, "PCI");
  EXPECT_EQ(rows[3].friendlyName, "Office Wi-Fi");
  EXPECT_EQ(rows[3].status, 0x0180200AU);
}

TEST(SysfsSet, CallerMistakesGiveWindowsErrors) {
  FakeSysfs tree;
  LoadFixture(tree, "vm.tree");
  const auto service = ServiceFor(tree);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, nullptr);
  ASSERT_TRUE(set);
  SP_DEVINFO_DATA data{};
  data.cbSize = 28;
  EXPECT_FALSE(service->SetupDiEnumDeviceInfo(set.get(), 0, &data));
  EXPECT_EQ(service->GetLastError(), error::kInvalidUserBuffer);
  data.cbSize = sizeof(data);
  ASSERT_TRUE(service->SetupDiEnumDeviceInfo(set.get(), 3, &data));

  // A buffer one byte short gives 122 and the size it needs.
  char id[kTextBufferSize] = {};
  std::uint32_t required = 0;
  const std::string expected = "PCI\\VEN_8086&DEV_0D57&SUBSYS_00000000&REV_00\\0000:00:00.0";
  EXPECT_FALSE(service->SetupDiGetDeviceInstanceIdA(
      set.get(), &data, id, static_cast<std::uint32_t>(expected.size()), &required));
  EXPECT_EQ(service->GetLastError(), error::kInsufficientBuffer);
  EXPECT_EQ(required, expected.size() + 1);
  EXPECT_TRUE(service->SetupDiGetDeviceInstanceIdA(set.get(), &data, id, required, &required));
  EXPECT_EQ(std::string(id), expected);

  auto* bogus = reinterpret_cast<HDEVINFO>(&data);
  EXPECT_FALSE(service->SetupDiEnumDeviceInfo(bogus, 0, &data));
  EXPECT_EQ(service->GetLastError(), error::kInvalidHandle);
  EXPECT_FALSE(service->SetupDiDestroyDeviceInfoList(bogus));
  EXPECT_EQ(service->GetLastError(), error::kInvalidHandle);
}

TEST(SysfsSet, MissingTreeFailsToOpen) {
  const auto service = MakeSysfsService(SysfsOptions{"/nonexistent/quillon-root", ""});
  EXPECT_EQ(service->SetupDiGetClassDevsA(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES),
            nullptr);
  EXPECT_EQ(service->GetLastError(), error::kPathNotFound);
}

// Without databases the names come from the devices and built-in tables.
TEST(SysfsSet, NoDatabasesFallsBackToOtherSources) {
  FakeSysfs tree;
  std::string error;
  ASSERT_TRUE(tree.LoadFile(SysfsFixture("vm.tree"), &error)) << error;
  const auto service = ServiceFor(tree);
  const auto rows = ReadAll(*service, "PCI");
  ASSERT_EQ(rows.size(), 6U);
  EXPECT_EQ(rows[0].description, "Bridge");
  EXPECT_EQ(rows[2].description, "Mass storage controller");
  EXPECT_EQ(rows[3].description, "Network controller");
}

// A FIFO in a database's place is no database: it must not hold the open
// until someone writes to it.
TEST(SysfsSet, DatabasesThatAreNoRegularFilesAreSkipped) {
  FakeSysfs tree;
  std::string error;
  ASSERT_TRUE(tree.LoadFile(SysfsFixture("vm.tree"), &error)) << error;
  tree.WriteFile("usr/share/misc/usb.ids", "");
  for (const char* name : {"pci.ids", "usb.ids"}) {
    const std::filesystem::path path = std::filesystem::path(tree.Root()) / "usr/share/misc" / name;
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  }
  const auto service = ServiceFor(tree);
  const auto rows = ReadAll(*service, "PCI");
  ASSERT_EQ(rows.size(), 6U);
  EXPECT_EQ(rows[0].description, "Bridge");
}

}  // namespace
}  // namespace quillon::devices::testing
