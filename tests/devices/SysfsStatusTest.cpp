// Mapping rules, one small tree per row: status and problem, the root-disk
// chain, setup classes and the order in which descriptions are looked for.
#include <gtest/gtest.h>

#include "DeviceText.h"
#include "SysfsNode.h"
#include "SysfsService.h"
#include "SysfsTestSupport.h"

namespace quillon::devices::testing {
namespace {

// The one node of a tree built from `statements` (with the test databases).
SysfsRow OnlyNode(const char* statements, const std::string& rootDevice = "") {
  FakeSysfs tree;
  std::string error;
  EXPECT_TRUE(tree.Load(statements, &error)) << error;
  LoadFixture(tree, "empty.tree");
  const auto service = MakeSysfsService(SysfsOptions{tree.Root(), rootDevice});
  const auto rows = ReadAll(*service);
  EXPECT_EQ(rows.size(), 1U) << statements;
  return rows.empty() ? SysfsRow{} : rows.front();
}

struct StatusRow {
  const char* what;
  const char* statements;
  std::uint32_t status;
  std::uint32_t problem;
};

TEST(SysfsStatus, EveryRuleOfTheTable) {
  const StatusRow rows[] = {
      {"driver bound, disableable",
       "bus pci p/0000:00:03.0 class=0x020000 driver_override=(null) driver=e1000e", 0x0180200A, 0},
      {"driver bound, nothing to switch", "bus virtio p/virtio0 device=0x0001 driver=virtio_net",
       0x0180000A, 0},
      {"usb device not authorized", "bus usb p/1-3 idVendor=1050 idProduct=0407 authorized=0",
       0x00802400, 22},
      {"usb interface not authorized", "bus usb p/1-3:1.0 bInterfaceClass=03 authorized=0",
       0x00802400, 22},
      {"driver_override none", "bus pci p/0000:00:1f.5 class=0x0c8000 driver_override=none",
       0x00802400, 22},
      {"disabled wins over waiting",
       "bus pci p/0000:00:1f.5 class=0x0c8000 driver_override=none waiting_for_supplier=1",
       0x00802400, 22},
      {"waiting for a supplier",
       "bus platform platform/reg.0 driver_override=(null) waiting_for_supplier=1", 0x00802401, 51},
      {"waiting 0 is no reason",
       "bus platform platform/reg.0 driver_override=(null) waiting_for_supplier=0", 0x00802401, 28},
      {"pci bridge without driver", "bus pci p/0000:00:00.0 class=0x060000 driver_override=(null)",
       0x00802008, 0},
      {"acpi system bus", "bus acpi LNXSYSTM:00 hid=LNXSYBUS", 0x00800008, 0},
      {"acpi thermal zone", "bus acpi LNXTHERM:00 hid=LNXTHERM", 0x00800008, 0},
      {"acpi battery without driver", "bus acpi PNP0C0A:00 hid=PNP0C0A", 0x00800400, 28},
      {"processor", "bus cpu system/cpu/cpu3", 0x00800008, 0},
      {"chosen driver not bound",
       "driver pci i801_smbus\nbus pci p/0000:00:1f.4 class=0x0c0500 driver_override=i801_smbus",
       0x00802400, 10},
      {"chosen driver unknown to the bus",
       "bus pci p/0000:00:1f.4 class=0x0c0500 driver_override=i801_smbus", 0x00802400, 28},
      {"no driver at all", "bus pnp pnp0/00:05 id=PNP0401", 0x00800400, 28},
      {"removable device",
       "bus usb p/1-1 idVendor=046d idProduct=c31c authorized=1 removable=removable driver=usb",
       0x0180600A, 0},
      {"fixed device",
       "bus usb p/1-1 idVendor=046d idProduct=c31c authorized=1 removable=fixed driver=usb",
       0x0180200A, 0},
      {"usb root hub",
       "bus usb p/usb2 idVendor=1d6b idProduct=0003 bDeviceClass=09 authorized=1 driver=usb",
       0x0180000A, 0},
      {"platform from firmware",
       "bus acpi LNXSYSTM:00/INT0001:00 hid=INT0001 @physical_node=platform/INT0001:00\nbus "
       "platform platform/INT0001:00 driver_override=(null) @firmware_node=LNXSYSTM:00/INT0001:00 "
       "driver=x",
       0x0180200A, 0},
      {"root-enumerated platform",
       "bus platform platform/pcspkr driver_override=(null) driver=pcspkr", 0x0180200B, 0},
  };
  for (const StatusRow& row : rows) {
    SCOPED_TRACE(row.what);
    const SysfsRow node = OnlyNode(row.statements);
    EXPECT_EQ(FormatHex8(node.status), FormatHex8(row.status));
    EXPECT_EQ(node.problem, row.problem);
  }
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

struct ClassRow {
  const char* statements;
  const char* className;
};

TEST(SysfsClass, FirstMatchingRuleDecides) {
  const ClassRow rows[] = {
      // PCI class codes
      {"bus pci p/0000:00:17.0 class=0x010601 driver=ahci", "HDC"},
      {"bus pci p/0000:00:17.0 class=0x010700 driver=mpt3sas", "SCSIAdapter"},
      {"bus pci p/0000:00:1f.3 class=0x040100 driver=snd", "MEDIA"},
      {"bus pci p/0000:00:1f.3 class=0x040300 driver=snd_hda_intel", "System"},
      {"bus pci p/0000:00:16.3 class=0x070002 driver=serial", "Ports"},
      {"bus pci p/0000:05:00.0 class=0x070300 driver=modem", "Modem"},
      {"bus pci p/0000:05:00.0 class=0x0c0010 driver=firewire_ohci", "1394"},
      {"bus pci p/0000:05:00.0 class=0x0c0600 driver=mlx", "InfiniBand"},
      {"bus pci p/0000:05:00.0 class=0x0d1100 driver=btusb", "Bluetooth"},
      {"bus pci p/0000:05:00.0 class=0x080501 driver=sdhci-pci", "SDHost"},
      {"bus pci p/0000:05:00.0 class=0x088000 driver=x", "System"},
      {"bus pci p/0000:00:14.0 class=0x0c0330 driver=xhci_hcd", "USB"},
      {"bus pci p/0000:00:1f.4 class=0x0c0500 driver=i801_smbus", "System"},
      {"bus pci p/0000:00:1f.4 class=0x0c0500", "Unknown"},
      // USB, by interface class
      {"bus usb p/1-1:1.0 bInterfaceClass=01 driver=snd-usb-audio", "MEDIA"},
      {"bus usb p/1-1:1.0 bInterfaceClass=02 driver=cdc_acm", "Ports"},
      {"bus usb p/1-1:1.1 bInterfaceClass=0a driver=cdc_acm", "Ports"},
      {"bus usb p/1-1:1.0 bInterfaceClass=06 driver=x", "Image"},
      {"bus usb p/1-1:1.0 bInterfaceClass=07 driver=usblp", "Printer"},
      {"bus usb p/1-1:1.0 bInterfaceClass=0b driver=x", "SmartCardReader"},
      {"bus usb p/1-1:1.0 bInterfaceClass=e0 bInterfaceSubClass=01 bInterfaceProtocol=01 "
       "driver=btusb",
       "Bluetooth"},
      {"bus usb p/1-1:1.0 bInterfaceClass=e0 bInterfaceSubClass=01 bInterfaceProtocol=02 driver=x",
       "System"},
      {"bus usb p/1-1:1.0 bInterfaceClass=ff driver=x", "USBDevice"},
      {"bus usb p/1-1 idVendor=1234 idProduct=5678 bDeviceClass=00 bNumInterfaces=\" 1\" "
       "driver=usb\ndir p/1-1/1-1:1.0 bInterfaceClass=ff",
       "USBDevice"},
      {"bus usb p/1-1 idVendor=1234 idProduct=5678 bDeviceClass=e0 bDeviceSubClass=01 "
       "bDeviceProtocol=01 bNumInterfaces=\" 1\" driver=usb",
       "Bluetooth"},
      {"bus usb p/1-1 idVendor=1234 idProduct=5678 bDeviceClass=00 bNumInterfaces=\" 3\" "
       "driver=usb",
       "USB"},
      // PNP and ACPI IDs, compatible IDs included
      {"bus pnp pnp0/00:02 id=PNP0f13 driver=i8042_aux", "Mouse"},
      {"bus pnp pnp0/00:03 id=PNP0400 driver=parport_pc", "Ports"},
      {"bus acpi MSFT0101:00 hid=MSFT0101 driver=tpm_crb", "SecurityDevices"},
      {"bus acpi XYZ0001:00 hid=XYZ0001 modalias=acpi:XYZ0001:PNP0C50: driver=i2c_hid", "HIDClass"},
      {"bus acpi LNXCPU:00 hid=LNXCPU", "Processor"},
      {"bus acpi PNP0C09:00 hid=PNP0C09 driver=ec", "System"},
      // Class devices the node owns
      {"bus platform platform/serial8250 driver=serial8250\nclass tty "
       "platform/serial8250/tty/ttyS0",
       "Ports"},
      {"bus platform platform/snd driver=x\nclass sound platform/snd/sound/card1", "MEDIA"},
      {"bus platform platform/gpu driver=x\nclass drm platform/gpu/drm/card1", "Display"},
      {"bus platform platform/gpu driver=x\nclass drm platform/gpu/drm/renderD128", "System"},
      {"bus platform platform/bt driver=x\nclass bluetooth platform/bt/bluetooth/hci0",
       "Bluetooth"},
      {"bus platform platform/tpm driver=x\nclass tpm platform/tpm/tpm/tpm0", "SecurityDevices"},
      {"bus platform platform/sas driver=x\nclass scsi_host platform/sas/scsi_host/host2",
       "SCSIAdapter"},
      {"bus platform platform/bat driver=x\nclass power_supply platform/bat/power_supply/BAT1",
       "Battery"},
      {"bus hid p/0003:046D:C52B.0002 driver=hid-generic\nclass input "
       "p/0003:046D:C52B.0002/input/input7 capabilities/rel=3 capabilities/key=\"70000 0 0 0 0\"",
       "Mouse"},
      {"bus i2c p/i2c-ELAN0001:00 driver=x\nclass input p/i2c-ELAN0001:00/input/input9 "
       "capabilities/abs=3 capabilities/key=\"e520 0 0 0 0 0\"",
       "Mouse"},
      {"bus hid p/0003:046D:C52B.0003 driver=hid-generic\nclass power_supply "
       "p/0003:046D:C52B.0003/power_supply/hidpp_battery_0\nclass input "
       "p/0003:046D:C52B.0003/input/input8 capabilities/rel=3 capabilities/key=\"70000 0 0 0 0\"",
       "Mouse"},
      {"bus platform platform/keys driver=gpio-keys\nclass input platform/keys/input/input2 "
       "capabilities/key=\"10000000000000 0\"",
       "HIDClass"},
      {"bus scsi p/host0/target0:0:0/0:0:0:0 type=5 driver=sr\nclass block "
       "p/host0/target0:0:0/0:0:0:0/block/sr0 dev=11:0",
       "CDROM"},
      {"bus scsi p/host0/target0:0:0/0:0:0:0 type=0 driver=sd\nclass block "
       "p/host0/target0:0:0/0:0:0:0/block/sdb dev=8:16",
       "DiskDrive"},
      // By bus
      {"bus hid p/0018:04F3:2A3B.0004 driver=hid-multitouch", "HIDClass"},
      {"bus mmc p/mmc0:0001 name=SC64G driver=mmcblk", "DiskDrive"},
      {"bus serio p/serio1 description=\"i8042 AUX port\" driver=psmouse", "Mouse"},
      {"bus virtio p/virtio5 device=0x0003 driver=virtio_console", "Ports"},
      {"bus virtio p/virtio5 device=0x0008 driver=virtio_scsi", "SCSIAdapter"},
      {"bus virtio p/virtio5 device=0x0010 driver=virtio_gpu", "Display"},
      {"bus virtio p/virtio5 device=0x0012 driver=virtio_input", "HIDClass"},
      {"bus virtio p/virtio5 device=0x0013 driver=vsock", "System"},
      {"bus platform platform/pcspkr", "Unknown"},
  };
  for (const ClassRow& row : rows) {
    SCOPED_TRACE(row.statements);
    EXPECT_EQ(OnlyNode(row.statements).classGuid, FormatGuid(sysfs::SetupClassGuid(row.className)))
        << row.className;
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

struct DescriptionRow {
  const char* what;
  const char* statements;
  const char* description;
};

TEST(SysfsDescription, SourcesInOrder) {
  const DescriptionRow rows[] = {
      {"pci subsystem name first",
       "bus pci p/0000:00:14.3 vendor=0x8086 device=0x02f0 subsystem_vendor=0x8086 "
       "subsystem_device=0x0074 class=0x028000",
       "Wi-Fi 6 AX201 160MHz"},
      {"pci device name",
       "bus pci p/0000:00:14.3 vendor=0x8086 device=0x02f0 subsystem_vendor=0x17aa "
       "subsystem_device=0x0001 class=0x028000",
       "Comet Lake PCH-LP CNVi WiFi"},
      {"pci class with interface",
       "bus pci p/0000:03:00.0 vendor=0x1234 device=0x0001 class=0x010802",
       "Non-Volatile memory controller (NVM Express)"},
      {"pci subclass", "bus pci p/0000:03:00.0 vendor=0x1234 device=0x0001 class=0x020000",
       "Ethernet controller"},
      {"pci built-in class", "bus pci p/0000:03:00.0 vendor=0x1234 device=0x0001 class=0x030000",
       "Display controller"},
      {"usb database over product",
       "bus usb p/1-1 idVendor=046d idProduct=c31c product=\"USB Keyboard\"", "Keyboard K120"},
      {"usb product string",
       "bus usb p/1-1 idVendor=046d idProduct=ffff product=\"  Mystery\\nGadget  \"",
       "Mystery Gadget"},
      {"usb interface class", "bus usb p/1-1:1.0 bInterfaceClass=03 interface=\"Keys\"",
       "Human Interface Device"},
      {"usb interface string", "bus usb p/1-1:1.0 bInterfaceClass=fe interface=\"DFU\"", "DFU"},
      {"scsi vendor and model",
       "bus scsi p/h/t/2:0:0:0 type=0 vendor=\"ATA     \" model=\"Samsung SSD 860 \"",
       "ATA Samsung SSD 860"},
      {"input name",
       "bus serio p/serio0 description=\"i8042 KBD port\"\nclass input p/serio0/input/input3 "
       "name=\"AT Translated Set 2 keyboard\"",
       "AT Translated Set 2 keyboard"},
      {"acpi description over table",
       "bus acpi PNP0C0A:00 hid=PNP0C0A description=\"Main battery\"", "Main battery"},
      {"pnp table", "bus pnp pnp0/00:07 id=PNP0b00", "System CMOS/real time clock"},
      {"pnp table by compatible ID",
       "bus acpi QEMU0001:00 hid=QEMU0001 modalias=acpi:QEMU0001:PNP0C0C:", "Power Button"},
      {"virtio table", "bus virtio p/virtio9 device=0x0010", "Virtio GPU"},
      {"cpu model",
       "bus cpu system/cpu/cpu0 "
       "uevent=\"MODALIAS=cpu:type:x86,ven0002fam0019mod0021:feature:,0001\"",
       "AMD64 Family 25 Model 33"},
      {"platform table", "bus platform platform/coretemp.0", "CPU temperature sensor"},
      {"nothing names it", "bus platform platform/mystery", "<none>"},
      {"disk model from its controller",
       "dir p/nvme/nvme1 model=\"WD Blue SN570\"\nclass block p/nvme/nvme1/nvme1n1 dev=259:5",
       "WD Blue SN570"},
  };
  for (const DescriptionRow& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(OnlyNode(row.statements).description, row.description);
  }
}

TEST(SysfsDescription, LongTextsAreCutToTheBuffer) {
  const std::string longName(300, 'x');
  const std::string statements = "bus usb p/1-1 idVendor=dead idProduct=beef product=" + longName;
  const SysfsRow node = OnlyNode(statements.c_str());
  EXPECT_EQ(node.description, std::string(259, 'x'));
}

TEST(SysfsFriendlyName, IfaliasOfTheOneInterface) {
  struct Row {
    const char* statements;
    const char* friendlyName;
  };
  const Row rows[] = {
      {"bus pci p/0000:00:03.0 class=0x020000 driver=e1000e\nclass net p/0000:00:03.0/net/eth0 "
       "ifalias=Uplink",
       "Uplink"},
      {"bus pci p/0000:00:03.0 class=0x020000 driver=e1000e\nclass net p/0000:00:03.0/net/eth0 "
       "ifalias=",
       "<none>"},
      {"bus pci p/0000:00:03.0 class=0x020000 driver=e1000e\nclass net p/0000:00:03.0/net/eth0 "
       "ifalias=A\nclass net p/0000:00:03.0/net/eth1 ifalias=B",
       "<none>"},
      {"bus pci p/0000:00:03.0 class=0x020000 driver=e1000e", "<none>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.statements);
    EXPECT_EQ(OnlyNode(row.statements).friendlyName, row.friendlyName);
  }
}

}  // namespace
}  // namespace quillon::devices::testing
