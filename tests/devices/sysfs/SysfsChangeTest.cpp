// Changes through the sysfs source: the writes each change makes, in order,
// what the kernel's answers (simulated, errors injected) turn into, and the
// status the node shows afterwards; the friendly name; refusals.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "devices/DeviceText.h"
#include "devices/sysfs/SysfsChange.h"
#include "devices/sysfs/SysfsService.h"
#include "tests/devices/sysfs/KernelSimulator.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::devices::testing {
namespace {

namespace fs = std::filesystem;

// An xHCI controller with its root hub and a keyboard, an e1000 NIC, the
// SATA controller and disk that hold "/", and a virtio console (a bus
// without a way to choose drivers). The kernel has modules for the NIC and
// the keyboard's interface.
constexpr const char* kMachine = R"(
rootdev 8:1
bus pci pci0000:00/0000:00:14.0 vendor=0x8086 device=0x02ed class=0x0c0330 driver_override=(null) driver=xhci_hcd
bus usb pci0000:00/0000:00:14.0/usb1 idVendor=1d6b idProduct=0002 bDeviceClass=09 authorized=1 driver=usb
bus usb pci0000:00/0000:00:14.0/usb1/1-1 idVendor=0627 idProduct=0001 bDeviceClass=00 bNumInterfaces=" 1" authorized=1 product="QEMU USB Keyboard" driver=usb
bus usb pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0 bInterfaceClass=03 bInterfaceSubClass=01 bInterfaceProtocol=01 bInterfaceNumber=00 authorized=1 modalias=usb:v0627p0001d0000dc00dsc00dp00ic03isc01ip01in00 driver=usbhid
bus pci pci0000:00/0000:00:03.0 vendor=0x8086 device=0x100e class=0x020000 driver_override=(null) modalias=pci:v00008086d0000100Esv00001AF4sd00001100bc02sc00i00 driver=e1000
class net pci0000:00/0000:00:03.0/net/eth0 ifalias=
bus pci pci0000:00/0000:00:1f.2 vendor=0x8086 device=0x2922 class=0x010601 driver_override=(null) driver=ahci
bus scsi pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0 type=0 vendor=ATA model=Disk driver=sd
class block pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda dev=8:0
class block pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1 dev=8:1 partition=1
bus virtio pci0000:00/0000:00:05.0/virtio0 device=0x0003 driver=virtio_console
driver pci vfio-pci
)";

constexpr const char* kKeyboard = "USB\\VID_0627&PID_0001\\1-1";
constexpr const char* kInterface = "USB\\VID_0627&PID_0001&MI_00\\1-1:1.0";
constexpr const char* kRootHub = "USB\\VID_1D6B&PID_0002\\usb1";
constexpr const char* kNic = "PCI\\VEN_8086&DEV_100E\\0000:00:03.0";
constexpr const char* kSata = "PCI\\VEN_8086&DEV_2922\\0000:00:1f.2";
constexpr const char* kConsole = "VIRTIO\\VEN_0000&DEV_0003\\virtio0";
constexpr const char* kVolume = "STORAGE\\VOLUME\\sda1";

// What the simulator logs, below sys/.
const std::string kKbdDir = "devices/pci0000:00/0000:00:14.0/usb1/1-1";
const std::string kNicDir = "devices/pci0000:00/0000:00:03.0";

enum class Kind { kEnable, kDisable, kStart, kStop, kName };

struct Change {
  Kind kind;
  std::string name;  // for kName
};

const Change kEnable{Kind::kEnable, ""};
const Change kDisable{Kind::kDisable, ""};
const Change kStart{Kind::kStart, ""};
const Change kStop{Kind::kStop, ""};
Change Name(std::string text) {
  return Change{Kind::kName, std::move(text)};
}

// A machine with a simulated kernel and one service over it.
class Machine {
 public:
  explicit Machine(const char* extra = "", std::vector<sysfs::SessionInterface> session = {})
      : kernel_(std::make_shared<KernelSimulator>(tree_)) {
    std::string error;
    EXPECT_TRUE(tree_.Load(kMachine, &error)) << error;
    EXPECT_TRUE(tree_.Load(extra, &error)) << error;
    tree_.WriteFile("proc/sys/kernel/osrelease", "6.1.0-test\n");
    tree_.WriteFile("lib/modules/6.1.0-test/modules.alias",
                    "alias pci:v00008086d0000100Esv*sd*bc*sc*i* e1000\n"
                    "alias usb:v*p*d*dc*dsc*dp*ic03isc01ip01in* usbhid\n");
    service_ = MakeSysfsService(
        SysfsOptions{tree_.Root(), tree_.RootDevice(), kernel_, [session] { return session; }});
    set_ = OpenPresentDevices(*service_, nullptr);
    EXPECT_TRUE(set_);
  }

