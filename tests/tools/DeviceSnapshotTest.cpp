#include "tools/DeviceChanges.h"
#include "tools/DeviceFilter.h"
#include "tools/DeviceSnapshot.h"
#include "tools/DeviceTree.h"
#include "tools/DeviceWatch.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/DeviceServiceFactory.h"
#include "devices/DeviceText.h"
#include "tests/devices/sysfs/FakeSysfs.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::tools {
namespace {

namespace fs = std::filesystem;
using devices::FormatGuid;
using devices::FormatHex8;

// A temporary folder for device files, removed afterwards.
class Folder {
 public:
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "quillon-tools.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~Folder() { fs::remove_all(path_); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  std::string Write(const std::string& name, const std::string& text) const {
    const fs::path path = path_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

 private:
  fs::path path_;
};

Snapshot Read(const std::string& source) {
  std::ostringstream diagnostics;
  const auto service = devices::CreateDeviceService(source, diagnostics);
  Snapshot snapshot = ReadSnapshot(*service);
  EXPECT_TRUE(snapshot.opened) << source << ": " << diagnostics.str();
  return snapshot;
}

std::string Text(const TextRead& read) {
  return read.text ? '"' + *read.text + '"' : "<error " + std::to_string(read.error) + ">";
}

// Everything quillon shows of a device and every failed read, one text each,
// so that a difference reads plainly.
std::vector<std::string> Describe(const Snapshot& snapshot) {
  std::vector<std::string> rows;
  for (const DeviceEntry& d : snapshot.devices) {
    rows.push_back(ReportLine(d) + " id=" + Text(d.instanceId) +
                   " friendly=" + Text(d.friendlyName) + " description=" + Text(d.description) +
                   " class=" + FormatGuid(d.classGuid) + " handle=" + std::to_string(d.devInst) +
                   " statusResult=" + std::to_string(d.statusResult) +
                   " status=" + FormatHex8(d.status) + " problem=" + std::to_string(d.problem) +
                   " parent=" + d.parentId.value_or("-") + " hardware=" + JsonArray(d.hardwareIds) +
                   " compatible=" + JsonArray(d.compatibleIds) + " driver=" + Text(d.driver) +
                   " module=" + Text(d.driverModule) + " location=" + Text(d.location));
  }
  return rows;
}

// Exports `snapshot`, opens the file as a device source and reads it again.
Snapshot Replay(const Snapshot& snapshot, const Folder& folder,
                std::vector<std::string>* notes = nullptr) {
  std::ostringstream file;
  std::vector<std::string> written;
  WriteDeviceFile(snapshot.devices, file, written);
  if (notes != nullptr)
    *notes = written;
  return Read(folder.Write("export.json", file.str()));
}

// Every way a read can fail on a device file comes back the same from the export.
TEST(DeviceSnapshot, ExportReplaysADeviceFileWithItsFailures) {
  const Folder folder;
  const std::string source = folder.Write("source.json", R"({"devices": [
    {"instanceId": "PCI\\VEN_1AF4&DEV_1041\\0000:00:03.0", "friendlyName": "Uplink",
     "description": "Virtio network device", "classGuid": "{4D36E972-E325-11CE-BFC1-08002BE10318}",
     "devInst": 70, "status": "0x0180200A"},
    {"instanceId": "ROOT\\UNREADABLE\\1", "description": "Hidden", "fail": {"instanceId": 13}},
    {"instanceId": "ROOT\\A\\1", "description": "Long name", "fail": {"friendlyName": 122}},
    {"instanceId": "ROOT\\A\\2", "friendlyName": "", "fail": {"description": 5}},
    {"instanceId": "ROOT\\A\\3", "description": "Gone", "devInst": -2,
     "fail": {"status": -536870389}},
    {"instanceId": "ROOT\\A\\4", "present": false},
    {"instanceId": "ROOT\\A\\5", "status": "0x01802400", "problem": 22},
    {"instanceId": "ROOT\\UNREADABLE\\6", "fail": {"instanceId": 5}}
  ]})");
  const Snapshot live = Read(source);
  ASSERT_EQ(live.devices.size(), 7U);
  const Snapshot replay = Replay(live, folder);
  EXPECT_EQ(Describe(replay), Describe(live));
  // The unreadable IDs stayed unreadable, with their own codes.
  EXPECT_EQ(replay.devices[1].instanceId.error, 13U);
  EXPECT_EQ(replay.devices[6].instanceId.error, 5U);
  EXPECT_EQ(replay.devices[1].name, "");
}

