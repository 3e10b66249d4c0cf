#include "DeviceFileService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceFileModel.h"
#include "DeviceFileStore.h"
#include "DeviceText.h"

#ifndef _WIN32
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <csignal>
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

  DeviceInfoSetPtr Open(const char* enumerator = nullptr) {
    return OpenPresentDevices(*service_, enumerator);
  }

  std::vector<SP_DEVINFO_DATA> Members(HDEVINFO set) {
    std::vector<SP_DEVINFO_DATA> members;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    while (
        service_->SetupDiEnumDeviceInfo(set, static_cast<std::uint32_t>(members.size()), &data)) {
      members.push_back(data);
    }
    EXPECT_EQ(service_->GetLastError(), error::kNoMoreItems);
    return members;
  }

  std::vector<std::string> InstanceIds(const char* enumerator) {
    const DeviceInfoSetPtr set = Open(enumerator);
    std::vector<std::string> ids;
    for (const SP_DEVINFO_DATA& data : Members(set.get()))
      ids.push_back(InstanceId(set, data));
    return ids;
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

// Present members as "instance ID|friendly name|description|class|handle|status/problem".
struct ReadRow {
  std::string text;
  std::vector<std::string> members;
  bool quick;  // an ordinary file, read without a document
  std::vector<std::uint32_t> noStatus = {};
};

TEST_F(DeviceFileTest, FilesReadAsWrittenWithDefaultsForWhatIsLeftOut) {
  const std::string none = "{00000000-0000-0000-0000-000000000000}";
  const std::string started = "0x0180200A/0";
  const ReadRow rows[] = {
      {"{}", {}, true},
      {R"({"devices": []})", {}, true},
      {R"({"openError": 0, "devices": null})", {}, true},
      {R"({"devices": [{}, {}]})",
       {"ROOT\\UNKNOWN\\0|error 13|error 13|" + none + "|1|" + started,
        "ROOT\\UNKNOWN\\1|error 13|error 13|" + none + "|2|" + started},
       true},
      {R"({"devices": [
         {"instanceId": "PCI\\VEN_8086&DEV_15B8\\3&11583659&0&FE", "friendlyName": "Uplink",
          "description": "Ethernet", "classGuid": "{4d36e972-e325-11ce-bfc1-08002be10318}",
          "devInst": "0x80000001", "status": 25174026, "problem": "0X1C"},
         {"devInst": -2, "status": "0x0", "problem": 4294967295}]})",
       {"PCI\\VEN_8086&DEV_15B8\\3&11583659&0&FE|Uplink|Ethernet|"
        "{4D36E972-E325-11CE-BFC1-08002BE10318}|-2147483647|0x0180200A/28",
        "ROOT\\UNKNOWN\\1|error 13|error 13|" + none + "|-2|0x00000000/4294967295"},
       true},
      // File order; absent members are left out, have no status and may share a handle.
      {R"({"devices": [{"instanceId": "ROOT\\C\\0"},
         {"instanceId": "ROOT\\GONE\\0", "present": false, "devInst": 5},
         {"instanceId": "ROOT\\A\\0", "devInst": 2}, {"instanceId": "ROOT\\B\\0", "present": true},
         {"present": false}]})",
       {"ROOT\\C\\0|error 13|error 13|" + none + "|1|" + started,
        "ROOT\\A\\0|error 13|error 13|" + none + "|2|" + started,
        "ROOT\\B\\0|error 13|error 13|" + none + "|4|" + started},
       true,
       {5}},
      {R"({"devices": [{"instanceId": null, "friendlyName": null, "description": null,
         "classGuid": null, "devInst": null, "status": null, "problem": null, "present": null,
         "fail": null}], "openError": null})",
       {"ROOT\\UNKNOWN\\0|error 13|error 13|" + none + "|1|" + started},
       true},
      {R"({"devices": [{"fail": {}, "st\u0061tus": "0x1", "friendlyName": "\u00e4\ud83d\ude00"}]})",
       {"ROOT\\UNKNOWN\\0|\xC3\xA4\xF0\x9F\x98\x80|error 13|" + none + "|1|0x00000001/0"},
       true},
      // Unusual but accepted: read through the document.
      {R"({"devices": [{"note": null}]})",
       {"ROOT\\UNKNOWN\\0|error 13|error 13|" + none + "|1|" + started},
       false},
      {R"({"devices": [{"status": 1, "st\u0061tus": 2}]})",
       {"ROOT\\UNKNOWN\\0|error 13|error 13|" + none + "|1|0x00000002/0"},
       false},
  };
  for (const ReadRow& row : rows) {
    SCOPED_TRACE(row.text);
    Service(row.text);
    const DeviceInfoSetPtr set = Open();
    ASSERT_TRUE(set) << diagnostics_.str();
    std::vector<std::string> members;
    for (const SP_DEVINFO_DATA& data : Members(set.get())) {
      members.push_back(InstanceId(set, data) + "|" + Property(set, data, SPDRP_FRIENDLYNAME) +
                        "|" + Property(set, data, SPDRP_DEVICEDESC) + "|" +
                        FormatGuid(data.ClassGuid) + "|" + FormatSigned(data.DevInst) + "|" +
                        Status(data.DevInst));
    }
    EXPECT_EQ(members, row.members);
    for (const std::uint32_t devInst : row.noStatus)
      EXPECT_EQ(Status(devInst), "CR " + std::to_string(kCrNoSuchDevinst)) << devInst;

    ExpectReadersAgree(row.text, row.quick);
  }
  EXPECT_TRUE(diagnostics_.str().empty()) << diagnostics_.str();
}

