// Builds a fake sysfs tree of about N listed device nodes, shaped like a big
// server's: per group of nine a PCI root port (with its ACPI node, which is
// not listed of its own) with a network function, an NVMe controller with a
// drive and one partition, a USB controller with its root hub and a
// keyboard, and a platform device. Every device has the uevent file the
// kernel formats for its bus (FakeSysfs writes it from the attributes).
// The ID databases a distribution installs are copied in (from
// /usr/share/misc; an excerpt naming the generated devices when missing), so
// that names come from them as on a real machine.
// Prints the root to hand to /deviceSource= (a directory under TMPDIR, or
// /dev/shm).
//
//   quillon-gen-sysfs N
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/devices/sysfs/FakeSysfs.h"

namespace {

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

constexpr unsigned kNodesPerGroup = 9;

// The attributes of a PCI function, with the modalias the kernel makes of them.
std::string Pci(unsigned vendor, unsigned device, unsigned subVendor, unsigned subDevice,
                unsigned revision, unsigned classCode) {
  char text[320];
  std::snprintf(text, sizeof text,
                " vendor=0x%04x device=0x%04x subsystem_vendor=0x%04x subsystem_device=0x%04x "
                "revision=0x%02x class=0x%06x modalias=pci:v%08Xd%08Xsv%08Xsd%08Xbc%02Xsc%02Xi%02X "
                "driver_override=(null)",
                vendor, device, subVendor, subDevice, revision, classCode, vendor, device,
                subVendor, subDevice, classCode >> 16, (classCode >> 8) & 0xFF, classCode & 0xFF);
  return text;
}

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
  s += "bus pci " + portPath + Pci(0x8086, 0x2030, 0x8086, 0x0000, 0x04, 0x060400) +
       " driver=pcieport @firmware_node=" + acpi + "\n";
  s += "bus pci " + nic + Pci(0x8086, 0x1572, 0x8086, 0x0001, 0x02, 0x020000) + " driver=i40e\n";
  s += "class net " + nic + "/net/enp" + n + "s0 ifalias=\n";
  s += "bus pci " + nvme + Pci(0x144d, 0xa808, 0x144d, 0xa801, 0x00, 0x010802) + " driver=nvme\n";
  s += "class nvme " + nvme + "/nvme/nvme" + n + " model=\"Bench NVMe\"\n";
  s += "class block " + disk + " dev=259:" + std::to_string(2 * g) + " removable=0\n";
  s += "class block " + disk + "/nvme" + n + "n1p1 dev=259:" + std::to_string(2 * g + 1) +
       " partition=1\n";
  s +=
      "bus pci " + usb + Pci(0x8086, 0xa36d, 0x8086, 0x7270, 0x10, 0x0c0330) + " driver=xhci_hcd\n";
  s += "bus usb " + hub +
       " idVendor=1d6b idProduct=0002 bcdDevice=0601 bDeviceClass=09 bDeviceSubClass=00 "
       "bDeviceProtocol=01 bNumInterfaces=\" 1\" authorized=1 removable=unknown driver=usb\n";
  s += "bus usb " + hub + "/" + n + "-1 idVendor=046d idProduct=c31c bcdDevice=6400 " +
       "bDeviceClass=00 bDeviceSubClass=00 bDeviceProtocol=00 bNumInterfaces=\" 1\" " +
       "authorized=1 removable=removable product=\"USB Keyboard\" driver=usb\n";
  s += "bus platform platform/serial8250." + n + " modalias=platform:serial8250 " +
       "driver_override=(null) driver=serial8250\n";
  return s;
}

// This machine's /usr/share/misc/NAME, else `excerpt`, into the tree.
void CopyDatabase(quillon::devices::testing::FakeSysfs& tree, const std::string& name,
                  const char* excerpt) {
  std::ifstream file("/usr/share/misc/" + name, std::ios::binary);
  std::stringstream text;
  if (file)
    text << file.rdbuf();
  tree.WriteFile("usr/share/misc/" + name, file && text.tellp() > 0 ? text.str() : excerpt);
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
  CopyDatabase(tree, "pci.ids",
               "144d  Samsung Electronics Co Ltd\n"
               "\ta808  NVMe SSD Controller SM981/PM981/PM983\n"
               "8086  Intel Corporation\n"
               "\t1572  Ethernet Controller X710 for 10GbE SFP+\n"
               "\t2030  Sky Lake-E PCI Express Root Port A\n"
               "\ta36d  Cannon Lake PCH USB 3.1 xHCI Host Controller\n");
  CopyDatabase(tree, "usb.ids",
               "046d  Logitech, Inc.\n"
               "\tc31c  Keyboard K120\n"
               "1d6b  Linux Foundation\n"
               "\t0002  2.0 root hub\n");
  tree.Keep();
  std::printf("%s\n", tree.Root().c_str());
  return 0;
}