TEST(DeviceSnapshot, ExportOfNothingOpensAsAnEmptyList) {
  const Folder folder;
  const Snapshot replay = Replay(Snapshot{}, folder);
  EXPECT_TRUE(replay.devices.empty());
}

// A device file holds each instance ID once: repeated ones get a suffix that
// no other device has, and the change is told.
TEST(DeviceSnapshot, RepeatedInstanceIdsAreMadeUnique) {
  Snapshot snapshot;
  for (const char* id :
       {"ACPI\\PNP0A05\\0", "acpi\\pnp0a05\\0", "ACPI\\PNP0A05\\0&2", "ROOT\\UNREADABLE\\3"}) {
    DeviceEntry device;
    device.instanceId.text = id;
    device.description = {"ACPI System Bus", 0};
    device.devInst = static_cast<std::uint32_t>(snapshot.devices.size() + 1);
    snapshot.devices.push_back(device);
  }
  DeviceEntry unreadable;
  unreadable.instanceId.error = 13;
  unreadable.devInst = 9;
  snapshot.devices.push_back(unreadable);

  const Folder folder;
  std::vector<std::string> notes;
  const Snapshot replay = Replay(snapshot, folder, &notes);
  ASSERT_EQ(replay.devices.size(), 5U);
  EXPECT_EQ(replay.devices[0].instanceId.text, "ACPI\\PNP0A05\\0");
  EXPECT_EQ(replay.devices[1].instanceId.text, "acpi\\pnp0a05\\0&3");
  EXPECT_EQ(replay.devices[2].instanceId.text, "ACPI\\PNP0A05\\0&2");
  EXPECT_EQ(replay.devices[3].instanceId.text, "ROOT\\UNREADABLE\\3");
  EXPECT_EQ(replay.devices[4].instanceId.error, 13U);
  ASSERT_EQ(notes.size(), 1U);
  EXPECT_NE(notes[0].find("acpi\\pnp0a05\\0&3"), std::string::npos);
}

// A JSON text cannot hold bytes that are not UTF-8: each becomes U+FFFD,
// and a note says so, naming the device and the text.
TEST(DeviceSnapshot, ExportNotesTextsThatAreNotUtf8) {
  Snapshot snapshot;
  DeviceEntry device;
  device.instanceId.text = "ROOT\\LATIN1\\0";
  device.friendlyName.text = "Ger\xE4t";
  device.description.text = "Ger\xC3\xA4t";  // UTF-8: kept, no note
  snapshot.devices.push_back(device);
  const Folder folder;
  std::vector<std::string> notes;
  const Snapshot replay = Replay(snapshot, folder, &notes);
  ASSERT_EQ(replay.devices.size(), 1U);
  EXPECT_EQ(replay.devices[0].friendlyName.text, "Ger\xEF\xBF\xBDt");
  EXPECT_EQ(replay.devices[0].description.text, "Ger\xC3\xA4t");
  EXPECT_EQ(notes, std::vector<std::string>{"the friendlyName of device 1 (Ger\\xE4t) holds bytes "
                                            "that are not UTF-8; each is written as U+FFFD"});
}