TEST_F(DeviceFileTest, EnumeratorFilterComparesTheTextBeforeTheFirstBackslash) {
  Service(R"({"devices": [
    {"instanceId": "PCI\\VEN_8086&DEV_A370\\3&11583659&0&A0"},
    {"instanceId": "USB\\VID_046D&PID_C077\\5&2A0B2A9&0&1"},
    {"instanceId": "pci\\VEN_10DE&DEV_1C82\\4&1F4E5F23&0&0008"},
    {"instanceId": "PCIX\\VEN_1\\0"},
    {"instanceId": "HTREE"}
  ]})");
  const std::map<std::string, std::vector<std::string>> expected = {
      {"PCI",
       {"PCI\\VEN_8086&DEV_A370\\3&11583659&0&A0", "pci\\VEN_10DE&DEV_1C82\\4&1F4E5F23&0&0008"}},
      {"usb", {"USB\\VID_046D&PID_C077\\5&2A0B2A9&0&1"}},
      {"htree", {"HTREE"}},
      {"PC", {}},
      {"ACPI", {}},
  };
  for (const auto& [enumerator, ids] : expected) {
    EXPECT_EQ(InstanceIds(enumerator.c_str()), ids) << enumerator;
  }
  EXPECT_EQ(InstanceIds("").size(), 5u) << "an empty enumerator means all";
}

TEST_F(DeviceFileTest, EnumerationChecksTheRecordSizeAndTheHandle) {
  Service(R"({"devices": [{}]})");
  const DeviceInfoSetPtr set = Open();
  for (const std::uint32_t size : {0u, 28u, std::uint32_t{sizeof(SP_DEVINFO_DATA) + 4}}) {
    SP_DEVINFO_DATA data{};
    data.cbSize = size;
    if (size == sizeof(SP_DEVINFO_DATA))
      continue;  // 28 is the right size on 32-bit only
    EXPECT_FALSE(service_->SetupDiEnumDeviceInfo(set.get(), 0, &data));
    EXPECT_EQ(service_->GetLastError(), error::kInvalidUserBuffer) << size;
  }
  SP_DEVINFO_DATA data{};
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
  EXPECT_EQ(Property(second, secondMembers[0], SPDRP_FRIENDLYNAME), "Newer");
}

TEST_F(DeviceFileTest, OpenErrorFailsTheOpenWithItsCode) {
  for (const auto& [text, code] : std::vector<std::pair<std::string, std::uint32_t>>{
           {R"({"openError": 5, "devices": [{}]})", 5},
           {R"({"openError": -536870389})", 0xE000020B},
           {R"({"openError": "0xE0000219"})", 0xE0000219}}) {
    Service(text);
    EXPECT_EQ(service_->SetupDiGetClassDevsA(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES),
              nullptr);
    EXPECT_EQ(service_->GetLastError(), code) << text;
  }
  EXPECT_TRUE(diagnostics_.str().empty()) << "an injected failure is no broken file";
}