  FakeSysfs& Tree() { return tree_; }
  KernelSimulator& Kernel() { return *kernel_; }
  DeviceService& Service() { return *service_; }
  HDEVINFO Set() const { return set_.get(); }

  // The member with this instance ID in the open set.
  SP_DEVINFO_DATA Member(const std::string& instanceId) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (std::uint32_t i = 0; service_->SetupDiEnumDeviceInfo(set_.get(), i, &data); ++i) {
      char id[kTextBufferSize] = {};
      service_->SetupDiGetDeviceInstanceIdA(set_.get(), &data, id, sizeof(id), nullptr);
      if (instanceId == id)
        return data;
    }
    ADD_FAILURE() << "no member " << instanceId;
    return data;
  }

  // 0, or the error code the change failed with.
  std::uint32_t Apply(const std::string& instanceId, const Change& change) {
    SP_DEVINFO_DATA data = Member(instanceId);
    bool done = false;
    if (change.kind == Kind::kName) {
      done = service_->SetupDiSetDeviceRegistryPropertyA(
          set_.get(), &data, SPDRP_FRIENDLYNAME,
          reinterpret_cast<const std::uint8_t*>(change.name.data()),
          static_cast<std::uint32_t>(change.name.size()));
    } else {
      SP_PROPCHANGE_PARAMS params{};
      params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE};
      params.StateChange = change.kind == Kind::kEnable    ? DICS_ENABLE
                           : change.kind == Kind::kDisable ? DICS_DISABLE
                           : change.kind == Kind::kStart   ? DICS_START
                                                           : DICS_STOP;
      params.Scope = change.kind == Kind::kEnable || change.kind == Kind::kDisable
                         ? DICS_FLAG_GLOBAL
                         : DICS_FLAG_CONFIGSPECIFIC;
      EXPECT_TRUE(service_->SetupDiSetClassInstallParamsA(
          set_.get(), &data, &params.ClassInstallHeader, sizeof(params)));
      done = service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_.get(), &data);
    }
    return done ? 0 : service_->GetLastError();
  }

  // "0x... problem", as read now.
  std::string State(const std::string& instanceId) {
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    const SP_DEVINFO_DATA data = Member(instanceId);
    EXPECT_EQ(service_->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), CR_SUCCESS);
    return FormatHex8(status) + " " + std::to_string(problem);
  }

  std::string FriendlyName(const std::string& instanceId) {
    const SP_DEVINFO_DATA data = Member(instanceId);
    std::uint8_t buffer[kTextBufferSize] = {};
    if (!service_->SetupDiGetDeviceRegistryPropertyA(set_.get(), &data, SPDRP_FRIENDLYNAME, nullptr,
                                                     buffer, sizeof(buffer), nullptr)) {
      return "<none>";
    }
    return reinterpret_cast<const char*>(buffer);
  }

 private:
  FakeSysfs tree_;
  std::shared_ptr<KernelSimulator> kernel_;
  std::unique_ptr<DeviceService> service_;
  DeviceInfoSetPtr set_{nullptr, DeviceInfoSetCloser()};
};

constexpr const char* kEnabled = "0x0180200A 0";
constexpr const char* kDisabled = "0x00802400 22";
constexpr const char* kNotStarted = "0x00802400 10";