// The fake trees of a laptop and of this project's VM, read as sysfs and
// replayed from their export, show the same in every field.
TEST(DeviceSnapshot, ExportReplaysSysfsTrees) {
  for (const std::string machine : {"laptop", "vm"}) {
    SCOPED_TRACE(machine);
    devices::testing::FakeSysfs tree;
    devices::testing::LoadFixture(tree, machine + ".tree");
    const Snapshot live = Read(tree.Root());
    ASSERT_GT(live.devices.size(), 10U);
    const Folder folder;
    EXPECT_EQ(Describe(Replay(live, folder)), Describe(live));
  }
}

TEST(DeviceSnapshot, LinesAreKeyedByInstanceId) {
  DeviceEntry device;
  device.instanceId.text = "PCI\\VEN_8086&DEV_100E\\0000:00:02.0";
  device.name = "Uplink";
  device.status = 0x0180200A;
  EXPECT_EQ(ReportLine(device), "Uplink: 0x0180200A(enabled)");
  EXPECT_EQ(DeviceLine(device), "PCI\\VEN_8086&DEV_100E\\0000:00:02.0 Uplink: 0x0180200A(enabled)");
  device.instanceId = {std::nullopt, 13};
  device.name.clear();
  device.problem = 22;
  EXPECT_EQ(DeviceLine(device), "- : 0x0180200A(disabled)");
}

TEST(DeviceSnapshot, JsonFollowsItsSchema) {
  const Folder folder;
  const Snapshot snapshot = Read(folder.Write("source.json", R"({"devices": [
    {"instanceId": "PCI\\VEN_1AF4&DEV_1041\\1", "friendlyName": "Uplink \"1\"",
     "classGuid": "{4D36E972-E325-11CE-BFC1-08002BE10318}", "devInst": -1,
     "status": "0x01802400", "problem": 22},
    {"fail": {"instanceId": 13, "status": 13}}
  ]})"));
  std::ostringstream out;
  WriteJson(snapshot.devices, out);
  const nlohmann::json json = nlohmann::json::parse(out.str());
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 2U);
  EXPECT_EQ(json[0], nlohmann::json::parse(R"({
    "instanceId": "PCI\\VEN_1AF4&DEV_1041\\1", "name": "Uplink \"1\"",
    "friendlyName": "Uplink \"1\"", "description": null, "className": "Net",
    "classGuid": "{4D36E972-E325-11CE-BFC1-08002BE10318}", "devInst": -1,
    "status": "0x01802400", "problem": 22, "problemText": "disabled", "parentId": null,
    "hardwareIds": [], "compatibleIds": [], "driver": null, "driverModule": null,
    "location": null})"));
  EXPECT_EQ(json[1], nlohmann::json::parse(R"({
    "instanceId": null, "name": "", "friendlyName": null, "description": null,
    "className": null, "classGuid": "{00000000-0000-0000-0000-000000000000}", "devInst": 2,
    "status": null, "problem": null, "problemText": null, "parentId": null, "hardwareIds": [],
    "compatibleIds": [], "driver": null, "driverModule": null, "location": null})"));

  std::ostringstream empty;
  WriteJson({}, empty);
  EXPECT_EQ(nlohmann::json::parse(empty.str()), nlohmann::json::array());
}

TEST(DeviceSnapshot, JsonStringsAreEscapedAndUtf8) {
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\tnew\nline", "\"tab\\u0009new\\u000Aline\""},
      {"Caf\xC3\xA9 \xE2\x82\xAC", "\"Caf\xC3\xA9 \xE2\x82\xAC\""},
      {"Latin-1 \xE9!", "\"Latin-1 \xEF\xBF\xBD!\""},
      {"cut \xE2\x82", "\"cut \xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"overlong \xC0\xAF", "\"overlong \xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"surrogate \xED\xA0\x80", "\"surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JsonString(c.text), c.json);
    EXPECT_TRUE(nlohmann::json::accept(JsonString(c.text))) << c.json;
  }
}

