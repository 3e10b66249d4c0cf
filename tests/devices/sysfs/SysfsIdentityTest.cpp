// Hardware and compatible IDs, driver, module, location and parent of sysfs
// nodes, one row per kind of node.
#include <gtest/gtest.h>

#include <array>
#include <map>

#include "devices/sysfs/SysfsService.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::devices::testing {
namespace {

constexpr std::string_view kTree = R"(
bus acpi LNXSYSTM:00 hid=LNXSYSTM modalias=acpi:LNXSYSTM:
bus acpi LNXSYSTM:00/LNXSYBUS:00 hid=LNXSYBUS modalias=acpi:LNXSYBUS:
bus acpi LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00 hid=PNP0A08 modalias=acpi:PNP0A08:PNP0A03: @physical_node=pci0000:00
bus acpi LNXSYSTM:00/LNXSYBUS:00/PNP0501:00 hid=PNP0501 modalias=acpi:PNP0501: @physical_node=pnp0/00:00
dir pci0000:00 @firmware_node=LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00
bus pci pci0000:00/0000:00:14.0 vendor=0x8086 device=0x02ed subsystem_vendor=0x17aa subsystem_device=0x2293 revision=0x30 class=0x0c0330 driver=xhci_hcd
bus usb pci0000:00/0000:00:14.0/usb1/1-1 idVendor=046d idProduct=c31c bcdDevice=6400 bDeviceClass=00 bNumInterfaces=" 1" driver=usb
bus usb pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0 bInterfaceClass=03 bInterfaceSubClass=01 bInterfaceProtocol=01 bInterfaceNumber=00 driver=usbhid
bus usb pci0000:00/0000:00:14.0/usb1/1-4 idVendor=0c45 idProduct=6713 bcdDevice=5623 bDeviceClass=ef bDeviceSubClass=02 bDeviceProtocol=01 bNumInterfaces=" 2" driver=usb
bus usb pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.1 bInterfaceClass=0e bInterfaceSubClass=02 bInterfaceProtocol=00 bInterfaceNumber=01
bus pci pci0000:00/0000:00:03.0 vendor=0x1af4 device=0x1041 class=0x020000
bus virtio pci0000:00/0000:00:03.0/virtio2 vendor=0x1af4 device=0x0001 modalias=virtio:d00000001v00001AF4 driver=virtio_net
bus pnp pnp0/00:00 id=PNP0501 @firmware_node=LNXSYSTM:00/LNXSYBUS:00/PNP0501:00 driver=serial
bus platform platform/pcspkr modalias=platform:pcspkr
)";

struct Identity {
  std::string parentId;
  std::vector<std::string> hardware;
  std::vector<std::string> compatible;
  std::string driver;
  std::string module;
  std::string location;
};

std::vector<std::string> IdList(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data,
                                std::uint32_t property) {
  std::array<char, 2048> buffer{};
  std::uint32_t type = 0;
  std::uint32_t required = 0;
  if (!service.SetupDiGetDeviceRegistryPropertyA(set, &data, property, &type,
                                                 reinterpret_cast<std::uint8_t*>(buffer.data()),
                                                 buffer.size(), &required)) {
    EXPECT_EQ(service.GetLastError(), error::kInvalidData);
    return {};
  }
  EXPECT_EQ(type, REG_MULTI_SZ);
  std::vector<std::string> ids;
  for (const char* at = buffer.data(); *at != '\0'; at += ids.back().size() + 1)
    ids.emplace_back(at);
  // One more NUL ends the list, and the size counts it.
  EXPECT_EQ(required,
            std::string_view(buffer.data(), buffer.size()).find(std::string_view("\0\0", 2)) + 2);
  return ids;
}

std::string Text(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data,
                 std::uint32_t property) {
  std::array<char, 512> buffer{};
  if (!service.SetupDiGetDeviceRegistryPropertyA(set, &data, property, nullptr,
                                                 reinterpret_cast<std::uint8_t*>(buffer.data()),
                                                 buffer.size(), nullptr)) {
    return "-";
  }
  return buffer.data();
}

std::string IdOf(DeviceService& service, std::uint32_t devInst) {
  std::array<char, 201> buffer{};
  return service.CM_Get_Device_IDA(devInst, buffer.data(), buffer.size(), 0) == CR_SUCCESS
             ? std::string(buffer.data())
             : "-";
}