TEST_F(DeviceFileTest, AFileThatCannotBeReadFailsTheOpenAndSaysWhy) {
  struct Row {
    fs::path path;
    std::uint32_t code;
  };
  WriteText(dir_ / "plain", "{}");
  const Row rows[] = {
      {dir_ / "missing.json", error::kFileNotFound},
#ifndef _WIN32
      {dir_ / "plain" / "devices.json", error::kPathNotFound},
      {dir_, error::kAccessDenied},
#endif
  };
  for (const Row& row : rows) {
    diagnostics_.str("");
    service_ = MakeDeviceFileService(row.path.string(), diagnostics_);
    EXPECT_FALSE(Open()) << row.path;
    EXPECT_EQ(service_->GetLastError(), row.code) << row.path;
    const auto lines = DiagnosticLines();
    ASSERT_EQ(lines.size(), 1u) << diagnostics_.str();
    EXPECT_EQ(lines[0].rfind(row.path.string() + ": ", 0), 0u) << lines[0];
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

TEST_F(DeviceFileTest, TextsMustFitTheBuffer) {
  const std::string longest(259, 'n');
  Service(R"({"devices": [{"instanceId": "ROOT\\A\\0", "friendlyName": ")" + longest +
          R"(", "description": ")" + longest + R"(x"}]})");
  const DeviceInfoSetPtr set = Open();
  const auto members = Members(set.get());
  EXPECT_EQ(Property(set, members[0], SPDRP_FRIENDLYNAME), longest);
  EXPECT_EQ(Property(set, members[0], SPDRP_DEVICEDESC), "error 122");

  std::array<std::uint8_t, 4> small{};
  std::uint32_t required = 0;
  EXPECT_FALSE(service_->SetupDiGetDeviceRegistryPropertyA(set.get(), &members[0], SPDRP_DEVICEDESC,
                                                           nullptr, small.data(), 4, &required));
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

struct StateRow {
  std::uint32_t stateChange;
  const char* before;  // status, problem
  std::uint32_t beforeProblem;
  const char* after;
};

TEST_F(DeviceFileTest, StateChangesUpdateStatusProblemAndTheFile) {
  const StateRow rows[] = {
      {DICS_DISABLE, "0x0180200A", 0, "0x01802402/22"},
      {DICS_ENABLE, "0x01802402", 22, "0x0180200A/0"},
      {DICS_ENABLE, "0x01802400", 28, "0x01802008/0"},
      {DICS_STOP, "0x0180200A", 0, "0x01802002/0"},
      {DICS_START, "0x01802002", 0, "0x0180200A/0"},
      {DICS_STOP, "0x01802402", 22, "0x01802402/22"},
  };
  for (const StateRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.stateChange) + " from " + row.before);
    Service(R"({"devices": [{"instanceId": "ROOT\\A\\0", "devInst": 4, "status": ")" +
            std::string(row.before) + R"(", "problem": )" + std::to_string(row.beforeProblem) +
            "}]}");
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

TEST_F(DeviceFileTest, RewriteKeepsKeyOrderAndNumberForms) {
  Service(R"({"devices": [{"problem": 0, "status": 25174026, "instanceId": "ROOT\\A\\0",
                           "description": "Disk"}, {"status": "0x0180200A"}], "openError": 0})");
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  ASSERT_EQ(ChangeState(set, members[0], DICS_DISABLE), 0u);
  ASSERT_EQ(ChangeState(set, members[1], DICS_DISABLE), 0u);
  const std::string text = ReadText(path_);
  EXPECT_LT(text.find("\"problem\": 22"), text.find("\"status\": 25175042"));
  EXPECT_LT(text.find("\"status\": 25175042"), text.find("\"instanceId\""));
  EXPECT_LT(text.find("\"devices\""), text.find("\"openError\""));
  EXPECT_NE(text.find("\"status\": \"0x01802402\""), std::string::npos) << text;
}

