// The sysfs backend over whole fixture machines and its handling of sets,
// handles, vanishing devices, the enumerator filter and refused writes.
#include <gtest/gtest.h>

#include <filesystem>

#include "DeviceText.h"
#include "SysfsNode.h"
#include "SysfsService.h"
#include "SysfsTestSupport.h"

namespace quillon::devices::testing {
namespace {

struct Expected {
  const char* instanceId;
  const char* className;
  const char* description;
  const char* friendlyName;
  std::uint32_t status;
  std::uint32_t problem;
};

std::unique_ptr<DeviceService> ServiceFor(const FakeSysfs& tree) {
  return MakeSysfsService(SysfsOptions{tree.Root(), tree.RootDevice()});
}

void ExpectMachine(const std::vector<SysfsRow>& rows, const std::vector<Expected>& expected) {
  ASSERT_EQ(rows.size(), expected.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(expected[i].instanceId);
    EXPECT_EQ(rows[i].instanceId, expected[i].instanceId);
    EXPECT_EQ(rows[i].classGuid, FormatGuid(sysfs::SetupClassGuid(expected[i].className)))
        << expected[i].className;
    EXPECT_EQ(rows[i].description, expected[i].description);
    EXPECT_EQ(rows[i].friendlyName, expected[i].friendlyName);
    EXPECT_EQ(FormatHex8(rows[i].status), FormatHex8(expected[i].status));
    EXPECT_EQ(rows[i].problem, expected[i].problem);
    EXPECT_EQ(rows[i].devInst, i + 1) << "handles follow the enumeration order";
  }
}

// Node selection, order, instance IDs, classes, descriptions, friendly name
// and state of every node of a laptop.
TEST(SysfsMachine, Laptop) {
  FakeSysfs tree;
  LoadFixture(tree, "laptop.tree");
  const auto service = ServiceFor(tree);
  ExpectMachine(
      ReadAll(*service),
      {
          {"ACPI\\LNXSYSTM\\LNXSYSTM:00", "System", "ACPI System", "<none>", 0x00800008, 0},
          {"ACPI\\LNXPWRBN\\LNXPWRBN:00", "System", "Power Button", "<none>", 0x0180000A, 0},
          {"ACPI\\LNXSYBUS\\LNXSYBUS:00", "System", "ACPI System Bus", "<none>", 0x00800008, 0},
          {"ACPI\\ACPI0003\\ACPI0003:00", "Battery", "AC Adapter", "<none>", 0x0180000A, 0},
          {"ACPI\\PNP0C0A\\PNP0C0A:00", "Battery", "Control Method Battery", "<none>", 0x0180000A,
           0},
          {"ACPI\\PNP0C0D\\PNP0C0D:00", "System", "Lid Switch", "<none>", 0x0180000A, 0},
          {"ACPI\\LNXTHERM\\LNXTHERM:00", "System", "ACPI Thermal Zone", "<none>", 0x00800008, 0},
          {"PCI\\VEN_8086&DEV_9B61&SUBSYS_229317AA&REV_0C\\0000:00:00.0", "System",
           "ThinkPad X13 Gen 1", "<none>", 0x00802008, 0},
          {"PCI\\VEN_8086&DEV_9B41&SUBSYS_229317AA&REV_02\\0000:00:02.0", "Display",
           "CometLake-U GT2 [UHD Graphics]", "<none>", 0x0180200A, 0},
          {"PCI\\VEN_8086&DEV_02ED&SUBSYS_229317AA&REV_00\\0000:00:14.0", "USB",
           "Comet Lake PCH-LP USB 3.1 xHCI Host Controller", "<none>", 0x0180200A, 0},
          {"USB\\VID_1D6B&PID_0002\\usb1", "USB", "2.0 root hub", "<none>", 0x0180000A, 0},
          {"USB\\VID_1D6B&PID_0002&MI_00\\1-0:1.0", "USB", "Hub", "<none>", 0x0180200A, 0},
          {"USB\\VID_046D&PID_C31C\\1-1", "HIDClass", "Keyboard K120", "<none>", 0x0180600A, 0},
          {"USB\\VID_046D&PID_C31C&MI_00\\1-1:1.0", "HIDClass", "Human Interface Device", "<none>",
           0x0180200A, 0},
          {"HID\\VID_046D&PID_C31C\\0003:046D:C31C.0001", "Keyboard", "Logitech USB Keyboard",
           "<none>", 0x0180000A, 0},
          {"USB\\VID_0781&PID_5567\\1-2", "USB", "Cruzer Blade", "<none>", 0x0180600A, 0},
          {"USB\\VID_0781&PID_5567&MI_00\\1-2:1.0", "USB", "Mass Storage", "<none>", 0x0180200A, 0},
          {"SCSI\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE\\0:0:0:0", "DiskDrive", "SanDisk Cruzer Blade",
           "<none>", 0x0180000A, 0},
          {"STORAGE\\VOLUME\\sda1", "Volume", "Generic volume", "<none>", 0x00800008, 0},
          {"USB\\VID_1050&PID_0407\\1-3", "USB", "YubiKey OTP+FIDO+CCID", "<none>", 0x00806400, 22},
          {"USB\\VID_0C45&PID_6713\\1-4", "USB", "Integrated_Webcam_HD", "<none>", 0x0180200A, 0},
          {"USB\\VID_0C45&PID_6713&MI_00\\1-4:1.0", "Camera", "Video", "<none>", 0x0180200A, 0},
          {"USB\\VID_0C45&PID_6713&MI_01\\1-4:1.1", "Camera", "Video", "<none>", 0x00802400, 28},
          {"PCI\\VEN_8086&DEV_02F0&SUBSYS_00748086&REV_00\\0000:00:14.3", "Net",
           "Wi-Fi 6 AX201 160MHz", "Office Wi-Fi", 0x0180200A, 0},
          {"PCI\\VEN_8086&DEV_02E0&SUBSYS_229317AA&REV_00\\0000:00:16.0", "Unknown",
           "Comet Lake Management Engine Interface", "<none>", 0x00802400, 28},
          {"PCI\\VEN_8086&DEV_02B0&SUBSYS_229317AA&REV_F0\\0000:00:1d.0", "System",
           "PCI bridge (Normal decode)", "<none>", 0x0180000A, 0},
          {"PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00\\0000:02:00.0", "SCSIAdapter",
           "SSD 970 EVO Plus 1TB", "<none>", 0x0180000A, 0},
          {"STORAGE\\DISK\\nvme0n1", "DiskDrive", "Samsung SSD 970 EVO Plus 1TB", "<none>",
           0x00800008, 0},
          {"STORAGE\\VOLUME\\nvme0n1p1", "Volume", "Generic volume", "<none>", 0x00800008, 0},
          {"STORAGE\\VOLUME\\nvme0n1p2", "Volume", "Generic volume", "<none>", 0x00800008, 0},
          {"PCI\\VEN_8086&DEV_02C8&SUBSYS_229317AA&REV_00\\0000:00:1f.3", "System",
           "Comet Lake PCH-LP cAVS", "<none>", 0x0180200A, 0},
          {"HDAUDIO\\VEN_10EC&DEV_0257&SUBSYS_17AA2293\\hdaudioC0D0", "MEDIA", "Realtek ALC257",
           "<none>", 0x0180000A, 0},
          {"PCI\\VEN_8086&DEV_02A3&SUBSYS_229317AA&REV_00\\0000:00:1f.4", "Unknown",
           "Comet Lake PCH-LP SMBus Host Controller", "<none>", 0x00802400, 10},
          {"PCI\\VEN_8086&DEV_02A4&SUBSYS_229317AA&REV_00\\0000:00:1f.5", "Unknown",
           "Serial bus controller", "<none>", 0x00802400, 22},
          {"ACPI\\INT33D5\\INT33D5:00", "System", "Intel HID event filter", "<none>", 0x0180200A,
           0},
          {"ROOT\\I8042\\i8042", "System", "PS/2 keyboard and mouse controller", "<none>",
           0x0180200B, 0},
          {"SERIO\\TY06PR00ID00EX00\\serio0", "Keyboard", "AT Translated Set 2 keyboard", "<none>",
           0x0180000A, 0},
          {"ROOT\\REG-FIXED-VOLTAGE\\reg-fixed-voltage.0", "Unknown", "<none>", "<none>",
           0x00802401, 51},
          {"ACPI\\PNP0303\\00:01", "Keyboard", "Standard PS/2 Keyboard", "<none>", 0x0180000A, 0},
          {"ACPI\\ACPI0007\\cpu0", "Processor", "Intel64 Family 6 Model 142", "<none>", 0x0180000A,
           0},
      });
}

// The layout of this project's build VM: about two dozen nodes.
TEST(SysfsMachine, BuildVm) {
  FakeSysfs tree;
  LoadFixture(tree, "vm.tree");
  const auto service = ServiceFor(tree);
  ExpectMachine(
      ReadAll(*service),
      {
          {"ACPI\\LNXSYSTM\\LNXSYSTM:00", "System", "ACPI System", "<none>", 0x00800008, 0},
          {"ACPI\\LNXSYBUS\\LNXSYBUS:00", "System", "ACPI System Bus", "<none>", 0x00800008, 0},
          {"ACPI\\LNXSYBUS\\LNXSYBUS:01", "System", "ACPI System Bus", "<none>", 0x00800008, 0},
          {"PCI\\VEN_8086&DEV_0D57&SUBSYS_00000000&REV_00\\0000:00:00.0", "System", "Host bridge",
           "<none>", 0x00802008, 0},
          {"PCI\\VEN_1AF4&DEV_1045&SUBSYS_10451AF4&REV_01\\0000:00:01.0", "System",
           "Virtio 1.0 memory balloon", "<none>", 0x0180200A, 0},
          {"VIRTIO\\VEN_1AF4&DEV_0005\\virtio0", "System", "Virtio memory balloon", "<none>",
           0x0180000A, 0},
          {"PCI\\VEN_1AF4&DEV_1042&SUBSYS_10421AF4&REV_01\\0000:00:02.0", "SCSIAdapter",
           "Virtio 1.0 block device", "<none>", 0x0180000A, 0},
          {"VIRTIO\\VEN_1AF4&DEV_0002\\virtio1", "DiskDrive", "Virtio block device", "<none>",
           0x0180000A, 0},
          {"PCI\\VEN_1AF4&DEV_1041&SUBSYS_10411AF4&REV_01\\0000:00:03.0", "Net",
           "Virtio 1.0 network device", "<none>", 0x0180200A, 0},
          {"VIRTIO\\VEN_1AF4&DEV_0001\\virtio2", "Net", "Virtio network device", "<none>",
           0x0180000A, 0},
          {"PCI\\VEN_1AF4&DEV_1053&SUBSYS_10531AF4&REV_01\\0000:00:04.0", "System",
           "Virtio 1.0 socket", "<none>", 0x0180200A, 0},
          {"VIRTIO\\VEN_1AF4&DEV_0013\\virtio3", "System", "Virtio socket", "<none>", 0x0180000A,
           0},
          {"PCI\\VEN_1AF4&DEV_1044&SUBSYS_10441AF4&REV_01\\0000:00:05.0", "System",
           "Virtio 1.0 RNG", "<none>", 0x0180200A, 0},
          {"VIRTIO\\VEN_1AF4&DEV_0004\\virtio4", "System", "Virtio RNG", "<none>", 0x0180000A, 0},
          {"ACPI\\ACPI0013\\ACPI0013:00", "System", "Generic Event Device", "<none>", 0x0180200A,
           0},
          {"ACPI\\AMZNC10C\\AMZNC10C:00", "Unknown", "Virtual Machine Clock", "<none>", 0x00802400,
           28},
          {"ACPI\\VMGENCTR\\VMGENCTR:00", "System", "Virtual Machine Generation Counter", "<none>",
           0x0180200A, 0},
          {"ROOT\\PCSPKR\\pcspkr", "Unknown", "PC speaker", "<none>", 0x00802401, 28},
          {"ROOT\\RTC_CMOS\\rtc_cmos", "Unknown", "CMOS real-time clock", "<none>", 0x00802401, 28},
          {"ROOT\\SERIAL8250\\serial8250", "System", "Standard serial ports", "<none>", 0x0180200B,
           0},
          {"ACPI\\PNP0501\\00:00", "Ports", "Communications Port", "<none>", 0x0180000A, 0},
          {"ACPI\\PNP0303\\00:01", "Keyboard", "Standard PS/2 Keyboard", "<none>", 0x00800400, 28},
          {"CPU\\X86_VEN0000FAM0006MOD00A7\\cpu0", "Processor", "Intel64 Family 6 Model 167",
           "<none>", 0x00800008, 0},
          {"CPU\\X86_VEN0000FAM0006MOD00A7\\cpu1", "Processor", "Intel64 Family 6 Model 167",
           "<none>", 0x00800008, 0},
      });
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

TEST(SysfsSet, HandlesSurviveRefreshesAndAreNeverReused) {
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
}

TEST(SysfsSet, StatusIsReadAfreshByHandle) {
  FakeSysfs tree;
  LoadFixture(tree, "vm.tree");
  const auto service = ServiceFor(tree);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, "ROOT");
  ASSERT_TRUE(set);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  ASSERT_TRUE(service->SetupDiEnumDeviceInfo(set.get(), 2, &data));  // serial8250
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
  ASSERT_EQ(service->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), CR_SUCCESS);
  EXPECT_EQ(status, 0x0180200BU);
  // Someone unbinds the driver while the set is open.
  tree.RemoveEntry("platform/serial8250", "driver");
  ASSERT_EQ(service->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), CR_SUCCESS);
  EXPECT_EQ(status, 0x00802401U);
  EXPECT_EQ(problem, 28U);
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

TEST(SysfsSet, ChangesAreRefusedAsNotSupported) {
  FakeSysfs tree;
  LoadFixture(tree, "laptop.tree");
  const auto service = ServiceFor(tree);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, "PCI");
  ASSERT_TRUE(set);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  ASSERT_TRUE(service->SetupDiEnumDeviceInfo(set.get(), 3, &data));  // the Wi-Fi adapter

  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE};
  params.StateChange = DICS_DISABLE;
  params.Scope = DICS_FLAG_GLOBAL;
  EXPECT_TRUE(service->SetupDiSetClassInstallParamsA(set.get(), &data, &params.ClassInstallHeader,
                                                     sizeof(params)));
  EXPECT_FALSE(service->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data));
  EXPECT_EQ(service->GetLastError(), error::kNotSupported);

  const std::string name = "Uplink";
  EXPECT_FALSE(service->SetupDiSetDeviceRegistryPropertyA(
      set.get(), &data, SPDRP_FRIENDLYNAME, reinterpret_cast<const std::uint8_t*>(name.data()),
      static_cast<std::uint32_t>(name.size())));
  EXPECT_EQ(service->GetLastError(), error::kNotSupported);

  // Malformed parameters are refused before anything else.
  params.ClassInstallHeader.cbSize = 28;
  EXPECT_FALSE(service->SetupDiSetClassInstallParamsA(set.get(), &data, &params.ClassInstallHeader,
                                                      sizeof(params)));
  EXPECT_EQ(service->GetLastError(), error::kInvalidParameter);

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

}  // namespace
}  // namespace quillon::devices::testing
