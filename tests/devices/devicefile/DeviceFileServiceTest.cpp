#include "devices/devicefile/DeviceFileService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "devices/DeviceText.h"
#include "devices/devicefile/DeviceFileModel.h"
#include "devices/devicefile/DeviceFileReading.h"
#include "devices/devicefile/DeviceFileStore.h"
#include "os/LocaleText.h"
#include "tests/devices/MemberList.h"

#ifndef _WIN32
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#endif

namespace quillon::devices {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kNoClassInstallParams = 0xE0000215;
constexpr std::uint32_t kCrNoSuchDevinst = 0xD;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Every field of every member, for comparing the two readers.
std::vector<std::string> Dump(const devicefile::Members& members) {
  std::vector<std::string> lines;
  for (const devicefile::Member& m : members) {
    std::ostringstream line;
    line << m.fileIndex << '|' << m.instanceId << '|' << m.friendlyName.value_or("-") << '|'
         << m.description.value_or("-") << '|' << FormatGuid(m.classGuid) << '|' << m.devInst << '|'
         << m.status << '|' << m.problem << '|' << m.present;
    for (const auto& failure : m.failures)
      line << '|' << (failure ? std::to_string(*failure) : "-");
    for (const auto* text : {&m.parentId, &m.driver, &m.driverModule, &m.location})
      line << '|' << text->value_or("-");
    for (const auto* ids : {&m.hardwareIds, &m.compatibleIds}) {
      line << '|' << ids->has_value();
      for (const std::string& id : ids->value_or(std::vector<std::string>()))
        line << id << ';';
    }
    lines.push_back(line.str());
  }
  return lines;
}

// The quick reader takes an ordinary file (`quick`) and then reads it as the
// document reader does: every member, absent ones and failures included.
void ExpectReadersAgree(const std::string& text, bool quick = true) {
  devicefile::Model fast;
  devicefile::Model checked;
  nlohmann::ordered_json document;
  devicefile::ParseError error;
  EXPECT_EQ(devicefile::ParseDeviceFileQuickly(text, fast), quick) << text;
  ASSERT_TRUE(devicefile::ParseDeviceDocument(text, checked, document, error)) << error.reason;
  if (quick) {
    EXPECT_EQ(Dump(*fast.members), Dump(*checked.members));
    EXPECT_EQ(fast.openError, checked.openError);
    EXPECT_EQ(fast.presentByDevInst, checked.presentByDevInst);
  }
}

class DeviceFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->name()) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::replace(name.begin(), name.end(), '/', '-');  // parameterised tests' names
    dir_ = fs::temp_directory_path() / ("quillon-devicefile-" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = dir_ / "devices.json";
  }
  void TearDown() override {
#ifndef _WIN32
    ::chmod(dir_.c_str(), 0700);
#endif
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  DeviceService& Service(const std::string& text) {
    WriteText(path_, text);
    service_ = MakeDeviceFileService(path_.string(), diagnostics_);
    return *service_;
  }

  // A new service over the same file, as in a later run. Close sets first.
  void NewRun() {
    service_ = MakeDeviceFileService(path_.string(), diagnostics_);
  }
  void NewRunOver(const std::string& path) {
    service_ = MakeDeviceFileService(path, diagnostics_);
  }

  DeviceInfoSetPtr Open(const char* enumerator = nullptr) {
    return OpenPresentDevices(*service_, enumerator);
  }

  std::vector<SP_DEVINFO_DATA> Members(HDEVINFO set) {
    return test_support::EnumerateMembers(*service_, set);
  }

  std::string InstanceId(const DeviceInfoSetPtr& set, const SP_DEVINFO_DATA& data) {
    std::array<char, kTextBufferSize> buffer{};
    std::uint32_t required = 0;
    if (!service_->SetupDiGetDeviceInstanceIdA(set.get(), &data, buffer.data(), kTextBufferSize,
                                               &required)) {
      return "error " + std::to_string(service_->GetLastError());
    }
    return buffer.data();
  }

  // The property's text, or "error N".
  std::string Property(const DeviceInfoSetPtr& set, const SP_DEVINFO_DATA& data,
                       std::uint32_t property) {
    std::array<std::uint8_t, kTextBufferSize> buffer{};
    std::uint32_t type = 0;
    std::uint32_t required = 0;
    if (!service_->SetupDiGetDeviceRegistryPropertyA(set.get(), &data, property, &type,
                                                     buffer.data(), kTextBufferSize, &required)) {
      return "error " + std::to_string(service_->GetLastError());
    }
    EXPECT_EQ(type, REG_SZ);
    return reinterpret_cast<const char*>(buffer.data());
  }

  // "status/problem" in hexadecimal, or "CR n".
  std::string Status(std::uint32_t devInst) {
    std::uint32_t status = 0x5A5A5A5A;
    std::uint32_t problem = 0x5A5A5A5A;
    const std::uint32_t result = service_->CM_Get_DevNode_Status(&status, &problem, devInst, 0);
    if (result != CR_SUCCESS) {
      EXPECT_EQ(status, 0x5A5A5A5Au) << "a failed query writes nothing";
      EXPECT_EQ(problem, 0x5A5A5A5Au);
      return "CR " + std::to_string(result);
    }
    return FormatHex8(status) + "/" + std::to_string(problem);
  }

  // Sets the parameters and calls the installer; 0 or the failing step's error.
  std::uint32_t ChangeState(const DeviceInfoSetPtr& set, SP_DEVINFO_DATA& data,
                            std::uint32_t stateChange) {
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE};
    params.StateChange = stateChange;
    params.Scope = stateChange <= DICS_DISABLE ? DICS_FLAG_GLOBAL : DICS_FLAG_CONFIGSPECIFIC;
    if (!service_->SetupDiSetClassInstallParamsA(set.get(), &data, &params.ClassInstallHeader,
                                                 sizeof params)) {
      return service_->GetLastError();
    }
    if (!service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data)) {
      return service_->GetLastError();
    }
    return 0;
  }

  std::uint32_t SetFriendlyName(const DeviceInfoSetPtr& set, SP_DEVINFO_DATA& data,
                                const std::string& name) {
    if (!service_->SetupDiSetDeviceRegistryPropertyA(
            set.get(), &data, SPDRP_FRIENDLYNAME,
            reinterpret_cast<const std::uint8_t*>(name.data()),
            static_cast<std::uint32_t>(name.size()))) {
      return service_->GetLastError();
    }
    return 0;
  }

  std::vector<std::string> DiagnosticLines() const {
    std::vector<std::string> lines;
    std::istringstream in(diagnostics_.str());
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

  std::vector<fs::path> DirectoryEntries() const {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(dir_))
      entries.push_back(entry.path());
    return entries;
  }

  fs::path dir_;
  fs::path path_;
  std::ostringstream diagnostics_;
  std::unique_ptr<DeviceService> service_;
};