TEST_F(DeviceFileTest, ClassInstallParamsAreChecked) {
  Service(R"({"devices": [{}]})");
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  SP_DEVINFO_DATA& data = members[0];
  EXPECT_FALSE(service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &data));
  EXPECT_EQ(service_->GetLastError(), kNoClassInstallParams);

  struct Row {
    SP_PROPCHANGE_PARAMS params;
    std::uint32_t size;
    std::uint32_t error;
  };
  const Row rows[] = {
      {{{0, DIF_PROPERTYCHANGE}, DICS_DISABLE, 1, 0}, 20, error::kInvalidUserBuffer},
      {{{8, 0x11}, DICS_DISABLE, 1, 0}, 20, error::kInvalidParameter},
      {{{8, DIF_PROPERTYCHANGE}, DICS_DISABLE, 1, 0}, 16, error::kInvalidParameter},
      {{{8, DIF_PROPERTYCHANGE}, 3, 1, 0}, 20, error::kInvalidParameter},
      {{{8, DIF_PROPERTYCHANGE}, 0, 1, 0}, 20, error::kInvalidParameter},
  };
  for (const Row& row : rows) {
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

TEST_F(DeviceFileTest, FriendlyNameIsStoredAsGiven) {
  Service(R"({"devices": [{"instanceId": "ROOT\\A\\0", "description": "Disk drive"},
                          {"instanceId": "ROOT\\B\\0", "friendlyName": "B"}]})");
  DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  ASSERT_EQ(SetFriendlyName(set, members[0], "Backup disk \xC3\xA4"), 0u);
  EXPECT_EQ(Property(set, members[0], SPDRP_FRIENDLYNAME), "Backup disk \xC3\xA4");
  // The count is what counts: bytes after it are not part of the text.
  const char bytes[] = "SpareXXXX";
  ASSERT_TRUE(service_->SetupDiSetDeviceRegistryPropertyA(
      set.get(), &members[1], SPDRP_FRIENDLYNAME, reinterpret_cast<const std::uint8_t*>(bytes), 5));
  EXPECT_EQ(Property(set, members[1], SPDRP_FRIENDLYNAME), "Spare");

  ASSERT_EQ(SetFriendlyName(set, members[1], ""), 0u);
  EXPECT_EQ(Property(set, members[1], SPDRP_FRIENDLYNAME), "");

  set.reset();
  NewRun();
  const DeviceInfoSetPtr again = Open();
  const auto againMembers = Members(again.get());
  EXPECT_EQ(Property(again, againMembers[0], SPDRP_FRIENDLYNAME), "Backup disk \xC3\xA4");
  EXPECT_EQ(Property(again, againMembers[0], SPDRP_DEVICEDESC), "Disk drive");
  EXPECT_EQ(Property(again, againMembers[1], SPDRP_FRIENDLYNAME), "");
}

TEST_F(DeviceFileTest, FriendlyNamesThatCouldNotBeReadBackAreRefused) {
  const std::string original = R"({"devices": [{"friendlyName": "Keep"}]})";
  Service(original);
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  EXPECT_EQ(SetFriendlyName(set, members[0], std::string(260, 'n')), error::kInvalidParameter);
  EXPECT_EQ(SetFriendlyName(set, members[0], "\xFF\xFE"), error::kInvalidData);
  EXPECT_EQ(ReadText(path_), original);
  EXPECT_EQ(SetFriendlyName(set, members[0], std::string(259, 'n')), 0u);
}

TEST_F(DeviceFileTest, ChangesKeepEditsMadeMeanwhileByOthers) {
  Service(R"({"devices": [{"instanceId": "ROOT\\A\\0"}, {"instanceId": "ROOT\\B\\0"}]})");
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  // Another run renames B and adds C after this set was opened.
  WriteText(path_, R"({"devices": [{"instanceId": "ROOT\\A\\0"},
      {"instanceId": "ROOT\\B\\0", "friendlyName": "Renamed elsewhere"},
      {"instanceId": "ROOT\\C\\0"}]})");
  ASSERT_EQ(ChangeState(set, members[0], DICS_DISABLE), 0u);
  const std::string text = ReadText(path_);
  EXPECT_NE(text.find("Renamed elsewhere"), std::string::npos) << text;
  EXPECT_NE(text.find("ROOT\\\\C\\\\0"), std::string::npos) << text;
  EXPECT_NE(text.find("\"problem\": 22"), std::string::npos) << text;
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

#ifndef _WIN32

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

