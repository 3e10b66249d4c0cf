// A change refused for want of rights, handed to pkexec and the privileged
// helper: the arguments the helper accepts, and what each way pkexec can end
// (a fake pkexec program stands in) makes of the change, its error code and
// the line that says why.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "devices/DeviceText.h"
#include "devices/sysfs/ChangeRequest.h"
#include "devices/sysfs/PkexecChanger.h"
#include "devices/sysfs/SysfsService.h"
#include "tests/devices/sysfs/KernelSimulator.h"

namespace quillon::devices::testing {
namespace {

using sysfs::ChangeOperation;
using sysfs::ParseChangeArguments;

TEST(ChangeArguments, AcceptOneWellFormedChange) {
  struct Row {
    std::vector<std::string_view> arguments;
    std::uint32_t error;
  };
  const std::string n255(255, 'n');
  const std::string n256(256, 'n');
  const std::string id200 = "USB\\X\\" + std::string(194, '1');
  const std::string id201 = id200 + "1";
  const Row rows[] = {
      {{"disable", "USB\\VID_0627&PID_0001\\1-1"}, 0},
      {{"enable", "PCI\\VEN_8086&DEV_100E\\0000:00:03.0"}, 0},
      {{"start", "PLATFORM\\X\\Fixed MDIO bus.0"}, 0},
      {{"stop", "ACPI\\PNP0303\\00:01_2"}, 0},
      {{"name", "PCI\\X\\0000:00:03.0", "Uplink \"100%\" R\xC3\xA9seau"}, 0},
      {{"name", "PCI\\X\\0000:00:03.0", ""}, 0},
      {{"name", "PCI\\X\\0000:00:03.0", n255}, 0},
      {{"stop", id200}, 0},
      {{"--ssh-local=10.0.2.15", "disable", "USB\\X\\1-1"}, 0},
      {{"--ssh-local=fe80::5054:ff:fe12:3456", "stop", "PCI\\X\\0000:00:03.0"}, 0},
      {{"--ssh-local=::ffff:10.0.2.15", "name", "PCI\\X\\0000:00:03.0", "Uplink"}, 0},
      // Malformed: 87, whatever follows.
      {{}, 87},
      {{"disable"}, 87},
      {{"Disable", "USB\\X\\1-1"}, 87},
      {{"remove", "USB\\X\\1-1"}, 87},
      {{"disable", ""}, 87},
      {{"disable", "USB\\X\\1-1", "extra"}, 87},
      {{"name", "PCI\\X\\0000:00:03.0"}, 87},
      {{"name", "PCI\\X\\0000:00:03.0", n256}, 87},
      {{"name", "PCI\\X\\0000:00:03.0", "two\nlines"}, 87},
      {{"name", "PCI\\X\\0000:00:03.0", "tab\there"}, 87},
      {{"name", "PCI\\X\\0000:00:03.0", "del\x7F"}, 87},
      {{"disable", "../../../etc/passwd"}, 87},
      {{"disable", "/sys/bus/usb/devices/1-1"}, 87},
      {{"disable", "USB\\..\\1-1"}, 87},
      {{"disable", "USB\\X\\."}, 87},
      {{"disable", "..\\X\\1-1"}, 87},
      {{"disable", "USB\\X\\1-1\n"}, 87},
      {{"disable", std::string_view("USB\\X\\1-1\0x", 11)}, 87},
      {{"stop", id201}, 87},
      {{"--ssh-local=", "disable", "USB\\X\\1-1"}, 87},
      {{"--ssh-local=10.0.2", "disable", "USB\\X\\1-1"}, 87},
      {{"--ssh-local=10.0.2.256", "disable", "USB\\X\\1-1"}, 87},
      {{"--ssh-local=fe80::1%eth0", "disable", "USB\\X\\1-1"}, 87},
      {{"--ssh-local=localhost", "disable", "USB\\X\\1-1"}, 87},
      {{"--ssh-local= 10.0.2.15", "disable", "USB\\X\\1-1"}, 87},
      {{std::string_view("--ssh-local=10.0.2.15\0x", 23), "disable", "USB\\X\\1-1"}, 87},
      {{"--ssh-local=10.0.2.15", "--ssh-local=10.0.2.16", "disable", "USB\\X\\1-1"}, 87},
      {{"--ssh-local=10.0.2.15"}, 87},
      {{"--ssh-local=10.0.2.15", "disable"}, 87},
      {{"--SSH-local=10.0.2.15", "disable", "USB\\X\\1-1"}, 87},
  };
  for (const Row& row : rows) {
    std::string shown;
    for (const std::string_view argument : row.arguments)
      shown += "[" + std::string(argument) + "]";
    const sysfs::ParsedChange parsed = ParseChangeArguments(row.arguments);
    EXPECT_EQ(parsed.error, row.error) << shown;
    if (row.error == 0) {
      // What the caller hands the helper reads back as the same request.
      const std::vector<std::string> words = sysfs::ChangeArguments(parsed.request);
      EXPECT_EQ(std::vector<std::string>(row.arguments.begin(), row.arguments.end()), words)
          << shown;
    }
  }
}

// The logged line holds the caller's text, but nothing that could end the
// line, close the quotes early or reach a terminal as a control sequence.
TEST(ChangeArguments, LogTextEscapesTheCallersBytes) {
  struct Row {
    std::vector<std::string_view> arguments;
    const char* logged;
  };
  const Row rows[] = {
      {{"disable", "USB\\VID_0627&PID_0001\\1-1"}, "disable USB\\VID_0627&PID_0001\\1-1"},
      {{"name", "PCI\\X\\0000:00:03.0", "Uplink 100%"},
       "name PCI\\X\\0000:00:03.0 \"Uplink 100%\""},
      {{"name", "PCI\\X\\1", "a\": done \\"}, "name PCI\\X\\1 \"a\\\": done \\\\\""},
      {{"name", "PCI\\X\\1",
        "R\xC3\xA9seau \xC2\x9B"
        "2J \x9B"},
       "name PCI\\X\\1 \"R\\xc3\\xa9seau \\xc2\\x9b2J \\x9b\""},
      {{"stop",
        "PCI\\X\\\xC2\x9B"
        "1m"},
       "stop PCI\\X\\\\xc2\\x9b1m"},
  };
  for (const Row& row : rows) {
    const sysfs::ParsedChange parsed = ParseChangeArguments(row.arguments);
    ASSERT_EQ(parsed.error, 0U) << row.logged;
    EXPECT_EQ(sysfs::ChangeText(parsed.request), row.logged);
  }
}

// Limits an ordinary user sets are handed down through pkexec: too few files
// would hide from the guard what it must read, a size or time limit could
// stop a change half made.
TEST(ChangeArguments, CallersLimitsAreLifted) {
  struct Row {
    int resource;
    rlim_t lowered;
    rlim_t wanted;
  };
  const Row rows[] = {
      {RLIMIT_NOFILE, 16, 1024},
      {RLIMIT_FSIZE, 4096, RLIM_INFINITY},
      {RLIMIT_CPU, 3600, RLIM_INFINITY},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.resource);
    rlimit before{};
    ASSERT_EQ(getrlimit(row.resource, &before), 0);
    const rlimit lowered{std::min(before.rlim_cur, row.lowered), before.rlim_max};
    ASSERT_EQ(setrlimit(row.resource, &lowered), 0);
    sysfs::LiftCallerLimits();
    rlimit after{};
    ASSERT_EQ(getrlimit(row.resource, &after), 0);
    // Root gets what is wanted; anyone else as much as the hard limit allows.
    EXPECT_EQ(after.rlim_cur, geteuid() == 0 ? row.wanted : std::min(before.rlim_max, row.wanted));
    setrlimit(row.resource, &before);
  }
}

// A keyboard and a NIC over a simulated kernel, changes refused with EACCES
// at the first write, and a fake pkexec that records its arguments.
constexpr const char* kMachine = R"(
bus pci pci0000:00/0000:00:14.0 vendor=0x8086 device=0x02ed class=0x0c0330 driver_override=(null) driver=xhci_hcd
bus usb pci0000:00/0000:00:14.0/usb1 idVendor=1d6b idProduct=0002 bDeviceClass=09 authorized=1 driver=usb
bus usb pci0000:00/0000:00:14.0/usb1/1-1 idVendor=0627 idProduct=0001 bDeviceClass=00 bNumInterfaces=" 1" authorized=1 product="QEMU USB Keyboard" driver=usb
bus pci pci0000:00/0000:00:03.0 vendor=0x8086 device=0x100e class=0x020000 driver_override=(null) driver=e1000
class net pci0000:00/0000:00:03.0/net/eth0 ifalias=
)";
constexpr const char* kKeyboard = "USB\\VID_0627&PID_0001\\1-1";
constexpr const char* kNic = "PCI\\VEN_8086&DEV_100E\\0000:00:03.0";