// Each change on each kind of node: the writes, the result, the state after.
TEST(SysfsChange, WriteSequences) {
  struct Row {
    const char* what;
    const char* node;
    std::vector<Change> before;  // applied first, successfully
    Change change;
    std::string inject;  // path suffix whose write fails
    int error;
    std::uint32_t result;
    std::vector<std::string> writes;
    const char* after;
  };
  const std::string kbdAuthorized = kKbdDir + "/authorized";
  const std::string ifAuthorized = kKbdDir + "/1-1:1.0/authorized";
  const std::string probeIf = "bus/usb/drivers_probe <- 1-1:1.0";
  const std::string override = kNicDir + "/driver_override";
  const std::string alias = kNicDir + "/net/eth0/ifalias <- ";
  const std::string unbindNic = kNicDir + "/driver/unbind <- 0000:00:03.0";
  const std::string probeNic = "bus/pci/drivers_probe <- 0000:00:03.0";
  const std::string n255(255, 'n');
  // clang-format off
  const Row rows[] = {
      // USB device: authorized.
      {"usb disable", kKeyboard, {}, kDisable, "", 0, 0, {kbdAuthorized + " <- 0"}, kDisabled},
      {"usb enable", kKeyboard, {kDisable}, kEnable, "", 0, 0, {kbdAuthorized + " <- 1"}, kEnabled},
      {"usb stop", kKeyboard, {}, kStop, "", 0, 0, {kKbdDir + "/driver/unbind <- 1-1"},
       kNotStarted},
      {"usb start", kKeyboard, {kStop}, kStart, "", 0, 0, {"bus/usb/drivers_probe <- 1-1"},
       kEnabled},
      {"usb disable refused", kKeyboard, {}, kDisable, "authorized", EPERM, 5,
       {kbdAuthorized + " <- 0"}, kEnabled},
      {"usb disable, other errno", kKeyboard, {}, kDisable, "authorized", E2BIG, 0x20000007,
       {kbdAuthorized + " <- 0"}, kEnabled},
      // USB interface: authorized, then a probe to bind it again.
      {"interface disable", kInterface, {}, kDisable, "", 0, 0, {ifAuthorized + " <- 0"}, kDisabled},
      {"interface enable", kInterface, {kDisable}, kEnable, "", 0, 0,
       {ifAuthorized + " <- 1", probeIf}, kEnabled},
      {"interface enable, probe busy", kInterface, {kDisable}, kEnable, "drivers_probe", EBUSY, 170,
       {ifAuthorized + " <- 1", probeIf}, kNotStarted},
      // The root hub carries every device behind it.
      {"root hub disable", kRootHub, {}, kDisable, "", 0, 0xE0000231, {}, "0x0180000A 0"},
      {"root hub stop", kRootHub, {}, kStop, "", 0, 0xE0000231, {}, "0x0180000A 0"},
      // PCI: driver_override, unbind, drivers_probe.
      {"pci disable", kNic, {}, kDisable, "", 0, 0, {override + " <- none", unbindNic}, kDisabled},
      {"pci disable unbound", kNic, {kStop}, kDisable, "", 0, 0, {override + " <- none"}, kDisabled},
      {"pci disable, unbind busy: choice restored", kNic, {}, kDisable, "unbind", EBUSY, 170,
       {override + " <- none", unbindNic, override + " <- \\n"}, kEnabled},
      {"pci disable, override refused", kNic, {}, kDisable, "driver_override", EACCES, 5,
       {override + " <- none"}, kEnabled},
      {"pci enable", kNic, {kDisable}, kEnable, "", 0, 0, {override + " <- \\n", probeNic}, kEnabled},
      {"pci enable, probe gone", kNic, {kDisable}, kEnable, "drivers_probe", ENODEV, 0xE000020B,
       {override + " <- \\n", probeNic}, kNotStarted},
      {"pci stop", kNic, {}, kStop, "", 0, 0, {unbindNic}, kNotStarted},
      {"pci stop, driver link gone meanwhile", kNic, {}, kStop, "unbind", ENOENT, 50, {unbindNic},
       kEnabled},
      {"pci stop, i/o error", kNic, {}, kStop, "unbind", EIO, 31, {unbindNic}, kEnabled},
      {"pci stop unbound: nothing to write", kNic, {kStop}, kStop, "", 0, 0, {}, kNotStarted},
      {"pci start", kNic, {kStop}, kStart, "", 0, 0, {probeNic}, kEnabled},
      {"pci start while bound", kNic, {}, kStart, "", 0, 0, {probeNic}, kEnabled},
      {"pci start disabled: nothing binds", kNic, {kDisable}, kStart, "", 0, 0xE0000203, {probeNic},
       kDisabled},
      {"pci start, try again", kNic, {kStop}, kStart, "drivers_probe", EAGAIN, 21, {probeNic},
       kNotStarted},
      // No way to choose a driver: stop and start only.
      {"virtio disable", kConsole, {}, kDisable, "", 0, 0xE0000231, {}, "0x0180000A 0"},
      {"virtio enable", kConsole, {}, kEnable, "", 0, 0xE0000231, {}, "0x0180000A 0"},
      {"virtio stop", kConsole, {}, kStop, "", 0, 0,
       {"devices/pci0000:00/0000:00:05.0/virtio0/driver/unbind <- virtio0"}, "0x00800400 28"},
      {"virtio start", kConsole, {kStop}, kStart, "", 0, 0, {"bus/virtio/drivers_probe <- virtio0"},
       "0x0180000A 0"},
      // What holds "/" is never taken away; a volume has no driver to change.
      {"root disk disable", kSata, {}, kDisable, "", 0, 0xE0000231, {}, "0x0180000A 0"},
      {"root disk stop", kSata, {}, kStop, "", 0, 0xE0000231, {}, "0x0180000A 0"},
      {"root disk start", kSata, {}, kStart, "", 0, 0, {"bus/pci/drivers_probe <- 0000:00:1f.2"},
       "0x0180000A 0"},
      {"volume stop", kVolume, {}, kStop, "", 0, 0xE0000231, {}, "0x00800008 0"},
      {"volume enable", kVolume, {}, kEnable, "", 0, 0xE0000231, {}, "0x00800008 0"},
      // Friendly names: ifalias of the one network interface.
      {"name", kNic, {}, Name("Uplink"), "", 0, 0, {alias + "Uplink\\n"}, kEnabled},
      {"empty name clears", kNic, {Name("Uplink")}, Name(""), "", 0, 0, {alias + "\\n"}, kEnabled},
      {"255 bytes", kNic, {}, Name(n255), "", 0, 0, {alias + n255 + "\\n"}, kEnabled},
      {"256 bytes", kNic, {}, Name(n255 + "n"), "", 0, 87, {}, kEnabled},
      {"control character", kNic, {}, Name("Up\tlink"), "", 0, 87, {}, kEnabled},
      {"no network interface", kKeyboard, {}, Name("Keys"), "", 0, 50, {}, kEnabled},
      {"name without CAP_NET_ADMIN", kNic, {}, Name("Uplink"), "ifalias", EPERM, 5,
       {alias + "Uplink\\n"}, kEnabled},
      {"name, no memory", kNic, {}, Name("Uplink"), "ifalias", ENOMEM, 8, {alias + "Uplink\\n"},
       kEnabled},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Machine machine;
    for (const Change& change : row.before)
      ASSERT_EQ(machine.Apply(row.node, change), 0U);
    machine.Kernel().ClearLog();
    if (!row.inject.empty())
      machine.Kernel().Inject(row.inject, row.error);
    EXPECT_EQ(FormatHex8(machine.Apply(row.node, row.change)), FormatHex8(row.result));
    EXPECT_EQ(machine.Kernel().Log(), row.writes);
    EXPECT_EQ(machine.State(row.node), row.after);
  }
}