TEST_F(DeviceFileTest, AFailedWriteChangesNeitherTheFileNorTheState) {
  const std::string original =
      R"({"devices": [{"instanceId": "ROOT\\A\\0", "friendlyName": "Before", "devInst": 9}]})";
  Service(original);
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  std::uint32_t stateError = 0;
  std::uint32_t nameError = 0;
  {
    const FileSizeLimit limit(16);
    stateError = ChangeState(set, members[0], DICS_DISABLE);
    nameError = SetFriendlyName(set, members[0], "After");
  }
  EXPECT_EQ(stateError, 223u);  // ERROR_FILE_TOO_LARGE
  EXPECT_EQ(nameError, 223u);
  EXPECT_EQ(ReadText(path_), original);
  EXPECT_EQ(Status(9), "0x0180200A/0");
  EXPECT_EQ(Property(set, members[0], SPDRP_FRIENDLYNAME), "Before");
  EXPECT_EQ(DirectoryEntries(), std::vector<fs::path>{path_}) << "no temporary file is left";
  EXPECT_EQ(DiagnosticLines().size(), 2u) << diagnostics_.str();
}

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

class ReadOnlyTest : public DeviceFileTest, public ::testing::WithParamInterface<bool> {};

// The directory refuses the new file, or the file itself is read-only.
TEST_P(ReadOnlyTest, AChangeIsAccessDenied) {
  const bool readOnlyDirectory = GetParam();
  const std::string original = R"({"devices": [{"friendlyName": "Kept"}]})";
  Service(original);
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  ASSERT_EQ(
      ::chmod(readOnlyDirectory ? dir_.c_str() : path_.c_str(), readOnlyDirectory ? 0500 : 0444),
      0);
  std::uint32_t stateError = 0;
  std::uint32_t nameError = 0;
  {
    const WithoutPermissionOverrides asUser;
    if (::geteuid() == 0 && !asUser.active())
      GTEST_SKIP() << "cannot set root's capabilities aside";
    stateError = ChangeState(set, members[0], DICS_DISABLE);
    nameError = SetFriendlyName(set, members[0], "Changed");
  }
  EXPECT_EQ(stateError, error::kAccessDenied);
  EXPECT_EQ(nameError, error::kAccessDenied);
  EXPECT_EQ(ReadText(path_), original);
  EXPECT_EQ(Status(1), "0x0180200A/0");
  EXPECT_EQ(Property(set, members[0], SPDRP_FRIENDLYNAME), "Kept");
  const auto lines = DiagnosticLines();
  ASSERT_EQ(lines.size(), 2u) << diagnostics_.str();
  EXPECT_NE(lines[0].find("Permission denied"), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(DeviceFile, ReadOnlyTest, ::testing::Values(true, false),
                         [](const auto& row) { return row.param ? "Directory" : "File"; });

TEST_F(DeviceFileTest, WritesGoThroughASymbolicLinkAndKeepPermissions) {
  fs::create_directories(dir_ / "real");
  const fs::path target = dir_ / "real" / "machine.json";
  WriteText(target, R"({"devices": [{"friendlyName": "Old"}]})");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  fs::create_symlink(fs::path("real") / "machine.json", path_);
  service_ = MakeDeviceFileService(path_.string(), diagnostics_);
  const DeviceInfoSetPtr set = Open();
  auto members = Members(set.get());
  ASSERT_EQ(SetFriendlyName(set, members[0], "New"), 0u);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path_)));
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
  for (const auto& [errnoValue, code] : rows) {
    EXPECT_EQ(devicefile::ErrorFromErrno(errnoValue), code) << errnoValue;
  }
}

#endif