// Cases from a file under fixtures/: "=== <header>" starts a
// case; its text follows (without the last line break), then optionally
// "---" and expected lines. Lines before the first case are comments.
struct Case {
  std::string header;
  std::string text;
  std::vector<std::string> expected;
};

std::vector<Case> ReadCases(const char* name) {
  std::ifstream in(fs::path(QUILLON_DEVICEFILE_FIXTURES) / name, std::ios::binary);
  std::vector<Case> cases;
  bool expected = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("=== ", 0) == 0) {
      cases.push_back({line.substr(4), "", {}});
      expected = false;
    } else if (!cases.empty() && line == "---") {
      expected = true;
    } else if (!cases.empty()) {
      Case& c = cases.back();
      expected ? c.expected.push_back(line) : void(c.text += line + "\n");
    }
  }
  for (Case& c : cases) {
    if (!c.text.empty())
      c.text.pop_back();
  }
  EXPECT_FALSE(cases.empty()) << "no cases in " << name;
  return cases;
}

TEST_F(DeviceFileTest, FilesReadAsWrittenWithDefaultsForWhatIsLeftOut) {
  for (const Case& c : ReadCases("read.cases")) {
    SCOPED_TRACE(c.header + "\n" + c.text);
    std::istringstream words(c.header);
    std::string mode;
    std::optional<std::string> enumerator;  // an empty one means all
    std::vector<std::uint32_t> noStatus;
    words >> mode;
    for (std::string word; words >> word;) {
      if (word.rfind("enumerator=", 0) == 0)
        enumerator = word.substr(11);
      if (word.rfind("nostatus=", 0) == 0)
        noStatus.push_back(static_cast<std::uint32_t>(std::stoul(word.substr(9))));
    }
    Service(c.text);
    const DeviceInfoSetPtr set = Open(enumerator ? enumerator->c_str() : nullptr);
    ASSERT_TRUE(set) << diagnostics_.str();
    std::vector<std::string> members;
    for (const SP_DEVINFO_DATA& data : Members(set.get())) {
      members.push_back(InstanceId(set, data) + "|" + Property(set, data, SPDRP_FRIENDLYNAME) +
                        "|" + Property(set, data, SPDRP_DEVICEDESC) + "|" +
                        FormatGuid(data.ClassGuid) + "|" + FormatSigned(data.DevInst) + "|" +
                        Status(data.DevInst));
    }
    EXPECT_EQ(members, c.expected);
    for (const std::uint32_t devInst : noStatus)
      EXPECT_EQ(Status(devInst), "CR " + std::to_string(kCrNoSuchDevinst)) << devInst;
    ExpectReadersAgree(c.text, mode == "quick");
  }
  EXPECT_TRUE(diagnostics_.str().empty()) << diagnostics_.str();
}