std::map<std::string, Identity> ReadIdentities(DeviceService& service) {
  std::map<std::string, Identity> identities;
  const DeviceInfoSetPtr set = OpenPresentDevices(service, "");
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (std::uint32_t i = 0; service.SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
    Identity identity;
    std::uint32_t parent = 0;
    const std::uint32_t result = service.CM_Get_Parent(&parent, data.DevInst, 0);
    EXPECT_TRUE(result == CR_SUCCESS || result == CR_NO_SUCH_DEVINST) << result;
    identity.parentId = result == CR_SUCCESS ? IdOf(service, parent) : "";
    identity.hardware = IdList(service, set.get(), data, SPDRP_HARDWAREID);
    identity.compatible = IdList(service, set.get(), data, SPDRP_COMPATIBLEIDS);
    identity.driver = Text(service, set.get(), data, SPDRP_SERVICE);
    identity.module = Text(service, set.get(), data, kPropertyDriverModule);
    identity.location = Text(service, set.get(), data, SPDRP_LOCATION_INFORMATION);
    identities[IdOf(service, data.DevInst)] = identity;
  }
  return identities;
}

TEST(SysfsIdentity, IdsDriverLocationAndParentOfEachKindOfNode) {
  FakeSysfs tree;
  ASSERT_TRUE(tree.Load(kTree));
  tree.WriteFile("sys/module/xhci_pci/refcnt", "1\n");
  tree.Symlink("sys/bus/pci/drivers/xhci_hcd/module", "sys/module/xhci_pci");
  // One driver for two devices: each is told its module.
  tree.WriteFile("sys/module/usbcore/refcnt", "1\n");
  tree.Symlink("sys/bus/usb/drivers/usb/module", "sys/module/usbcore");
  const auto service = MakeSysfsService(SysfsOptions{tree.Root(), std::string()});
  const auto identities = ReadIdentities(*service);
  struct Row {
    const char* instanceId;
    Identity want;
  };
  const std::string xhci = "PCI\\VEN_8086&DEV_02ED&SUBSYS_229317AA&REV_30\\0000:00:14.0";
  const Row rows[] = {
      {"PCI\\VEN_8086&DEV_02ED&SUBSYS_229317AA&REV_30\\0000:00:14.0",
       {"ACPI\\PNP0A08\\PNP0A08:00",
        {"PCI\\VEN_8086&DEV_02ED&SUBSYS_229317AA&REV_30", "PCI\\VEN_8086&DEV_02ED&SUBSYS_229317AA",
         "PCI\\VEN_8086&DEV_02ED&REV_30", "PCI\\VEN_8086&DEV_02ED"},
        {"PCI\\VEN_8086&DEV_02ED&REV_30", "PCI\\VEN_8086&DEV_02ED", "PCI\\VEN_8086&CC_0C0330",
         "PCI\\VEN_8086&CC_0C03", "PCI\\VEN_8086", "PCI\\CC_0C0330", "PCI\\CC_0C03"},
        "xhci_hcd",
        "xhci_pci",
        "/sys/devices/pci0000:00/0000:00:14.0"}},
      // No subsystem, no revision: the forms that need them are left out.
      {"PCI\\VEN_1AF4&DEV_1041\\0000:00:03.0",
       {"ACPI\\PNP0A08\\PNP0A08:00",
        {"PCI\\VEN_1AF4&DEV_1041"},
        {"PCI\\VEN_1AF4&DEV_1041", "PCI\\VEN_1AF4&CC_020000", "PCI\\VEN_1AF4&CC_0200",
         "PCI\\VEN_1AF4", "PCI\\CC_020000", "PCI\\CC_0200"},
        "-",
        "-",
        "/sys/devices/pci0000:00/0000:00:03.0"}},
      // A device of one interface takes its class from that interface.
      {"USB\\VID_046D&PID_C31C\\1-1",
       {xhci,
        {"USB\\VID_046D&PID_C31C&REV_6400", "USB\\VID_046D&PID_C31C"},
        {"USB\\Class_03&SubClass_01&Prot_01", "USB\\Class_03&SubClass_01", "USB\\Class_03"},
        "usb",
        "usbcore",
        "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1"}},
      {"USB\\VID_046D&PID_C31C&MI_00\\1-1:1.0",
       {"USB\\VID_046D&PID_C31C\\1-1",
        {"USB\\VID_046D&PID_C31C&REV_6400&MI_00", "USB\\VID_046D&PID_C31C&MI_00"},
        {"USB\\Class_03&SubClass_01&Prot_01", "USB\\Class_03&SubClass_01", "USB\\Class_03"},
        "usbhid",
        "-",
        "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0"}},
      {"USB\\VID_0C45&PID_6713\\1-4",
       {xhci,
        {"USB\\VID_0C45&PID_6713&REV_5623", "USB\\VID_0C45&PID_6713"},
        {"USB\\Class_EF&SubClass_02&Prot_01", "USB\\Class_EF&SubClass_02", "USB\\Class_EF",
         "USB\\COMPOSITE"},
        "usb",
        "usbcore",
        "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4"}},
      {"USB\\VID_0C45&PID_6713&MI_01\\1-4:1.1",
       {"USB\\VID_0C45&PID_6713\\1-4",
        {"USB\\VID_0C45&PID_6713&REV_5623&MI_01", "USB\\VID_0C45&PID_6713&MI_01"},
        {"USB\\Class_0E&SubClass_02&Prot_00", "USB\\Class_0E&SubClass_02", "USB\\Class_0E"},
        "-",
        "-",
        "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.1"}},
      // A root, and ACPI nodes with their compatible IDs.
      {"ACPI\\LNXSYSTM\\LNXSYSTM:00",
       {"", {"ACPI\\LNXSYSTM", "*LNXSYSTM"}, {}, "-", "-", "/sys/devices/LNXSYSTM:00"}},
      // A pnp device hangs below its firmware node's parent.
      {"ACPI\\PNP0501\\00:00",
       {"ACPI\\LNXSYBUS\\LNXSYBUS:00",
        {"ACPI\\PNP0501", "*PNP0501"},
        {},
        "serial",
        "-",
        "/sys/devices/pnp0/00:00"}},
      {"ROOT\\PCSPKR\\pcspkr",
       {"", {"ROOT\\PCSPKR", "PLATFORM\\PCSPKR"}, {}, "-", "-", "/sys/devices/platform/pcspkr"}},
      {"VIRTIO\\VEN_1AF4&DEV_0001\\virtio2",
       {"PCI\\VEN_1AF4&DEV_1041\\0000:00:03.0",
        {"VIRTIO\\VEN_1AF4&DEV_0001", "VIRTIO\\D00000001V00001AF4"},
        {},
        "virtio_net",
        "-",
        "/sys/devices/pci0000:00/0000:00:03.0/virtio2"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.instanceId);
    const auto found = identities.find(row.instanceId);
    ASSERT_NE(found, identities.end());
    const Identity& got = found->second;
    EXPECT_EQ(got.parentId, row.want.parentId);
    EXPECT_EQ(got.hardware, row.want.hardware);
    EXPECT_EQ(got.compatible, row.want.compatible);
    EXPECT_EQ(got.driver, row.want.driver);
    EXPECT_EQ(got.module, row.want.module);
    EXPECT_EQ(got.location, row.want.location);
  }
  // The PCI root is listed by no set (its physical node stands for it), yet
  // has a handle whose parent is the ACPI system bus.
  std::uint32_t xhciParent = 0;
  std::uint32_t root = 0;
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, "PCI");
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(service->SetupDiEnumDeviceInfo(set.get(), 0, &data));
  ASSERT_EQ(service->CM_Get_Parent(&xhciParent, data.DevInst, 0), CR_SUCCESS);
  ASSERT_EQ(service->CM_Get_Parent(&root, xhciParent, 0), CR_SUCCESS);
  EXPECT_EQ(IdOf(*service, root), "ACPI\\LNXSYBUS\\LNXSYBUS:00");
  std::array<char, 4> small{};
  EXPECT_EQ(service->CM_Get_Device_IDA(root, small.data(), small.size(), 0), CR_BUFFER_SMALL);
}

}  // namespace
}  // namespace quillon::devices::testing