// A broken file opens as a failed set with one line of explanation,
// "<file>:<line>: <reason>", and is left as it is.
TEST_F(DeviceFileTest, ABrokenFileFailsTheOpenAndSaysWhereAndWhy) {
  struct Row {
    const char* text;
    std::size_t line;
    const char* reason;  // a part of the explanation
  };
  const Row rows[] = {
      {"", 1, "unexpected end of input"},
      {"{\n  \"devices\": [\n    {},\n  ]\n}\n", 4, "unexpected ']'"},
      {"{\"devices\": [{\"friendlyName\": \"\xFF\"}]}", 1, "UTF-8"},
      {"[]", 1, "expected an object"},
      {"{\n\"device\": []}", 2, "device: unknown key"},
      {"{\"devices\": {}}", 1, "devices: expected an array"},
      {"{\"openError\": true}", 1, "openError"},
      {"{\"devices\": [\n{},\n7]}", 3, "devices[1]: expected an object"},
      {"{\"devices\": [{},\n{\"friendlyname\": \"x\"}]}", 2,
       "devices[1].friendlyname: unknown key"},
      {"{\"devices\": [{\"instanceId\": 5}]}", 1, "instanceId: expected a text"},
      {"{\"devices\": [{\"instanceId\": \"\"}]}", 1, "must not be empty"},
      {"{\"devices\": [{\"classGuid\": \"{4D36E972-E325-11CE-BFC1}\"}]}", 1,
       "classGuid: expected a GUID"},
      {"{\"devices\": [{\"status\": 1.5}]}", 1, "status: expected a 32-bit"},
      {"{\"devices\": [{\"status\": 4294967296}]}", 1, "status"},
      {"{\"devices\": [{\"problem\": -2147483649}]}", 1, "problem"},
      {"{\"devices\": [{\"devInst\": \"12\"}]}", 1, "devInst"},
      {"{\"devices\": [{\"devInst\": \"0x123456789\"}]}", 1, "devInst"},
      {"{\"devices\": [{\"present\": 1}]}", 1, "present: expected true or false"},
      {"{\"devices\": [{\"fail\": [5]}]}", 1, "fail: expected an object"},
      {"{\"devices\": [{\"fail\": {\n\"enable\": 5}}]}", 2,
       "devices[0].fail.enable: unknown operation"},
      {"{\"devices\": [{\"fail\": {\"status\": 0}}]}", 1, "non-zero"},
      {"{\"devices\": [{\"fail\": {\"instanceId\": \"x\"}}]}", 1, "fail.instanceId: expected"},
      {"{\"devices\": [{\n\"status\": 1,\n\"status\": 2}]}", 3, "duplicate key \"status\""},
      {"{\"devices\": [\n{\"instanceId\": \"ROOT\\\\A\\\\0\"},\n"
       "{\"instanceId\": \"root\\\\a\\\\0\", \"present\": false}]}",
       3, "also used by devices[0]"},
      {"{\"devices\": [{\"devInst\": 2},\n{}]}", 2, "devInst 2 is also used"},
      // Values in places the quick reader must not take them.
      {"{\"devices\": [{},\nnull]}", 2, "devices[1]: expected an object"},
      {"{\"devices\": [[]]}", 1, "devices[0]: expected an object"},
      {"{\"devices\": \"0x1\"}", 1, "devices: expected an array"},
      {"{\"openError\": {}}", 1, "openError"},
      {"{\"openError\": 1.0}", 1, "openError"},
      {"{\"openError\": 0, \"devices\": [],\n\"devices\": []}", 2, "duplicate key"},
      {"{\"devices\": [{\"friendlyName\": [\"x\"]}]}", 1, "friendlyName: expected a text"},
      {"{\"devices\": [{\"description\": 5}]}", 1, "description: expected a text"},
      {"{\"devices\": [{\"classGuid\": {}}]}", 1, "classGuid: expected a GUID"},
      {"{\"devices\": [{\"present\": \"true\"}]}", 1, "present: expected true"},
      {"{\"devices\": [{\"problem\": true}]}", 1, "problem: expected a 32-bit"},
      {"{\"devices\": [{\"fail\": {\"status\": null}}]}", 1, "fail.status"},
      {"{\"devices\": [{\"fail\": {\"status\": {}}}]}", 1, "fail.status"},
      {"{\"devices\": [{\"fail\": {\"status\": \"0x0\"}}]}", 1, "non-zero"},
      {"{\"devices\": [{\"fail\": {\"status\": 1,\n\"status\": 2}}]}", 2, "duplicate key"},
      {"{\"devices\": [{\"fail\": {},\n\"fail\": {}}]}", 2, "duplicate key"},
      {"{\"devices\": [{\"fail\": {\"status\": 1}, \"fail\": {}}]}", 1, "duplicate key"},
      {"{\"devices\": [{\"fail\": {\"fail\": 1}}]}", 1, "unknown operation"},
      {"{\"devices\": [{\"instanceId\": \"ROOT\\\\A\"},\n{\"instanceId\": \"root\\\\a\"}]}", 2,
       "also used by devices[0]"},
      {"{\"devices\": [{}]} {}", 1, "syntax error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    diagnostics_.str("");
    Service(row.text);
    EXPECT_FALSE(Open());
    EXPECT_EQ(service_->GetLastError(), error::kInvalidData);
    const auto lines = DiagnosticLines();
    ASSERT_EQ(lines.size(), 1u) << diagnostics_.str();
    const std::string prefix = path_.string() + ":" + std::to_string(row.line) + ": ";
    EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(row.reason), std::string::npos) << lines[0];
    EXPECT_EQ(ReadText(path_), row.text) << "nothing is written";
    devicefile::Model model;
    EXPECT_FALSE(devicefile::ParseDeviceFileQuickly(row.text, model))
        << "the quick reader refuses it";
  }
}