// A broken file opens as a failed set with one line of explanation,
// "<file>:<line>: <reason>", and is left as it is.
TEST_F(DeviceFileTest, ABrokenFileFailsTheOpenAndSaysWhereAndWhy) {
  for (const Case& c : ReadCases("broken.cases")) {
    SCOPED_TRACE(c.header + "\n" + c.text);
    const std::size_t colon = c.header.find(": ");
    ASSERT_NE(colon, std::string::npos);
    diagnostics_.str("");
    Service(c.text);
    EXPECT_FALSE(Open());
    EXPECT_EQ(service_->GetLastError(), error::kInvalidData);
    const auto lines = DiagnosticLines();
    ASSERT_EQ(lines.size(), 1u) << diagnostics_.str();
    EXPECT_EQ(lines[0].rfind(path_.string() + ":" + c.header.substr(0, colon) + ": ", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find(c.header.substr(colon + 2)), std::string::npos) << lines[0];
    EXPECT_EQ(ReadText(path_), c.text) << "nothing is written";
    devicefile::Model model;
    EXPECT_FALSE(devicefile::ParseDeviceFileQuickly(c.text, model)) << "the quick reader refuses";
  }
}

// The quick reader scans the text itself: it must take what the document
// reader takes as that reader does, and refuse whatever that reader refuses.
TEST(DeviceFileReadersTest, TheQuickReaderFollowsJsonAsTheDocumentReaderDoes) {
  enum Expect { kQuick, kDocumentOnly, kBroken };
  const auto member = [](const std::string& fields) { return "{\"devices\": [{" + fields + "}]}"; };
  std::vector<std::pair<std::string, Expect>> cases = {
      // Escapes, raw UTF-8 of every length and at the edges of its ranges, DEL.
      {member(R"("instanceId": "A\\B\u00e9\n\t\"\/\b\f\r", "friendlyName": "x\u0000y")"), kQuick},
      {member("\"friendlyName\": \"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\""), kQuick},
      {member("\"friendlyName\": \"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\""),
       kQuick},
      {member(R"("description": "\ud83d\ude00\uFFFF\u20AC")"), kQuick},
      // Numbers at the edges of 32 bits, white space of every kind.
      {"\t{\r\n\"devices\" :[ {\"devInst\":-0 ,\"status\":4294967295,\"problem\":-2147483648}\n]}"
       "\r\n\t ",
       kQuick},
      {member(R"("status": "0XfFfFfFfF", "problem": "0x0", "devInst": 0)"), kQuick},
      {"\xEF\xBB\xBF{}", kDocumentOnly},  // a byte order mark
      // Where the node hangs and what it is.
      {member(R"("parentId": "PCI\\X\\1", "hardwareIds": ["A", "B\u00e9"], )"
              R"("compatibleIds": [], "driver": "e1000e", "driverModule": "e1000e", )"
              R"("location": "/sys/devices/pci0000:00/0000:00:1f.6")"),
       kQuick},
      {member(R"("hardwareIds": null, "compatibleIds": [ "C" ], "parentId": null)"), kQuick},
      {member(R"("hardwareIds": "A")"), kBroken},
      {member(R"("hardwareIds": ["A", 1])"), kBroken},
      {member(R"("hardwareIds": ["A",])"), kBroken},
      {member(R"("compatibleIds": [null])"), kBroken},
      {member(R"("driver": 1)"), kBroken},
      {member(R"("parentId": [])"), kBroken},
      // Broken strings.
      {member("\"friendlyName\": \"a\x01\""), kBroken},
      {member("\"friendlyName\": \"\xC0\x80\""), kBroken},
      {member("\"friendlyName\": \"\xED\xA0\x80\""), kBroken},
      {member("\"friendlyName\": \"\xF4\x90\x80\x80\""), kBroken},
      {member("\"friendlyName\": \"\xF5\x80\x80\x80\""), kBroken},
      {member("\"friendlyName\": \"\x80\""), kBroken},
      {member("\"friendlyName\": \"\xE2\x82\""), kBroken},
      {member(R"("friendlyName": "\ud800")"), kBroken},
      {member(R"("friendlyName": "\udc00")"), kBroken},
      {member(R"("friendlyName": "\ud800\u0041")"), kBroken},
      {member(R"("friendlyName": "\x")"), kBroken},
      {member(R"("friendlyName": "\u12G4")"), kBroken},
      {member(R"("friendlyName": "\u12")"), kBroken},
      {member(R"("friendlyName": "open)"), kBroken},
      // Broken numbers and literals.
      {member(R"("status": 01)"), kBroken},
      {member(R"("status": -01)"), kBroken},
      {member(R"("status": 1.0)"), kBroken},
      {member(R"("status": 1e3)"), kBroken},
      {member(R"("status": -)"), kBroken},
      {member(R"("status": +1)"), kBroken},
      {member(R"("status": 4294967296)"), kBroken},
      {member(R"("status": 12345678901234567890)"), kBroken},
      {member(R"("problem": -2147483649)"), kBroken},
      {member(R"("present": tru)"), kBroken},
      {member(R"("present": truex)"), kBroken},
      {member(R"("present": True)"), kBroken},
      {member(R"("fail": nul)"), kBroken},
      // Broken structure.
      {R"({"devices": [{},]})", kBroken},
      {R"({"devices": [{"status": 1,}]})", kBroken},
      {R"({"devices": [{"status": 1 "problem": 2}]})", kBroken},
      {R"({"devices": [{"status" 1}]})", kBroken},
      {R"({"devices": [{} {}]})", kBroken},
      {R"({"devices": [})", kBroken},
      {R"({"devices": [{})", kBroken},
      {R"({} x)", kBroken},
      {R"({}{})", kBroken},
      {"", kBroken},
      {" \n", kBroken},
  };
  // A character that needs care at every place of an eight-byte block.
  for (std::size_t offset = 0; offset < 17; ++offset) {
    const std::string before(offset, 'a');
    cases.emplace_back(member("\"friendlyName\": \"" + before + R"(\"b", "description": ")" +
                              before + "\xC3\xA9\""),
                       kQuick);
    cases.emplace_back(member("\"friendlyName\": \"" + before + "\n\""), kBroken);
    cases.emplace_back(member("\"friendlyName\": \"" + before + "\xFF\""), kBroken);
  }
  for (const auto& [text, expect] : cases) {
    SCOPED_TRACE(text);
    if (expect == kBroken) {
      devicefile::Model model;
      nlohmann::ordered_json document;
      devicefile::ParseError error;
      EXPECT_FALSE(devicefile::ParseDeviceDocument(text, model, document, error));
      EXPECT_FALSE(devicefile::ParseDeviceFileQuickly(text, model));
    } else {
      ExpectReadersAgree(text, expect == kQuick);
    }
  }
}

TEST_F(DeviceFileTest, EnumerationChecksTheRecordSizeAndTheHandle) {
  Service(R"({"devices": [{}]})");
  const DeviceInfoSetPtr set = Open();
  SP_DEVINFO_DATA data{};
  // 28 is the right size on 32-bit only.
  for (const std::uint32_t size : {0u, 28u, std::uint32_t{sizeof data + 4}}) {
    data.cbSize = size;
    EXPECT_FALSE(size != sizeof data && service_->SetupDiEnumDeviceInfo(set.get(), 0, &data));
    EXPECT_TRUE(size == sizeof data || service_->GetLastError() == error::kInvalidUserBuffer);
  }
  data.cbSize = sizeof data;
  EXPECT_FALSE(service_->SetupDiEnumDeviceInfo(set.get(), 1, &data));
  EXPECT_EQ(service_->GetLastError(), error::kNoMoreItems);

  const HDEVINFO raw = service_->SetupDiGetClassDevsA(nullptr, nullptr, DIGCF_PRESENT);
  ASSERT_NE(raw, nullptr);
  EXPECT_TRUE(service_->SetupDiDestroyDeviceInfoList(raw));
  EXPECT_FALSE(service_->SetupDiEnumDeviceInfo(raw, 0, &data));
  EXPECT_EQ(service_->GetLastError(), error::kInvalidHandle);
  EXPECT_FALSE(service_->SetupDiDestroyDeviceInfoList(raw));
  EXPECT_EQ(service_->GetLastError(), error::kInvalidHandle);
  ASSERT_TRUE(service_->SetupDiEnumDeviceInfo(set.get(), 0, &data)) << "other sets stay open";
  std::array<char, kTextBufferSize> buffer{};
  EXPECT_FALSE(
      service_->SetupDiGetDeviceInstanceIdA(raw, &data, buffer.data(), kTextBufferSize, nullptr));
  EXPECT_EQ(service_->GetLastError(), error::kInvalidHandle);
}

TEST_F(DeviceFileTest, EachOpenReadsTheFileAndASetKeepsWhatItSaw) {
  Service(R"({"devices": [{"instanceId": "ROOT\\A\\0", "friendlyName": "Old"}]})");
  const DeviceInfoSetPtr first = Open();
  WriteText(path_, R"({"devices": [{"instanceId": "ROOT\\A\\0", "friendlyName": "New"},
                                   {"instanceId": "ROOT\\B\\0"}]})");
  const DeviceInfoSetPtr second = Open();
  const auto firstMembers = Members(first.get());
  ASSERT_EQ(firstMembers.size(), 1u);
  EXPECT_EQ(Property(first, firstMembers[0], SPDRP_FRIENDLYNAME), "Old");
  auto secondMembers = Members(second.get());
  ASSERT_EQ(secondMembers.size(), 2u);
  EXPECT_EQ(Property(second, secondMembers[0], SPDRP_FRIENDLYNAME), "New");

  // A change made here shows in every open set; the rest stays as each saw it.
  ASSERT_EQ(SetFriendlyName(second, secondMembers[0], "Newer"), 0u);
  EXPECT_EQ(Property(first, firstMembers[0], SPDRP_FRIENDLYNAME), "Newer");
  EXPECT_EQ(Members(first.get()).size(), 1u);
}

// A parent is found by instance ID, ignoring case. One the file does not
// list as present gets a handle of its own, the same for every child that
// names it; an absent member that names a parent leads on to it.
TEST_F(DeviceFileTest, ParentsAreFoundByInstanceIdIgnoringCase) {
  Service(R"({"devices": [
    {"instanceId": "PCI\\ROOT\\0"},
    {"instanceId": "PCI\\KID\\1", "parentId": "pci\\root\\0"},
    {"instanceId": "USB\\A\\2", "parentId": "ACPI\\GONE\\0"},
    {"instanceId": "USB\\B\\3", "parentId": "acpi\\gone\\0"},
    {"instanceId": "ACPI\\HUB\\0", "present": false, "parentId": "ACPI\\TOP\\0"},
    {"instanceId": "USB\\C\\5", "parentId": "ACPI\\HUB\\0"}]})");
  DeviceInfoSetPtr set = Open();  // reads the file
  const auto parentOf = [this](std::uint32_t devInst) -> std::optional<std::uint32_t> {
    std::uint32_t parent = 0;
    if (service_->CM_Get_Parent(&parent, devInst, 0) != CR_SUCCESS)
      return std::nullopt;
    return parent;
  };
  const auto idOf = [this](std::uint32_t devInst) {
    std::array<char, kTextBufferSize> buffer{};
    const std::uint32_t result =
        service_->CM_Get_Device_IDA(devInst, buffer.data(), kTextBufferSize, 0);
    return result == CR_SUCCESS ? std::string(buffer.data()) : "CR " + std::to_string(result);
  };
  EXPECT_EQ(parentOf(1), std::nullopt);  // a root
  EXPECT_EQ(parentOf(2), 1u);
  const auto gone = parentOf(3);
  ASSERT_TRUE(gone);
  EXPECT_EQ(idOf(*gone), "ACPI\\GONE\\0");
  EXPECT_EQ(parentOf(4), gone);
  EXPECT_EQ(parentOf(*gone), std::nullopt);
  const auto hub = parentOf(6);
  ASSERT_TRUE(hub);
  EXPECT_EQ(idOf(*hub), "ACPI\\HUB\\0");
  const auto top = parentOf(*hub);
  ASSERT_TRUE(top);
  EXPECT_EQ(idOf(*top), "ACPI\\TOP\\0");
  EXPECT_EQ(parentOf(*top), std::nullopt);

  // Each parent not listed is looked up by its ID, not among all such
  // parents one by one: a file of many took minutes once.
  std::string text = R"({"devices": [)";
  constexpr std::uint32_t kCount = 100000;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    text += std::string(i == 0 ? "" : ",") + R"({"instanceId": "PCI\\D\\)" + std::to_string(i) +
            R"(", "parentId": "ACPI\\GONE\\)" + std::to_string(i) + "\"}";
  }
  set.reset();  // closed by the service that opened it
  Service(text + "]}");
  set = Open();
  const auto started = std::chrono::steady_clock::now();
  std::set<std::uint32_t> parents;
  for (std::uint32_t devInst = 1; devInst <= kCount; ++devInst)
    parents.insert(parentOf(devInst).value_or(0));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(parents.size(), kCount);
  EXPECT_EQ(parents.count(0), 0u);
  EXPECT_EQ(idOf(parentOf(kCount).value_or(0)), "ACPI\\GONE\\" + std::to_string(kCount - 1));
}