// The fields the window shows again after a change come from the change.
TEST(SysfsChange, TheSameSetShowsTheChange) {
  Machine machine;
  ASSERT_EQ(machine.Apply(kNic, Name("Uplink")), 0U);
  EXPECT_EQ(machine.FriendlyName(kNic), "Uplink");
  ASSERT_EQ(machine.Apply(kNic, Name("")), 0U);
  EXPECT_EQ(machine.FriendlyName(kNic), "<none>");
  ASSERT_EQ(machine.Apply(kNic, Name("Uplink")), 0U);
  // Binding the driver again makes the interface anew, without its alias.
  ASSERT_EQ(machine.Apply(kNic, kStop), 0U);
  machine.Tree().WriteFile("sys/" + kNicDir + "/net/eth0/ifalias", "\n");
  ASSERT_EQ(machine.Apply(kNic, kStart), 0U);
  EXPECT_EQ(machine.FriendlyName(kNic), "<none>");
  // The keyboard's interface goes with it and comes back.
  ASSERT_EQ(machine.Apply(kKeyboard, kDisable), 0U);
  EXPECT_FALSE(fs::exists(machine.Tree().Root() + "/sys/" + kKbdDir + "/1-1:1.0"));
  EXPECT_EQ(machine.Apply(kKeyboard, kEnable), 0U);
  EXPECT_EQ(machine.State(kInterface), kEnabled);
}

TEST(SysfsChange, CallerMistakesAndVanishedNodes) {
  Machine machine;
  SP_DEVINFO_DATA data = machine.Member(kNic);
  DeviceService& service = machine.Service();
  // Nothing attached yet.
  EXPECT_FALSE(service.SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, machine.Set(), &data));
  EXPECT_EQ(service.GetLastError(), 0xE0000215U);
  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE};
  params.StateChange = 3;  // DICS_PROPCHANGE: not one of the four
  EXPECT_FALSE(service.SetupDiSetClassInstallParamsA(machine.Set(), &data,
                                                     &params.ClassInstallHeader, sizeof(params)));
  EXPECT_EQ(service.GetLastError(), error::kInvalidParameter);
  params.StateChange = DICS_STOP;
  ASSERT_TRUE(service.SetupDiSetClassInstallParamsA(machine.Set(), &data,
                                                    &params.ClassInstallHeader, sizeof(params)));
  EXPECT_FALSE(service.SetupDiCallClassInstaller(0x1, machine.Set(), &data));
  EXPECT_EQ(service.GetLastError(), error::kNotSupported);
  const std::uint8_t text[] = "Uplink";
  EXPECT_FALSE(service.SetupDiSetDeviceRegistryPropertyA(machine.Set(), &data, SPDRP_DEVICEDESC,
                                                         text, sizeof(text)));
  EXPECT_EQ(service.GetLastError(), 0xE0000209U);
  EXPECT_TRUE(machine.Kernel().Log().empty());

  // The NIC and the keyboard go away after the list was read: every change
  // says so, whether or not the node could have been changed.
  machine.Tree().RemoveDevice("pci0000:00/0000:00:03.0");
  machine.Tree().RemoveDevice("pci0000:00/0000:00:14.0/usb1/1-1");
  EXPECT_FALSE(service.SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, machine.Set(), &data));
  EXPECT_EQ(service.GetLastError(), error::kNoSuchDevinst);
  for (const Change& change : {kDisable, kEnable, kStop, kStart, Name("Uplink")}) {
    EXPECT_EQ(machine.Apply(kNic, change), error::kNoSuchDevinst);
    EXPECT_EQ(machine.Apply(kKeyboard, change), error::kNoSuchDevinst);
  }
  EXPECT_TRUE(machine.Kernel().Log().empty());
  EXPECT_FALSE(fs::exists(machine.Tree().Root() + "/etc"));
}

