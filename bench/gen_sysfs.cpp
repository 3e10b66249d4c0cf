// Builds a fake sysfs tree of about N listed device nodes, shaped like a big
// server's: per group of nine a PCI root port (with its ACPI node, which is
// not listed of its own) with a network function, an NVMe controller with a
// drive and one partition, a USB controller with its root hub and a
// keyboard, and a platform device. Prints the root to hand to
// /deviceSource= (a directory under TMPDIR, or /dev/shm).
//
//   quillon-gen-sysfs N
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/devices/sysfs/FakeSysfs.h"

namespace {

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

constexpr unsigned kNodesPerGroup = 9;

// The statements of group `g`: nine nodes the backend lists.
std::string Group(unsigned g) {
  const std::string domain = Hex(g / 32, 4);
  const std::string port = domain + ":00:" + Hex(g % 32, 2) + ".0";
  const std::string root = "pci" + domain + ":00";
  const std::string portPath = root + "/" + port;
  const std::string acpi =
      "LNXSYSTM:00/LNXSYBUS:00/PNP0A08:" + Hex(g / 32, 2) + "/device:" + Hex(g % 32, 2);
  // Each port has its own three buses below it.
  const unsigned bus = 3 * (g % 32) + 1;
  const std::string nic = portPath + "/" + domain + ":" + Hex(bus, 2) + ":00.0";
  const std::string nvme = portPath + "/" + domain + ":" + Hex(bus + 1, 2) + ":00.0";
  const std::string usb = portPath + "/" + domain + ":" + Hex(bus + 2, 2) + ":00.0";
  const std::string n = std::to_string(g);
  const std::string disk = nvme + "/nvme/nvme" + n + "/nvme" + n + "n1";
  const std::string hub = usb + "/usb" + n;
  std::string s;
  s += "bus acpi " + acpi + " adr=0x" + Hex(g % 32, 4) + "0000 @physical_node=" + portPath + "\n";
  s += "bus pci " + portPath +
       " vendor=0x8086 device=0x2030 subsystem_vendor=0x8086 subsystem_device=0x0000 "
       "revision=0x04 class=0x060400 driver_override=(null) driver=pcieport @firmware_node=" +
       acpi + "\n";
  s += "bus pci " + nic +
       " vendor=0x8086 device=0x1572 subsystem_vendor=0x8086 subsystem_device=0x0001 "
       "revision=0x02 class=0x020000 driver_override=(null) driver=i40e\n";
  s += "class net " + nic + "/net/enp" + n + "s0 ifalias=\n";
  s += "bus pci " + nvme +
       " vendor=0x144d device=0xa808 subsystem_vendor=0x144d subsystem_device=0xa801 "
       "revision=0x00 class=0x010802 driver_override=(null) driver=nvme\n";
  s += "class nvme " + nvme + "/nvme/nvme" + n + " model=\"Bench NVMe\"\n";
  s += "class block " + disk + " dev=259:" + std::to_string(2 * g) + " removable=0\n";
  s += "class block " + disk + "/nvme" + n + "n1p1 dev=259:" + std::to_string(2 * g + 1) +
       " partition=1\n";
  s += "bus pci " + usb +
       " vendor=0x8086 device=0xa36d subsystem_vendor=0x8086 subsystem_device=0x7270 "
       "revision=0x10 class=0x0c0330 driver_override=(null) driver=xhci_hcd\n";
  s += "bus usb " + hub +
       " idVendor=1d6b idProduct=0002 bDeviceClass=09 bNumInterfaces=\" 1\" authorized=1 "
       "removable=unknown driver=usb\n";
  s += "bus usb " + hub + "/" + n + "-1 idVendor=046d idProduct=c31c bDeviceClass=00 " +
       "bNumInterfaces=\" 1\" authorized=1 removable=removable product=\"USB Keyboard\" "
       "driver=usb\n";
  s += "bus platform platform/serial8250." + n + " modalias=platform:serial8250 " +
       "driver_override=(null) driver=serial8250\n";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const long nodes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
  if (nodes <= 0) {
    std::fprintf(stderr, "usage: quillon-gen-sysfs N\n");
    return 2;
  }
  quillon::devices::testing::FakeSysfs tree;
  std::string error;
  for (unsigned g = 0; g * kNodesPerGroup < static_cast<unsigned long>(nodes); ++g) {
    if (!tree.Load(Group(g), &error)) {
      std::fprintf(stderr, "quillon-gen-sysfs: %s\n", error.c_str());
      return 1;
    }
  }
  tree.Keep();
  std::printf("%s\n", tree.Root().c_str());
  return 0;
}