TEST_F(DeviceFileTest, AFailedOpenGivesItsCode) {
  const std::pair<std::string, std::uint32_t> injected[] = {
      {R"({"openError": 5, "devices": [{}]})", 5},
      {R"({"openError": -536870389})", 0xE000020B},
      {R"({"openError": "0xE0000219"})", 0xE0000219}};
  for (const auto& [text, code] : injected) {
    Service(text);
    EXPECT_EQ(service_->SetupDiGetClassDevsA(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES),
              nullptr);
    EXPECT_EQ(service_->GetLastError(), code) << text;
  }
  EXPECT_TRUE(diagnostics_.str().empty()) << "an injected failure is no broken file";

  // A file that cannot be read says why, after its path.
  WriteText(dir_ / "plain", "{}");
  const std::pair<fs::path, std::uint32_t> unreadable[] = {
      {dir_ / "missing.json", error::kFileNotFound},
#ifndef _WIN32
      {dir_ / "plain" / "devices.json", error::kPathNotFound},
      {dir_, error::kAccessDenied},
#endif
  };
  for (const auto& [path, code] : unreadable) {
    diagnostics_.str("");
    service_ = MakeDeviceFileService(path.string(), diagnostics_);
    EXPECT_FALSE(Open()) << path;
    EXPECT_EQ(service_->GetLastError(), code) << path;
    const auto lines = DiagnosticLines();
    ASSERT_EQ(lines.size(), 1u) << diagnostics_.str();
    EXPECT_EQ(lines[0].rfind(path.string() + ": ", 0), 0u) << lines[0];
  }
}

TEST_F(DeviceFileTest, InjectedFailuresReportTheirCodes) {
  Service(R"({"devices": [{
    "instanceId": "ROOT\\X\\0", "friendlyName": "F", "description": "D", "devInst": 7,
    "fail": {"instanceId": 13, "friendlyName": 5, "description": "0x1F", "status": 26,
             "setFriendlyName": 5, "setClassInstallParams": 0, "callClassInstaller": -536870389}
  }]})");
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  ASSERT_EQ(members.size(), 1u);
  SP_DEVINFO_DATA& data = members[0];
  EXPECT_EQ(InstanceId(set, data), "error 13");
  EXPECT_EQ(Property(set, data, SPDRP_FRIENDLYNAME), "error 5");
  EXPECT_EQ(Property(set, data, SPDRP_DEVICEDESC), "error 31");
  EXPECT_EQ(Status(7), "CR 26");
  EXPECT_EQ(SetFriendlyName(set, data, "Name"), 5u);
  // Fails with code 0, as some systems' stubs do.
  SP_PROPCHANGE_PARAMS params{{8, DIF_PROPERTYCHANGE}, DICS_DISABLE, DICS_FLAG_GLOBAL, 0};
  EXPECT_FALSE(
      service_->SetupDiSetClassInstallParamsA(set.get(), &data, &params.ClassInstallHeader, 20));
  EXPECT_EQ(service_->GetLastError(), 0u);
  EXPECT_FALSE(service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data));
  EXPECT_EQ(service_->GetLastError(), 0xE000020Bu);
  EXPECT_EQ(ReadText(path_).find("\"problem\""), std::string::npos) << "nothing was written";
  ExpectReadersAgree(ReadText(path_));
}