// Sysfs attributes are root's: anyone else gets "access denied" before a
// write is tried, whatever the change.
TEST(SysfsChange, NotRootIsAccessDenied) {
  Machine machine;
  fs::permissions(machine.Tree().Root(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  const auto ordinaryUser = [&] {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      return false;
    return geteuid() != 0;
  };
  // Not run as root, this user owns the tree: take its write permission, so
  // that it stands to the tree as an ordinary user to sysfs.
  const auto writable = [&](fs::perm_options how) {
    for (const auto& entry : fs::recursive_directory_iterator(machine.Tree().Root() + "/sys")) {
      if (!entry.is_symlink())
        fs::permissions(entry.path(), fs::perms::owner_write, how);
    }
  };
  if (geteuid() != 0)
    writable(fs::perm_options::remove);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only the exit status speaks: 0 when every change said 5 and nothing
    // was written. Nothing may escape to the test runner's loop.
    int failures = 100;
    try {
      if (ordinaryUser()) {
        failures = 0;
        for (const Change& change : {kDisable, kEnable, kStop, kStart, Name("Uplink")}) {
          failures += machine.Apply(kNic, change) == error::kAccessDenied ? 0 : 1;
          const Change& other = change.kind == Kind::kName ? kStop : change;
          failures += machine.Apply(kKeyboard, other) == error::kAccessDenied ? 0 : 1;
        }
        failures += machine.Kernel().Log().empty() ? 0 : 10;
      }
    } catch (...) {
      failures = 99;
    }
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (geteuid() != 0)
    writable(fs::perm_options::add);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The kernel writer itself: it writes the tree's files, follows the links
// inside the tree, and not one that leads out of it.
TEST(SysfsChange, KernelWriterStaysInTheTree) {
  FakeSysfs outside;
  outside.WriteFile("unbind", "untouched\n");
  Machine machine;
  FakeSysfs& tree = machine.Tree();
  const auto service = MakeSysfsService(SysfsOptions{tree.Root(), tree.RootDevice()});
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, nullptr);
  ASSERT_TRUE(set);
  const auto change = [&](const std::string& id, std::uint32_t stateChange) {
    SP_DEVINFO_DATA member = machine.Member(id);
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE};
    params.StateChange = stateChange;
    EXPECT_TRUE(service->SetupDiSetClassInstallParamsA(set.get(), &member,
                                                       &params.ClassInstallHeader, sizeof(params)));
    return service->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &member)
               ? 0U
               : service->GetLastError();
  };
  const auto read = [](const std::string& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    return text;
  };
  EXPECT_EQ(change(kKeyboard, DICS_DISABLE), 0U);
  EXPECT_EQ(read(tree.Root() + "/sys/" + kKbdDir + "/authorized"), "0");
  // Through the driver link, which stays in the tree.
  tree.WriteFile("sys/bus/pci/drivers/e1000/unbind", "");
  EXPECT_EQ(change(kNic, DICS_STOP), 0U);
  EXPECT_EQ(read(tree.Root() + "/sys/bus/pci/drivers/e1000/unbind"), "0000:00:03.0");
  // The driver link leads out of the tree, to a file named unbind.
  tree.Symlink("sys/" + kNicDir + "/driver", outside.Root());
  EXPECT_EQ(change(kNic, DICS_STOP), error::kAccessDenied);
  EXPECT_EQ(read(outside.Root() + "/unbind"), "untouched");
  // An attribute that is a second name of a file elsewhere.
  outside.WriteFile("authorized", "untouched\n");
  fs::remove(tree.Root() + "/sys/" + kKbdDir + "/authorized");
  fs::create_hard_link(outside.Root() + "/authorized",
                       tree.Root() + "/sys/" + kKbdDir + "/authorized");
  EXPECT_EQ(change(kKeyboard, DICS_ENABLE), error::kAccessDenied);
  EXPECT_EQ(read(outside.Root() + "/authorized"), "untouched");
}