// The display name falls back from the friendly name to the description to
// "Unknown"; an unreadable instance ID gives no name at all.
TEST_F(DeviceFileTest, DisplayNameFallsBackInOrder) {
  Service(R"({"devices": [
    {"friendlyName": "Friendly", "description": "Described"},
    {"description": "Described"},
    {},
    {"friendlyName": "Friendly", "description": "Described", "fail": {"friendlyName": 5}},
    {"friendlyName": ")" +
          std::string(260, 'n') + R"(", "description": "Short"},
    {"friendlyName": "", "description": "Described"},
    {"friendlyName": "Friendly", "fail": {"instanceId": 13}}
  ]})");
  const DeviceInfoSetPtr set = Open();
  const auto members = Members(set.get());
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
}

TEST_F(DeviceFileTest, TheExampleOfficePcLoads) {
  service_ = MakeDeviceFileService(QUILLON_EXAMPLES_DIR "/office-pc.json", diagnostics_);
  const DeviceInfoSetPtr set = Open();
  ASSERT_TRUE(set) << diagnostics_.str();
  const auto members = Members(set.get());
  EXPECT_GE(members.size(), 30u);

  std::map<std::string, int> names;
  std::set<std::string> classes;
  int disabled = 0;
  int failedInstall = 0;
  int descriptionOnly = 0;
  int unnamed = 0;
  for (const SP_DEVINFO_DATA& data : members) {
    std::string name;
    ASSERT_EQ(ReadDisplayName(*service_, set.get(), data, name), DisplayNameResult::kOk);
    ++names[name];
    classes.insert(FormatGuid(data.ClassGuid));
    const bool hasFriendly = Property(set, data, SPDRP_FRIENDLYNAME).rfind("error ", 0) != 0;
    const bool hasDescription = Property(set, data, SPDRP_DEVICEDESC).rfind("error ", 0) != 0;
    descriptionOnly += !hasFriendly && hasDescription;
    unnamed += !hasFriendly && !hasDescription;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    ASSERT_EQ(service_->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), CR_SUCCESS);
    if (problem == CM_PROB_DISABLED) {
      ++disabled;
      EXPECT_NE(status & DN_HAS_PROBLEM, 0u);
      EXPECT_EQ(status & DN_STARTED, 0u);
    }
    failedInstall += problem == CM_PROB_FAILED_INSTALL;
  }
  EXPECT_EQ(disabled, 1);
  EXPECT_EQ(failedInstall, 1);
  EXPECT_GE(descriptionOnly, 1);
  EXPECT_EQ(unnamed, 1);
  EXPECT_EQ(names["Unknown"], 1);
  EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const auto& entry) {
    return entry.second == 2;
  })) << "two devices share a name";
  EXPECT_GE(classes.size(), 12u);

  std::uint32_t status = 0;
  std::uint32_t problem = 1;
  ASSERT_EQ(service_->CM_Get_DevNode_Status(&status, &problem, members[0].DevInst, 0), CR_SUCCESS);
  EXPECT_EQ(problem, 0u) << "the first device works";
  EXPECT_NE(status & DN_STARTED, 0u);
  EXPECT_TRUE(diagnostics_.str().empty());
  ExpectReadersAgree(ReadText(QUILLON_EXAMPLES_DIR "/office-pc.json"));
}

}  // namespace
}  // namespace quillon::devices