// Texts must fit the buffer. The display name falls back from the friendly
// name to the description to "Unknown"; an unreadable instance ID gives none.
TEST_F(DeviceFileTest, TextsFitTheBufferAndDisplayNamesFallBackInOrder) {
  const std::string longest(259, 'n');
  Service(R"({"devices": [
    {"instanceId": "ROOT\\A\\0", "friendlyName": "Friendly", "description": ")" +
          longest + R"("},
    {"description": "Described"},
    {},
    {"friendlyName": "Friendly", "description": "Described", "fail": {"friendlyName": 5}},
    {"friendlyName": ")" +
          longest + R"(n", "description": "Short"},
    {"friendlyName": "", "description": "Described"},
    {"friendlyName": "Friendly", "fail": {"instanceId": 13}}
  ]})");
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  const std::vector<std::string> expected = {"Friendly", "Described", "Unknown", "Described",
                                             "Short",    "",          ""};
  ASSERT_EQ(members.size(), expected.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    std::string name = "stale";
    const DisplayNameResult result = ReadDisplayName(*service_, set.get(), members[i], name);
    EXPECT_EQ(name, expected[i]) << i;
    EXPECT_EQ(result, i == 6 ? DisplayNameResult::kInstanceIdFailed : DisplayNameResult::kOk) << i;
  }
  EXPECT_EQ(service_->GetLastError(), 13u) << "the caller reports the instance-ID error";

  EXPECT_EQ(Property(set, members[0], SPDRP_DEVICEDESC), longest);
  EXPECT_EQ(Property(set, members[4], SPDRP_FRIENDLYNAME), "error 122");
  std::array<std::uint8_t, 4> small{};
  std::uint32_t required = 0;
  EXPECT_FALSE(service_->SetupDiGetDeviceRegistryPropertyA(
      set.get(), &members[4], SPDRP_FRIENDLYNAME, nullptr, small.data(), 4, &required));
  EXPECT_EQ(service_->GetLastError(), error::kInsufficientBuffer);
  EXPECT_EQ(required, 261u);
  std::array<char, 10> id{};
  EXPECT_FALSE(
      service_->SetupDiGetDeviceInstanceIdA(set.get(), &members[0], id.data(), 8, &required));
  EXPECT_EQ(service_->GetLastError(), error::kInsufficientBuffer);
  EXPECT_EQ(required, 9u);
  EXPECT_TRUE(
      service_->SetupDiGetDeviceInstanceIdA(set.get(), &members[0], id.data(), 9, &required));
  EXPECT_STREQ(id.data(), "ROOT\\A\\0");
  EXPECT_EQ(Property(set, members[0], 0x1D), "error " + std::to_string(0xE0000209));
}

TEST_F(DeviceFileTest, StateChangesUpdateStatusProblemAndTheFile) {
  const struct {
    std::uint32_t stateChange;
    const char* before;  // "status", problem
    const char* after;
  } rows[] = {
      {DICS_DISABLE, R"("0x0180200A", "problem": 0)", "0x01802402/22"},
      {DICS_ENABLE, R"("0x01802402", "problem": 22)", "0x0180200A/0"},
      {DICS_ENABLE, R"("0x01802400", "problem": 28)", "0x01802008/0"},
      {DICS_STOP, R"("0x0180200A", "problem": 0)", "0x01802002/0"},
      {DICS_START, R"("0x01802002", "problem": 0)", "0x0180200A/0"},
      {DICS_STOP, R"("0x01802402", "problem": 22)", "0x01802402/22"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.stateChange) + " from " + row.before);
    Service(R"({"devices": [{"devInst": 4, "status": )" + std::string(row.before) + "}]}");
    {
      const DeviceInfoSetPtr set = Open();
      auto members = Members(set.get());
      ASSERT_EQ(ChangeState(set, members[0], row.stateChange), 0u);
      EXPECT_EQ(Status(4), row.after) << "the status query sees the change at once";
    }
    NewRun();
    ASSERT_TRUE(Open());
    EXPECT_EQ(Status(4), row.after) << "the file holds the change";
  }
  EXPECT_TRUE(diagnostics_.str().empty()) << diagnostics_.str();
}

// A folder named beyond ASCII in the system's 8-bit encoding, as a path
// comes from the command line: the file is found, changed through its lock
// and temporary file, and read back.
TEST_F(DeviceFileTest, AFolderNamedBeyondAsciiHoldsTheFileAndItsChanges) {
#ifdef _WIN32
  const std::string name = NarrowFromPath(fs::path(L"Ger\u00e4t"));  // the ANSI code page's
  if (name.find('?') != std::string::npos)
    GTEST_SKIP() << "the ANSI code page has no a-umlaut";
#else
  const std::string name = "Ger\xE4t";  // no UTF-8: bytes as they are
#endif
  const std::string folder = NarrowFromPath(dir_) + "/" + name;
  ASSERT_EQ(NarrowFromPath(PathFromNarrow(folder)), folder);
  fs::create_directories(PathFromNarrow(folder));
  const std::string file = folder + "/devices.json";
  WriteText(PathFromNarrow(file), R"({"devices": [{"devInst": 4}]})");
  NewRunOver(file);
  {
    const DeviceInfoSetPtr set = Open();
    ASSERT_TRUE(set) << diagnostics_.str();
    auto members = Members(set.get());
    ASSERT_EQ(ChangeState(set, members[0], DICS_DISABLE), 0u);
  }
  NewRunOver(file);
  ASSERT_TRUE(Open());
  EXPECT_EQ(Status(4), "0x01802402/22");
  EXPECT_TRUE(diagnostics_.str().empty()) << diagnostics_.str();
}

// Keys the format does not know are bounded; the keys a change adds are not
// among them, so a file that opened still opens after the change.
TEST_F(DeviceFileTest, AChangedFileOpensAgainWhateverUnknownKeysItHolds) {
  std::string keys;
  for (int i = 0; i < 16; ++i)
    keys += "\"k" + std::to_string(i) + "\": null, ";
  Service(R"({"devices": [{)" + keys + R"("devInst": 4}]})");
  {
    const DeviceInfoSetPtr set = Open();
    auto members = Members(set.get());
    ASSERT_EQ(ChangeState(set, members[0], DICS_DISABLE), 0u);
    ASSERT_EQ(SetFriendlyName(set, members[0], "Renamed"), 0u);
  }
  NewRun();
  const DeviceInfoSetPtr set = Open();
  ASSERT_TRUE(set) << diagnostics_.str();
  auto members = Members(set.get());
  EXPECT_EQ(Property(set, members[0], SPDRP_FRIENDLYNAME), "Renamed");
  EXPECT_EQ(Status(4), "0x01802402/22");
}

// A change rewrites the file as it is now, with the key order and number
// forms its writer chose.
TEST_F(DeviceFileTest, ChangesKeepEditsMadeMeanwhileKeyOrderAndNumberForms) {
  Service(R"({"devices": [{"instanceId": "ROOT\\A\\0"}, {"instanceId": "ROOT\\B\\0"}]})");
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  WriteText(path_, R"({"devices": [
      {"problem": 0, "status": 25174026, "instanceId": "ROOT\\A\\0", "description": "Disk"},
      {"instanceId": "ROOT\\B\\0", "friendlyName": "Renamed elsewhere", "status": "0x0180200A"},
      {"instanceId": "ROOT\\C\\0"}], "openError": 0})");
  ASSERT_EQ(ChangeState(set, members[0], DICS_DISABLE), 0u);
  ASSERT_EQ(ChangeState(set, members[1], DICS_DISABLE), 0u);
  const std::string text = ReadText(path_);
  EXPECT_LT(text.find("\"problem\": 22"), text.find("\"status\": 25175042")) << text;
  EXPECT_LT(text.find("\"status\": 25175042"), text.find("\"instanceId\""));
  EXPECT_LT(text.find("\"devices\""), text.find("\"openError\""));
  EXPECT_NE(text.find("\"status\": \"0x01802402\""), std::string::npos);
  EXPECT_NE(text.find("Renamed elsewhere"), std::string::npos);
  EXPECT_NE(text.find("ROOT\\\\C\\\\0"), std::string::npos);
}