struct Outcome {
  const char* what;
  const char* pkexec;  // the fake's shell commands; nullptr: no pkexec
  bool helper;         // whether the helper is installed
  std::uint32_t result;
  const char* line;  // what standard error then says
};

class Escalation : public ::testing::TestWithParam<Outcome> {};

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_P(Escalation, EndsAsPkexecSays) {
  const Outcome& row = GetParam();
  FakeSysfs tree;
  std::string error;
  ASSERT_TRUE(tree.Load(kMachine, &error)) << error;
  const std::string tools = tree.Root() + "/tools";
  const std::string pkexec = tools + "/pkexec";
  const std::string helper = tools + "/quillon-change";
  const std::string recorded = tools + "/arguments";
  if (row.pkexec != nullptr) {
    tree.WriteFile("tools/pkexec",
                   "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$(dirname \"$0\")/arguments\"\n" +
                       std::string(row.pkexec) + "\n");
    chmod(pkexec.c_str(), 0755);
  }
  if (row.helper)
    tree.WriteFile("tools/quillon-change", "");
  auto kernel = std::make_shared<KernelSimulator>(tree);
  std::ostringstream diagnostics;
  SysfsOptions options{tree.Root(), "", kernel};
  options.privileged = sysfs::MakePkexecChanger(pkexec, helper);
  options.diagnostics = &diagnostics;
  const std::unique_ptr<DeviceService> service = MakeSysfsService(options);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, nullptr);
  ASSERT_TRUE(set);

  struct Change {
    const char* id;
    bool rename;
    std::string refused;        // the attribute whose write the kernel refuses
    const char* sshConnection;  // quillon's SSH_CONNECTION; nullptr: unset
    std::string arguments;
  };
  const Change changes[] = {
      {kKeyboard, false, "authorized", nullptr, helper + "\ndisable\n" + kKeyboard + "\n"},
      {kNic, true, "ifalias", nullptr, helper + "\nname\n" + kNic + "\nUplink 100%\n"},
      // The helper clears its environment: the session's local address goes
      // as an argument, without its zone.
      {kKeyboard, false, "authorized", "10.0.2.2 50022 10.0.2.15 22",
       helper + "\n--ssh-local=10.0.2.15\ndisable\n" + kKeyboard + "\n"},
      {kNic, true, "ifalias", "fe80::2%eth0 50022 fe80::5054:ff:fe12:3456%eth0 22",
       helper + "\n--ssh-local=fe80::5054:ff:fe12:3456\nname\n" + kNic + "\nUplink 100%\n"},
      {kKeyboard, false, "authorized", "garbage", helper + "\ndisable\n" + kKeyboard + "\n"},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(std::string(row.what) + ", " + change.id + ", " +
                 (change.sshConnection != nullptr ? change.sshConnection : "no SSH"));
    if (change.sshConnection != nullptr)
      setenv("SSH_CONNECTION", change.sshConnection, 1);
    else
      unsetenv("SSH_CONNECTION");
    diagnostics.str("");
    std::remove(recorded.c_str());
    kernel->Inject(change.refused, EACCES);
    kernel->ClearLog();
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    char id[kTextBufferSize] = {};
    for (std::uint32_t i = 0; service->SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
      service->SetupDiGetDeviceInstanceIdA(set.get(), &data, id, sizeof(id), nullptr);
      if (std::string(id) == change.id)
        break;
    }
    ASSERT_EQ(std::string(id), change.id);
    bool done = false;
    if (change.rename) {
      const std::string name = "Uplink 100%";
      done = service->SetupDiSetDeviceRegistryPropertyA(
          set.get(), &data, SPDRP_FRIENDLYNAME, reinterpret_cast<const std::uint8_t*>(name.data()),
          static_cast<std::uint32_t>(name.size()));
    } else {
      SP_PROPCHANGE_PARAMS params{};
      params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE};
      params.StateChange = DICS_DISABLE;
      params.Scope = DICS_FLAG_GLOBAL;
      ASSERT_TRUE(service->SetupDiSetClassInstallParamsA(
          set.get(), &data, &params.ClassInstallHeader, sizeof(params)));
      done = service->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data);
    }
    EXPECT_EQ(done ? 0U : service->GetLastError(), row.result);
    // The one refused write; whatever the helper did is its own.
    EXPECT_EQ(kernel->Log().size(), 1U);
    const std::string line =
        row.line[0] == '\0' ? std::string()
                            : std::string("quillon: ") + change.id + " was not changed (" +
                                  (change.rename ? "name" : "disable") + "): " + row.line + "\n";
    EXPECT_EQ(diagnostics.str(), line);
    EXPECT_EQ(Read(recorded), row.pkexec != nullptr && row.helper ? change.arguments : "");
  }
  unsetenv("SSH_CONNECTION");
}