TEST(DeviceFilter, GlobsMatchIgnoringCase) {
  struct Case {
    const char* pattern;
    const char* text;
    bool matches;
  };
  for (const Case& c : {
           Case{"PCI\\VEN_8086*", "pci\\ven_8086&dev_15bc", true},
           Case{"*VEN_8086*", "PCI\\VEN_8086&DEV_15BC", true},
           Case{"*VEN_8086*", "PCI\\VEN_8087&DEV_8086", false},
           Case{"*&MI_0?", "USB\\VID_046D&PID_C52B&MI_01", true},
           Case{"*&MI_0?", "USB\\VID_046D&PID_C52B&MI_010", false},
           Case{"A*B*C", "AxxBxxBxxC", true},
           Case{"A*B*C", "AxxCxxB", false},
           Case{"*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
           Case{"**", "", true},
           Case{"?", "", false},
           Case{"ab", "AB", true},
           Case{"ab", "abc", false},
           Case{"a*", "b", false},
           Case{"*aa", "a", false},
       }) {
    EXPECT_EQ(GlobMatches(c.pattern, c.text), c.matches) << c.pattern << " / " << c.text;
  }
}

// A device file may hold IDs of a megabyte. A text full of one case of a
// segment's first letter once made the search for the other case scan the
// rest of the text at every candidate: minutes for one device.
TEST(DeviceFilter, LongTextsTakeLinearTime) {
  const std::string lower(std::size_t{4} << 20, 'a');
  const std::string upper(std::size_t{4} << 20, 'A');
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(GlobMatches("*ab*", lower));
  EXPECT_FALSE(GlobMatches("*ab*", upper));
  EXPECT_TRUE(GlobMatches("*ab*", lower + "B"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

// What a kernel event names is read again, and only that: a USB device
// taken off (authorized=0) shows as its one change line, found also from a
// folder below it; a device no event names keeps its old state.
// A watch over the laptop's fake tree, started, writing to `out`.
class WatchedLaptop : public ::testing::Test {
 protected:
  void SetUp() override {
    devices::testing::LoadFixture(tree, "laptop.tree");
    service = devices::CreateDeviceService(tree.Root(), diagnostics);
    options.source = tree.Root();
    watcher.emplace(*service, options, out);
    ASSERT_TRUE(watcher->Start(diagnostics)) << diagnostics.str();
  }

  devices::testing::FakeSysfs tree;
  std::ostringstream diagnostics;
  std::unique_ptr<devices::DeviceService> service;
  WatchOptions options;
  std::ostringstream out;
  std::optional<DeviceWatcher> watcher;
};

TEST_F(WatchedLaptop, RereadsTheDevicesAnEventNames) {
  const std::string keyboard = "pci0000:00/0000:00:14.0/usb1/1-1";
  const std::string stick = "pci0000:00/0000:00:14.0/usb1/1-2";
  tree.WriteFile("sys/devices/" + keyboard + "/authorized", "0\n");
  tree.WriteFile("sys/devices/" + stick + "/authorized", "0\n");
  // Named twice, it is still one change.
  EXPECT_TRUE(
      watcher->RereadAt({"/sys/devices/" + keyboard + "/power", "/sys/devices/" + keyboard}));
  EXPECT_EQ(out.str(),
            "changed USB\\VID_046D&PID_C31C\\1-1 status 0x0180600A -> 0x00806400, problem 0 "
            "(enabled) -> 22 (disabled)\n");
  // A path that names no device asks for a whole reading, which finds the stick.
  out.str("");
  EXPECT_FALSE(watcher->RereadAt({"/sys/devices/virtual/no-such"}));
  watcher->RereadAll();
  EXPECT_NE(out.str().find("changed USB\\VID_0781&PID_5567\\1-2 status"), std::string::npos)
      << out.str();
}

// Only the kernel's own events count: messages another program sends to the
// watch's socket (root may) make it read nothing again.
TEST(DeviceWatcher, IgnoresEventsNotFromTheKernel) {
  using namespace std::string_literals;
  UeventSocket watch(0);
  ASSERT_GE(watch.Fd(), 0);
  sockaddr_nl own{};
  socklen_t length = sizeof own;
  ASSERT_EQ(::getsockname(watch.Fd(), reinterpret_cast<sockaddr*>(&own), &length), 0);
  const UeventSocket sender(0);
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = own.nl_pid;
  for (const std::string& fake : {"add@/devices/pci0000:00/0000:00:1f.0\0ACTION=add\0"s,
                                  "change@/devices/pci0000:00/0000:00:1f.0\0ACTION=change\0"s}) {
    if (::sendto(sender.Fd(), fake.data(), fake.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to) < 0) {
      GTEST_SKIP() << "sending to a device event socket needs CAP_NET_ADMIN";
    }
  }
  pollfd waiting{watch.Fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&waiting, 1, 1000), 1);  // they did arrive
  UeventBatch batch;
  watch.Drain(batch);
  EXPECT_FALSE(batch.everything);
  EXPECT_EQ(batch.paths, std::vector<std::string>{});
  EXPECT_EQ(::poll(&waiting, 1, 0), 0);  // and were read
}

// Events the socket had no room for are lost, and the kernel says so once
// (ENOBUFS): the watch then reads everything and writes what changed, here a
// USB device taken off that no event it read named. The flood goes to the
// events' group of a network namespace of this thread's own, which no other
// program hears, so no event of this machine's is sent or lost.
TEST_F(WatchedLaptop, LostEventsReadEverything) {
  tree.WriteFile("sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/authorized", "0\n");

  UeventBatch batch;
  std::string skipped;
  std::thread([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      skipped = "a network namespace of its own needs CAP_SYS_ADMIN";
      return;
    }
    UeventSocket watch(1);
    const UeventSocket sender(0);
    // The smallest buffer the kernel gives: a few events fill it.
    const int small = 1;
    ::setsockopt(watch.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_nl group{};
    group.nl_family = AF_NETLINK;
    group.nl_groups = 1;
    const std::string event(200, 'x');
    for (int i = 0; i < 64; ++i) {
      if (::sendto(sender.Fd(), event.data(), event.size(), 0, reinterpret_cast<sockaddr*>(&group),
                   sizeof group) < 0) {
        skipped = "sending to the device events' group needs CAP_NET_ADMIN";
        return;
      }
    }
    watch.Drain(batch);
  }).join();
  if (!skipped.empty())
    GTEST_SKIP() << skipped;
  EXPECT_TRUE(batch.everything);
  EXPECT_EQ(batch.paths, std::vector<std::string>{});  // the flood's own are not the kernel's
  FollowUevents(*watcher, batch);
  EXPECT_EQ(out.str(),
            "changed USB\\VID_046D&PID_C31C\\1-1 status 0x0180600A -> 0x00806400, problem 0 "
            "(enabled) -> 22 (disabled)\n");
}

// An instance ID from a device file may hold control characters: every line
// that shows one blanks them, as the listing does, so that it stays one line
// and sends no escape sequence to a terminal.
TEST(DeviceLines, BlankControlCharactersInInstanceIds) {
  DeviceEntry child;
  child.instanceId.text = "ROOT\\KID\x1B[32m\n\\1";
  child.name = "Kid";
  child.parentId = "ROOT\\EVIL\x1B[31m\n\\0";
  Snapshot snapshot;
  snapshot.devices = {child};
  std::ostringstream tree;
  WriteTree(snapshot, {true}, DeviceLine, tree);
  EXPECT_EQ(tree.str(), "ROOT\\EVIL [31m \\0\n  ROOT\\KID [32m \\1 Kid: 0x00000000(enabled)\n");

  DeviceEntry disabled = child;
  disabled.problem = 22;
  const std::vector<DeviceChange> changes = DiffDevices({child}, {disabled});
  ASSERT_EQ(changes.size(), 1U);
  EXPECT_EQ(ChangeLine(changes[0]),
            "changed ROOT\\KID [32m \\1 problem 0 (enabled) -> 22 (disabled)");
}

}  // namespace
}  // namespace quillon::tools