TEST_F(DeviceFileTest, ClassInstallParamsAreChecked) {
  Service(R"({"devices": [{}]})");
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  SP_DEVINFO_DATA& data = members[0];
  EXPECT_FALSE(service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data));
  EXPECT_EQ(service_->GetLastError(), kNoClassInstallParams);

  const struct {
    SP_PROPCHANGE_PARAMS params;
    std::uint32_t size;
    std::uint32_t error;
  } rows[] = {
      {{{0, DIF_PROPERTYCHANGE}, DICS_DISABLE, 1, 0}, 20, error::kInvalidUserBuffer},
      {{{8, 0x11}, DICS_DISABLE, 1, 0}, 20, error::kInvalidParameter},
      {{{8, DIF_PROPERTYCHANGE}, DICS_DISABLE, 1, 0}, 16, error::kInvalidParameter},
      {{{8, DIF_PROPERTYCHANGE}, 3, 1, 0}, 20, error::kInvalidParameter},
      {{{8, DIF_PROPERTYCHANGE}, 0, 1, 0}, 20, error::kInvalidParameter},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(service_->SetupDiSetClassInstallParamsA(set.get(), &data,
                                                         &row.params.ClassInstallHeader, row.size));
    EXPECT_EQ(service_->GetLastError(), row.error);
  }
  EXPECT_FALSE(service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data))
      << "refused parameters are not stored";
  EXPECT_EQ(service_->GetLastError(), kNoClassInstallParams);

  // Parameters belong to the set: another set of the same node has none.
  SP_PROPCHANGE_PARAMS params{{8, DIF_PROPERTYCHANGE}, DICS_DISABLE, 1, 0};
  ASSERT_TRUE(
      service_->SetupDiSetClassInstallParamsA(set.get(), &data, &params.ClassInstallHeader, 20));
  const DeviceInfoSetPtr other = Open();
  auto otherMembers = Members(other.get());
  EXPECT_FALSE(
      service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, other.get(), &otherMembers[0]));
  EXPECT_TRUE(service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data));
  EXPECT_EQ(Status(1), "0x01802402/22");
}

TEST_F(DeviceFileTest, FriendlyNamesAreStoredAsGivenUnlessTheyCouldNotBeReadBack) {
  const std::string original = R"({"devices": [{"instanceId": "ROOT\\A\\0", "description": "Disk"},
                          {"instanceId": "ROOT\\B\\0", "friendlyName": "B"}]})";
  Service(original);
  DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  // Too long to read back, a forged report line, an escape sequence, bytes
  // that JSON text cannot hold: refused, never altered.
  for (const std::string& name :
       {std::string(260, 'n'), std::string("Disk\nFake: 0x0180200A(enabled)"),
        std::string("\x1B[2J"), std::string("tab\t"), std::string("\xFF\xFE")}) {
    EXPECT_EQ(SetFriendlyName(set, members[0], name), error::kInvalidParameter) << name;
  }
  EXPECT_EQ(ReadText(path_), original);

  ASSERT_EQ(SetFriendlyName(set, members[0], "Backup disk \xC3\xA4"), 0u);
  // The count is what counts: bytes after it are not part of the text.
  const char bytes[] = "SpareXXXX";
  ASSERT_TRUE(service_->SetupDiSetDeviceRegistryPropertyA(
      set.get(), &members[1], SPDRP_FRIENDLYNAME, reinterpret_cast<const std::uint8_t*>(bytes), 5));
  EXPECT_EQ(Property(set, members[1], SPDRP_FRIENDLYNAME), "Spare");
  ASSERT_EQ(SetFriendlyName(set, members[1], std::string(259, 'n')), 0u);
  ASSERT_EQ(SetFriendlyName(set, members[1], ""), 0u);

  set.reset();
  NewRun();
  const DeviceInfoSetPtr again = Open();
  const auto againMembers = Members(again.get());
  EXPECT_EQ(Property(again, againMembers[0], SPDRP_FRIENDLYNAME), "Backup disk \xC3\xA4");
  EXPECT_EQ(Property(again, againMembers[0], SPDRP_DEVICEDESC), "Disk");
  EXPECT_EQ(Property(again, againMembers[1], SPDRP_FRIENDLYNAME), "");
}

// The file is rewritten by someone else between the open and the change.
TEST_F(DeviceFileTest, AChangeFailsAndWritesNothingWhenTheFileNoLongerAllowsIt) {
  const std::pair<std::string, std::uint32_t> rows[] = {
      {R"({"devices": [{"instanceId": "ROOT\\B\\0"},
                       {"instanceId": "ROOT\\A\\0", "present": false}]})",
       error::kNoSuchDevinst},
      {R"({"devices": [{"instanceId": "ROOT\\B\\0"}]})", error::kNoSuchDevinst},
      {"{\"devices\": [\n{,}]}", error::kInvalidData},
  };
  for (const auto& [meanwhile, code] : rows) {
    SCOPED_TRACE(meanwhile);
    diagnostics_.str("");
    Service(R"({"devices": [{"instanceId": "ROOT\\A\\0"}, {"instanceId": "ROOT\\B\\0"}]})");
    const DeviceInfoSetPtr set = Open();
    auto members = Members(set.get());
    WriteText(path_, meanwhile);
    EXPECT_EQ(ChangeState(set, members[0], DICS_DISABLE), code);
    EXPECT_EQ(SetFriendlyName(set, members[0], "X"), code);
    EXPECT_EQ(ReadText(path_), meanwhile);
    EXPECT_EQ(DiagnosticLines().size(), code == error::kInvalidData ? 2u : 0u);
    EXPECT_EQ(Status(1), "0x0180200A/0") << "the last good reading stays";
  }
}