INSTANTIATE_TEST_SUITE_P(
    Pkexec, Escalation,
    ::testing::Values(
        Outcome{"done", "echo 0", true, 0, ""},
        Outcome{"failed in the helper", "echo 170; exit 1", true, 170, ""},
        Outcome{"no such node", "echo 3758096907; exit 2", true, 0xE000020B, ""},
        Outcome{"helper refused its arguments", "echo 87; exit 2", true, 87, ""},
        Outcome{"helper not started as root", "echo 5; exit 3", true, 5, ""},
        Outcome{"not authorized", "echo 'Not authorized' >&2; exit 127", true, 5,
                "polkit did not authorize it"},
        Outcome{"dismissed", "exit 126", true, 5, "the authentication was dismissed"},
        Outcome{"no pkexec", nullptr, true, 5, "it needs root, and pkexec is not installed"},
        Outcome{"no helper", "echo 0", false, 5,
                "it needs root, and the privileged helper is not installed"},
        Outcome{"status and code disagree", "echo 0; exit 1", true, 31,
                "the privileged helper gave no answer"},
        Outcome{"no number", "echo done", true, 31, "the privileged helper gave no answer"},
        Outcome{"two numbers", "echo 0; echo 0", true, 31, "the privileged helper gave no answer"},
        Outcome{"killed", "kill -9 $$", true, 31, "the privileged helper gave no answer"}),
    [](const ::testing::TestParamInfo<Outcome>& param) {
      std::string name;
      for (const char c : std::string(param.param.what))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// Other refusals are the kernel's last word: pkexec is not asked.
TEST(Escalation, OnlyForWantOfRights) {
  FakeSysfs tree;
  ASSERT_TRUE(tree.Load(kMachine));
  auto kernel = std::make_shared<KernelSimulator>(tree);
  struct Recording final : sysfs::PrivilegedChanger {
    sysfs::EscalationResult Change(const sysfs::ChangeRequest&) override {
      ++calls;
      return {};
    }
    int calls = 0;
  };
  auto recording = std::make_shared<Recording>();
  SysfsOptions options{tree.Root(), "", kernel};
  options.privileged = recording;
  const std::unique_ptr<DeviceService> service = MakeSysfsService(options);
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  char id[kTextBufferSize] = {};
  for (std::uint32_t i = 0; service->SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
    service->SetupDiGetDeviceInstanceIdA(set.get(), &data, id, sizeof(id), nullptr);
    if (std::string(id) == kNic)
      break;
  }
  const std::string tooLong(256, 'n');
  kernel->Inject("ifalias", EBUSY);
  for (const std::string& name : {std::string("Uplink"), tooLong}) {
    EXPECT_FALSE(service->SetupDiSetDeviceRegistryPropertyA(
        set.get(), &data, SPDRP_FRIENDLYNAME, reinterpret_cast<const std::uint8_t*>(name.data()),
        static_cast<std::uint32_t>(name.size())));
  }
  EXPECT_EQ(service->GetLastError(), 87U);
  EXPECT_EQ(recording->calls, 0);
}

}  // namespace
}  // namespace quillon::devices::testing