// A USB stick on the keyboard's hub, its two partitions, and an empty rules folder.
constexpr const char* kStickTree = R"(
bus usb pci0000:00/0000:00:14.0/usb1/1-2 idVendor=46f4 idProduct=0001 bDeviceClass=00 bNumInterfaces=" 1" authorized=1 driver=usb
bus usb pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0 bInterfaceClass=08 bInterfaceSubClass=06 bInterfaceProtocol=50 bInterfaceNumber=00 authorized=1 driver=usb-storage
bus scsi pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host1/target1:0:0/1:0:0:0 type=0 vendor=QEMU model=HARDDISK driver=sd
class block pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host1/target1:0:0/1:0:0:0/block/sdb dev=8:16
class block pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host1/target1:0:0/1:0:0:0/block/sdb/sdb1 dev=8:17 partition=1
class block pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host1/target1:0:0/1:0:0:0/block/sdb/sdb2 dev=8:18 partition=2
)";
constexpr const char* kStick = "USB\\VID_46F4&PID_0001\\1-2";
constexpr const char* kMountHead = "22 1 0:21 / /proc rw - proc proc rw\n";

// Each reason a node is never taken away: disable and stop refused with
// 0xE0000231 and the reason, nothing written, DN_DISABLEABLE gone; and the
// same node given back once the reason is gone.
TEST(SysfsChange, WhatIsNeverTakenAway) {
  struct Row {
    const char* what;
    const char* extra;      // statements added to the stick's tree
    std::string mountinfo;  // proc/self/mountinfo
    std::string swaps;      // proc/swaps
    std::vector<sysfs::SessionInterface> session;
    const char* node;
    std::string reason;  // empty: disable and stop go ahead
  };
  const std::string swapHead = "Filename\tType\tSize\tUsed\tPriority\n";
  const std::vector<sysfs::SessionInterface> ssh = {{"eth0", "192.0.2.10"}};
  // clang-format off
  const Row rows[] = {
      {"nothing held", "", kMountHead, swapHead, {}, kStick, ""},
      {"mounted partition, name with a blank", "",
       std::string(kMountHead) + "40 22 8:17 / /media/my\\040stick rw - vfat /dev/sdb1 rw\n",
       swapHead, {}, kStick, "/media/my stick is mounted from it"},
      {"mounted whole disk, seen from the controller", "",
       std::string(kMountHead) + "40 22 8:16 / /mnt rw - ext4 /dev/sdb rw\n", swapHead, {},
       "PCI\\VEN_8086&DEV_02ED\\0000:00:14.0", "/mnt is mounted from it"},
      {"anonymous device number, named by its source", "",
       std::string(kMountHead) + "40 22 0:45 / /data rw - btrfs /dev/sdb2 rw\n", swapHead, {},
       kStick, "/data is mounted from it"},
      {"swap partition", "", kMountHead, swapHead + "/dev/sdb2\tpartition\t1024\t0\t-2\n", {},
       kStick, "/dev/sdb2 is in use as swap on it"},
      {"swap file: its file system decides", "", kMountHead,
       swapHead + "/swapfile\tfile\t1024\t0\t-2\n", {}, kStick, ""},
      {"stacked block device",
       "class block virtual/block/dm-0 dev=254:0 @slaves/sdb2=pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host1/target1:0:0/1:0:0:0/block/sdb/sdb2\n"
       "dir pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host1/target1:0:0/1:0:0:0/block/sdb/sdb2 holders/dm-0=",
       kMountHead, swapHead, {}, kStick, "dm-0 is built on it"},
      {"mounted mapped device: what it rests on",
       "class block virtual/block/dm-0 dev=254:0 @slaves/sdb2=pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host1/target1:0:0/1:0:0:0/block/sdb/sdb2",
       std::string(kMountHead) + "40 22 254:0 / /home rw - ext4 /dev/mapper/home rw\n", swapHead,
       {}, kStick, "/home is mounted from it"},
      {"root file system", "", kMountHead, swapHead, {}, kSata, "/ is mounted from it"},
      {"SSH session", "", kMountHead, swapHead, ssh, kNic,
       "it carries this SSH session (eth0, 192.0.2.10)"},
      {"SSH session over a bridge",
       "class net virtual/net/br0 @lower_eth0=pci0000:00/0000:00:03.0/net/eth0", kMountHead,
       swapHead, {{"br0", "192.0.2.10"}}, kNic, "it carries this SSH session (br0, 192.0.2.10)"},
      {"SSH session elsewhere", "", kMountHead, swapHead, {{"lo", "127.0.0.1"}}, kNic, ""},
      {"root hub", "", kMountHead, swapHead, {}, kRootHub,
       "it is a USB root hub, which carries every device behind it"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Machine machine((std::string(kStickTree) + row.extra).c_str(), row.session);
    machine.Tree().WriteFile("proc/self/mountinfo", row.mountinfo);
    machine.Tree().WriteFile("proc/swaps", row.swaps);
    const std::string before = machine.State(row.node);
    if (row.reason.empty()) {
      EXPECT_NE(std::stoul(before.substr(2, 8), nullptr, 16) & DN_DISABLEABLE, 0U) << before;
      EXPECT_EQ(machine.Apply(row.node, kStop), 0U);
      EXPECT_EQ(machine.Apply(row.node, kDisable), 0U);
      continue;
    }
    EXPECT_EQ(std::stoul(before.substr(2, 8), nullptr, 16) & DN_DISABLEABLE, 0U) << before;
    for (const Change& change : {kDisable, kStop}) {
      EXPECT_EQ(FormatHex8(machine.Apply(row.node, change)), "0xE0000231");
      EXPECT_EQ(machine.Service().LastRefusalReason(), row.reason);
    }
    EXPECT_TRUE(machine.Kernel().Log().empty());
    EXPECT_FALSE(fs::exists(machine.Tree().Root() + "/etc"));
    EXPECT_EQ(machine.State(row.node), before);
  }
}

// The kept changes' rules file: what each change leaves in it, and that it
// changes together with the device or not at all.
TEST(SysfsChange, KeptChangesRulesFile) {
  const std::string head =
      "# Kept by quillon: devices it disabled and network interface names it set,\n"
      "# applied by udev whenever the device appears. Enabling the device or an\n"
      "# empty name removes an entry, as does deleting its two lines by hand.\n"
      "# quillon.ignore on the kernel command line skips them all at that boot.\n"
      "ACTION!=\"add\", GOTO=\"quillon_end\"\n"
      "IMPORT{cmdline}=\"quillon.ignore\"\n"
      "ENV{quillon.ignore}==\"1\", GOTO=\"quillon_end\"\n";
  const std::string end = "LABEL=\"quillon_end\"\n";
  const std::string kbdRule =
      "# quillon: disable USB\\VID_0627&PID_0001\\1-1\n"
      "ACTION==\"add\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", KERNEL==\"1-1\", "
      "ATTR{idVendor}==\"0627\", ATTR{idProduct}==\"0001\", ATTR{authorized}=\"0\"\n";
  const std::string nicRule =
      "# quillon: disable PCI\\VEN_8086&DEV_100E\\0000:00:03.0\n"
      "ACTION==\"add\", SUBSYSTEM==\"pci\", KERNEL==\"0000:00:03.0\", ATTR{vendor}==\"0x8086\", "
      "ATTR{device}==\"0x100e\", ATTR{driver_override}=\"none\", ATTR{driver/unbind}=\"%k\"\n";
  const std::string ifRule =
      "# quillon: disable USB\\VID_0627&PID_0001&MI_00\\1-1:1.0\n"
      "ACTION==\"add\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\", KERNEL==\"1-1:1.0\", "
      "ATTRS{idVendor}==\"0627\", ATTRS{idProduct}==\"0001\", ATTR{authorized}=\"0\"\n";
  const std::string hostile = "My \"NIC\" 100% $HOME R\xc3\xa9seau \\";
  const std::string aliasRule =
      "# quillon: name PCI\\VEN_8086&DEV_100E\\0000:00:03.0\n"
      "ACTION==\"add\", SUBSYSTEM==\"net\", SUBSYSTEMS==\"pci\", KERNELS==\"0000:00:03.0\", "
      "ATTRS{vendor}==\"0x8086\", ATTRS{device}==\"0x100e\", "
      "ATTR{ifalias}=e\"My \\\"NIC\\\" 100%% $$HOME R\\xc3\\xa9seau \\\\\"\n";
  const std::string foreign = "# mine\nSUBSYSTEM==\"net\", ATTR{mtu}=\"1400\"\n";
  const std::string none = "<no file>";
  struct Row {
    const char* what;
    std::string before;                                   // the file's text first
    std::vector<std::pair<const char*, Change>> changes;  // the last one is checked
    std::string inject;                                   // a write that fails
    std::uint32_t result;
    std::string after;
  };
  // clang-format off
  const Row rows[] = {
      {"usb disable", none, {{kKeyboard, kDisable}}, "", 0, head + kbdRule + end},
      {"pci disable", none, {{kNic, kDisable}}, "", 0, head + nicRule + end},
      {"interface disable", none, {{kInterface, kDisable}}, "", 0, head + ifRule + end},
      {"name that needs every escape", none, {{kNic, Name(hostile)}}, "", 0,
       head + aliasRule + end},
      {"two entries, then the first removed", none,
       {{kKeyboard, kDisable}, {kNic, kDisable}, {kKeyboard, kEnable}}, "", 0, head + nicRule + end},
      {"enable removes the file", none, {{kKeyboard, kDisable}, {kKeyboard, kEnable}}, "", 0, none},
      {"empty name removes the file", none, {{kNic, Name("Uplink")}, {kNic, Name("")}}, "", 0,
       none},
      {"disable twice: one entry", none, {{kKeyboard, kDisable}, {kKeyboard, kDisable}}, "", 0,
       head + kbdRule + end},
      {"foreign lines kept", foreign, {{kKeyboard, kDisable}}, "", 0,
       foreign + head + kbdRule + end},
      {"foreign lines alone left", foreign, {{kKeyboard, kDisable}, {kKeyboard, kEnable}}, "", 0,
       foreign},
      {"enable of a node disabled only by a rule", head + kbdRule + end, {{kKeyboard, kEnable}}, "",
       0, none},
      {"start and stop are not kept", none, {{kNic, kStop}, {kNic, kStart}}, "", 0, none},
      {"live disable fails: the entry goes again", none, {{kKeyboard, kDisable}}, "authorized",
       EPERM, none},
      {"live enable fails: the entry stays", head + kbdRule + end, {{kKeyboard, kEnable}},
       "authorized", EBUSY, head + kbdRule + end},
      {"live name fails: the old name stays", none, {{kNic, Name(hostile)}, {kNic, Name("x")}},
       "ifalias", EPERM, head + aliasRule + end},
      {"name that is not UTF-8", none, {{kNic, Name("Caf\xe9")}}, "", 87, none},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Machine machine;
    const std::string path = machine.Tree().Root() + "/etc/udev/rules.d/70-quillon.rules";
    if (row.before != none)
      machine.Tree().WriteFile("etc/udev/rules.d/70-quillon.rules", row.before);
    for (std::size_t i = 0; i < row.changes.size(); ++i) {
      const bool last = i + 1 == row.changes.size();
      if (last && !row.inject.empty())
        machine.Kernel().Inject(row.inject, static_cast<int>(row.result));
      const std::uint32_t code = machine.Apply(row.changes[i].first, row.changes[i].second);
      if (last && row.inject.empty())
        EXPECT_EQ(code, row.result);
      else if (last)
        EXPECT_EQ(code, sysfs::ErrorFromErrno(static_cast<int>(row.result)));
      else
        ASSERT_EQ(code, 0U);
    }
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(file ? text : none, row.after);
    // No temporary file is left behind.
    const std::string folder = machine.Tree().Root() + "/etc/udev/rules.d";
    for (const auto& entry :
         fs::exists(folder) ? fs::directory_iterator(folder) : fs::directory_iterator()) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "70-quillon.rules" || name == ".70-quillon.rules.lock") << name;
    }
    if (row.after != none) {
      EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                    fs::perms::others_read);
    }
  }
}