// Whatever a file holds, reading it ends in a set or in error 13 with one
// short line that says where and why, never in an exception, and within
// memory near the file's size.
TEST_F(DeviceFileTest, HostileFilesFailWithOneShortLine) {
  std::string emptyMembers = R"({"devices": [)";
  for (std::size_t i = 0; i <= devicefile::kMaxMembers; ++i)
    emptyMembers += "{},";
  emptyMembers.back() = ']';
  emptyMembers += '}';
  const std::pair<std::string, const char*> rows[] = {
      {R"({"devices": [{"status": 1e400}]})", "number overflow parsing '1e400'"},
      {R"({"devices": [{"status": 1)" + std::string(1000000, '0') + "}]}", "number overflow"},
      {std::string(100000, '['), "nested deeper"},
      {R"({"devices": [{")" + std::string(5000000, 'k') + R"(": 1}]})", "kkk...: unknown key"},
      {R"({"devices": [{"\u001b[2J\n": 1}]})", "devices[0].\\x1B[2J\\n: unknown key"},
      {R"({"devices": [{"instanceId": "A\n\u001b]0;x"}, {"instanceId": "a\n\u001b]0;x"}]})",
       "devices[1]: instance ID \"a\\n\\x1B]0;x\" is also used by devices[0]"},
      {std::string("{\"devices\": []}\0{", 17), "NUL"},
      {std::string("{\"devices\": [\0]}", 16), "NUL"},
      {emptyMembers, "devices: more than 200000 devices"},
  };
  for (const auto& [text, reason] : rows) {
    SCOPED_TRACE(reason);
    diagnostics_.str("");
    Service(text);
    EXPECT_FALSE(Open());
    EXPECT_EQ(service_->GetLastError(), error::kInvalidData);
    const auto lines = DiagnosticLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(path_.string() + ":1: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
    EXPECT_LT(lines[0].size(), path_.string().size() + 120) << lines[0];
    EXPECT_FALSE(HasControlCharacter(lines[0])) << lines[0];
    devicefile::Model model;
    EXPECT_FALSE(devicefile::ParseDeviceFileQuickly(text, model)) << "the readers agree";
  }
}

#ifndef _WIN32

// A FIFO would block the open, a device never end, a huge file fill the
// memory: each fails at once with error 13 and says why.
TEST_F(DeviceFileTest, OnlyRegularFilesOfBoundedSizeAreRead) {
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  WriteText(dir_ / "huge.json", "");
  fs::resize_file(dir_ / "huge.json", devicefile::kMaxDeviceFileSize + 1);  // sparse
  const std::pair<fs::path, const char*> rows[] = {
      {dir_ / "fifo", "a FIFO"},
      {"/dev/zero", "a character device"},
      {dir_ / "huge.json", "at most 256 MiB"},
  };
  for (const auto& [path, reason] : rows) {
    SCOPED_TRACE(path);
    diagnostics_.str("");
    service_ = MakeDeviceFileService(path.string(), diagnostics_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Open());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(service_->GetLastError(), error::kInvalidData);
    EXPECT_NE(diagnostics_.str().find(reason), std::string::npos) << diagnostics_.str();
  }
}

// No write permission at all means "leave it", also to root, whom the
// permission bits do not stop.
TEST_F(DeviceFileTest, AFileWithoutWritePermissionIsKeptWhoeverRuns) {
  const std::string original = R"({"devices": [{"friendlyName": "Before", "devInst": 9}]})";
  for (const mode_t mode : {0444, 0400, 0}) {
    SCOPED_TRACE(mode);
    Service(original);
    ASSERT_EQ(::chmod(path_.c_str(), mode), 0);
    const DeviceInfoSetPtr set = Open();
    auto members = Members(set.get());
    EXPECT_EQ(ChangeState(set, members[0], DICS_DISABLE), error::kAccessDenied);
    EXPECT_EQ(SetFriendlyName(set, members[0], "After"), error::kAccessDenied);
    ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
    EXPECT_EQ(ReadText(path_), original);
  }
}

// Two processes, each counting one device's name up: every change that
// reported success is still there at the end.
TEST_F(DeviceFileTest, TwoProcessesChangingOneFileLoseNoChange) {
  constexpr int kChanges = 200;
  Service(R"({"devices": [{"instanceId": "ROOT\\A\\0", "friendlyName": "0"},
                          {"instanceId": "ROOT\\B\\0", "friendlyName": "0"}]})");
  service_.reset();
  std::vector<pid_t> children;
  for (const std::size_t mine : {0u, 1u}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child > 0) {
      children.push_back(child);
      continue;
    }
    std::ostringstream ignored;
    service_ = MakeDeviceFileService(path_.string(), ignored);
    int failed = 0;
    for (int i = 0; i < kChanges; ++i) {
      const DeviceInfoSetPtr set = Open();
      auto members = Members(set.get());
      const long count =
          std::strtol(Property(set, members[mine], SPDRP_FRIENDLYNAME).c_str(), nullptr, 10);
      failed += SetFriendlyName(set, members[mine], std::to_string(count + 1)) != 0;
    }
    std::_Exit(failed == 0 ? 0 : 1);
  }
  for (const pid_t child : children) {
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a change failed";
  }
  NewRun();
  const DeviceInfoSetPtr set = Open();
  const auto members = Members(set.get());
  ASSERT_EQ(members.size(), 2u);
  for (const SP_DEVINFO_DATA& member : members)
    EXPECT_EQ(Property(set, member, SPDRP_FRIENDLYNAME), std::to_string(kChanges));
}

// A change killed before its rename leaves a temporary file; the next change
// removes such files, and nothing else.
TEST_F(DeviceFileTest, AChangeRemovesOnlyTheLeftoversOfKilledChanges) {
  Service(R"({"devices": [{}]})");
  const fs::path leftovers[] = {dir_ / ".devices.json.tmp-a1B2c3",
                                dir_ / ".devices.json.tmp-4242-0"};
  const fs::path kept[] = {dir_ / ".devices.json.backup", dir_ / ".devices.json.tmp-",
                           dir_ / ".other.json.tmp-a1B2c3", dir_ / "devices.json.tmp-a1B2c3",
                           dir_ / ".devices.json.tmp-my~copy"};
  for (const fs::path& path : leftovers)
    WriteText(path, "{\"devices\": [");
  for (const fs::path& path : kept)
    WriteText(path, "mine");
  fs::create_directory(dir_ / ".devices.json.tmp-folder");
  fs::create_symlink(kept[0], dir_ / ".devices.json.tmp-link12");
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  ASSERT_EQ(SetFriendlyName(set, members[0], "Renamed"), 0u);
  for (const fs::path& path : leftovers)
    EXPECT_FALSE(fs::exists(path)) << path;
  for (const fs::path& path : kept)
    EXPECT_EQ(ReadText(path), "mine") << path;
  EXPECT_TRUE(fs::is_directory(dir_ / ".devices.json.tmp-folder"));
  EXPECT_TRUE(fs::is_symlink(dir_ / ".devices.json.tmp-link12"));
}

// Root writes through any permission, so the file size limit stands in for
// a disk that refuses the write: it fails even for root.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

// Root passes permission checks through its capabilities. Sets them aside for
// the calling thread while this lives, so that permission bits apply; they
// stay permitted and come back afterwards.
class WithoutPermissionOverrides {
 public:
  WithoutPermissionOverrides() {
    if (::syscall(SYS_capget, &header_, saved_.data()) != 0)
      return;
    auto reduced = saved_;
    for (const unsigned capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
      reduced[capability / 32].effective &= ~(1u << (capability % 32));
    }
    active_ = ::syscall(SYS_capset, &header_, reduced.data()) == 0;
  }
  WithoutPermissionOverrides(const WithoutPermissionOverrides&) = delete;
  WithoutPermissionOverrides& operator=(const WithoutPermissionOverrides&) = delete;
  ~WithoutPermissionOverrides() {
    if (active_)
      ::syscall(SYS_capset, &header_, saved_.data());
  }
  bool active() const { return active_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, 2> saved_{};
  bool active_ = false;
};

enum class WriteBlock { kDiskRefuses, kReadOnlyDirectory, kReadOnlyFile };

class FailedWriteTest : public DeviceFileTest, public ::testing::WithParamInterface<WriteBlock> {};

TEST_P(FailedWriteTest, ChangesNeitherTheFileNorTheState) {
  const WriteBlock block = GetParam();
  const std::string original = R"({"devices": [{"friendlyName": "Before", "devInst": 9}]})";
  Service(original);
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  if (block != WriteBlock::kDiskRefuses) {
    const bool directory = block == WriteBlock::kReadOnlyDirectory;
    ASSERT_EQ(::chmod(directory ? dir_.c_str() : path_.c_str(), directory ? 0500 : 0444), 0);
  }
  std::uint32_t stateError = 0;
  std::uint32_t nameError = 0;
  {
    std::optional<FileSizeLimit> limit;
    std::optional<WithoutPermissionOverrides> asUser;
    if (block == WriteBlock::kDiskRefuses) {
      limit.emplace(16);
    } else if (!asUser.emplace().active() && ::geteuid() == 0) {
      GTEST_SKIP() << "cannot set root's capabilities aside";
    }
    stateError = ChangeState(set, members[0], DICS_DISABLE);
    nameError = SetFriendlyName(set, members[0], "After");
  }
  const std::uint32_t code = block == WriteBlock::kDiskRefuses ? 223u  // ERROR_FILE_TOO_LARGE
                                                               : error::kAccessDenied;
  EXPECT_EQ(stateError, code);
  EXPECT_EQ(nameError, code);
  EXPECT_EQ(ReadText(path_), original);
  EXPECT_EQ(Status(9), "0x0180200A/0");
  EXPECT_EQ(Property(set, members[0], SPDRP_FRIENDLYNAME), "Before");
  EXPECT_EQ(DirectoryEntries(), std::vector<fs::path>{path_}) << "no temporary file is left";
  const auto lines = DiagnosticLines();
  ASSERT_EQ(lines.size(), 2u) << diagnostics_.str();
  if (code == error::kAccessDenied) {
    EXPECT_NE(lines[0].find("Permission denied"), std::string::npos) << lines[0];
  }
}

std::string BlockName(const ::testing::TestParamInfo<WriteBlock>& row) {
  return std::array{"DiskRefuses", "ReadOnlyDirectory",
                    "ReadOnlyFile"}[static_cast<int>(row.param)];
}

INSTANTIATE_TEST_SUITE_P(DeviceFile, FailedWriteTest,
                         ::testing::Values(WriteBlock::kDiskRefuses, WriteBlock::kReadOnlyDirectory,
                                           WriteBlock::kReadOnlyFile),
                         BlockName);

TEST_F(DeviceFileTest, WritesGoThroughASymbolicLinkAndKeepPermissions) {
  fs::create_directories(dir_ / "real");
  const fs::path target = dir_ / "real" / "machine.json";
  WriteText(target, R"({"devices": [{"friendlyName": "Old"}]})");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  fs::create_symlink(fs::path("real") / "machine.json", path_);
  NewRun();
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  ASSERT_EQ(SetFriendlyName(set, members[0], "New"), 0u);
  EXPECT_EQ(fs::read_symlink(path_), fs::path("real") / "machine.json");
  EXPECT_NE(ReadText(target).find("\"New\""), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "real"), fs::directory_iterator{}), 1);
}

TEST(DeviceFileStore, ErrnoValuesMapToWindowsCodes) {
  const std::pair<int, std::uint32_t> rows[] = {
      {ENOENT, error::kFileNotFound},
      {ENOTDIR, error::kPathNotFound},
      {EACCES, error::kAccessDenied},
      {EPERM, error::kAccessDenied},
      {EROFS, 19},
      {ENOSPC, 112},
      {EIO, error::kGenFailure},
  };
  for (const auto& [errnoValue, code] : rows)
    EXPECT_EQ(devicefile::ErrorFromErrno(errnoValue), code) << errnoValue;
}

#endif

TEST_F(DeviceFileTest, TheExampleOfficePcLoads) {
  service_ = MakeDeviceFileService(QUILLON_EXAMPLES_DIR "/office-pc.json", diagnostics_);
  const DeviceInfoSetPtr set = Open();
  ASSERT_TRUE(set) << diagnostics_.str();
  const auto members = Members(set.get());
  EXPECT_GE(members.size(), 30u);

  std::map<std::string, int> names;
  std::set<std::string> classes;
  std::map<std::string, int> kinds;  // description only, unnamed, disabled, failed install
  for (const SP_DEVINFO_DATA& data : members) {
    std::string name;
    ASSERT_EQ(ReadDisplayName(*service_, set.get(), data, name), DisplayNameResult::kOk);
    ++names[name];
    classes.insert(FormatGuid(data.ClassGuid));
    const bool friendly = Property(set, data, SPDRP_FRIENDLYNAME).rfind("error ", 0) != 0;
    const bool described = Property(set, data, SPDRP_DEVICEDESC).rfind("error ", 0) != 0;
    kinds["description only"] += !friendly && described;
    kinds["unnamed"] += !friendly && !described;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    ASSERT_EQ(service_->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), CR_SUCCESS);
    if (problem == CM_PROB_DISABLED) {
      ++kinds["disabled"];
      EXPECT_EQ(status & (DN_HAS_PROBLEM | DN_STARTED), DN_HAS_PROBLEM);
    }
    kinds["failed install"] += problem == CM_PROB_FAILED_INSTALL;
    if (&data == &members.front()) {
      EXPECT_EQ(FormatHex8(status & DN_STARTED) + "/" + std::to_string(problem),
                FormatHex8(DN_STARTED) + "/0")
          << "the first device works";
    }
  }
  EXPECT_EQ(kinds["disabled"], 1);
  EXPECT_EQ(kinds["failed install"], 1);
  EXPECT_GE(kinds["description only"], 1);
  EXPECT_EQ(kinds["unnamed"], 1);
  EXPECT_EQ(names["Unknown"], 1);
  EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const auto& e) { return e.second == 2; }))
      << "two devices share a name";
  EXPECT_GE(classes.size(), 12u);
  EXPECT_TRUE(diagnostics_.str().empty());
  ExpectReadersAgree(ReadText(QUILLON_EXAMPLES_DIR "/office-pc.json"));
}

}  // namespace
}  // namespace quillon::devices