// Changes from several programs follow one another: while another holds
// the lock beside the rules file, a change waits, then goes ahead.
TEST(SysfsChange, KeptChangesWaitForTheLock) {
  Machine machine;
  const std::string folder = machine.Tree().Root() + "/etc/udev/rules.d";
  fs::create_directories(folder);
  const int lock = open((folder + "/.70-quillon.rules.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0)
    _exit(machine.Apply(kKeyboard, kDisable) == 0 ? 0 : 1);
  usleep(200 * 1000);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the change did not wait";
  EXPECT_FALSE(fs::exists(folder + "/70-quillon.rules"));
  flock(lock, LOCK_UN);
  close(lock);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(fs::exists(folder + "/70-quillon.rules"));
}

// A rules file that is not a plain file (masked with a link to /dev/null)
// is left alone, and so is the device.
TEST(SysfsChange, KeptChangesNeverFollowALink) {
  Machine machine;
  machine.Tree().Symlink("etc/udev/rules.d/70-quillon.rules", "/dev/null");
  EXPECT_EQ(machine.Apply(kKeyboard, kDisable), error::kAccessDenied);
  EXPECT_TRUE(machine.Kernel().Log().empty());
  EXPECT_TRUE(fs::is_symlink(machine.Tree().Root() + "/etc/udev/rules.d/70-quillon.rules"));
  EXPECT_EQ(machine.State(kKeyboard), kEnabled);
}

}  // namespace
}  // namespace quillon::devices::testing
