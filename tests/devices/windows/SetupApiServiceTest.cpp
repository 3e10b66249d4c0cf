// The SetupAPI backend against the real setupapi.dll: on Windows, or under
// Wine with a fresh prefix (scripts/test-windows.sh). Nothing here assumes
// which devices a machine has. Writes happen only under Wine, or on Windows
// to the device named by QUILLON_TEST_DEVICE (an instance ID).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "devices/DeviceText.h"
#include "devices/windows/SetupApiService.h"
#include "tests/devices/MemberList.h"

namespace quillon::devices {
namespace {

using Buffer = std::array<char, kTextBufferSize>;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string OptInDevice() {
  const char* id = std::getenv("QUILLON_TEST_DEVICE");
  return id != nullptr ? id : "";
}

class SetupApiServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_ = OpenPresentDevices(*service_, "");
    ASSERT_NE(set_, nullptr) << "open failed with " << service_->GetLastError();
  }

  HDEVINFO set() const { return set_.get(); }

  std::vector<SP_DEVINFO_DATA> Members(HDEVINFO set) {
    return test_support::EnumerateMembers(*service_, set);
  }

  std::string InstanceId(HDEVINFO set, const SP_DEVINFO_DATA& data) {
    Buffer buffer{};
    std::uint32_t required = 0;
    EXPECT_TRUE(service_->SetupDiGetDeviceInstanceIdA(set, &data, buffer.data(), kTextBufferSize,
                                                      &required))
        << service_->GetLastError();
    return buffer.data();
  }

  // Reads a text property into a 260-byte buffer that starts full of 'X', so
  // a read that "succeeds" without writing shows.
  bool ReadProperty(HDEVINFO set, const SP_DEVINFO_DATA& data, std::uint32_t property,
                    std::string& text) {
    Buffer buffer;
    buffer.fill('X');
    std::uint32_t type = 0;
    std::uint32_t required = 0;
    if (!service_->SetupDiGetDeviceRegistryPropertyA(set, &data, property, &type,
                                                     reinterpret_cast<std::uint8_t*>(buffer.data()),
                                                     kTextBufferSize, &required)) {
      return false;
    }
    EXPECT_EQ(type, REG_SZ);
    EXPECT_NE(std::find(buffer.begin(), buffer.end(), '\0'), buffer.end()) << "not terminated";
    text = buffer.data();
    EXPECT_EQ(required, text.size() + 1);
    return true;
  }

  // The member writes may go to: any one under Wine, only the named one on Windows.
  bool WritableMember(SP_DEVINFO_DATA& member) {
    const std::vector<SP_DEVINFO_DATA> members = Members(set());
    if (members.empty())
      return false;
    if (RunningUnderWine()) {
      member = members.back();
      return true;
    }
    const std::string wanted = Upper(OptInDevice());
    for (const SP_DEVINFO_DATA& data : members) {
      if (!wanted.empty() && Upper(InstanceId(set(), data)) == wanted) {
        member = data;
        return true;
      }
    }
    return false;
  }

  bool SetFriendlyName(SP_DEVINFO_DATA& member, const std::string& name) {
    return service_->SetupDiSetDeviceRegistryPropertyA(
        set(), &member, SPDRP_FRIENDLYNAME, reinterpret_cast<const std::uint8_t*>(name.data()),
        static_cast<std::uint32_t>(name.size()));
  }

  std::unique_ptr<DeviceService> service_ = MakeSetupApiService();
  DeviceInfoSetPtr set_;
};

TEST_F(SetupApiServiceTest, EnumeratesPresentDevicesToTheEnd) {
  const std::vector<SP_DEVINFO_DATA> members = Members(set());
  ASSERT_FALSE(members.empty());
  std::set<std::uint32_t> handles;
  for (const SP_DEVINFO_DATA& data : members) {
    EXPECT_EQ(data.cbSize, sizeof(SP_DEVINFO_DATA));
    handles.insert(data.DevInst);
  }
  EXPECT_EQ(handles.size(), members.size()) << "node handles repeat";

  // Past the end stays the end, however far.
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (std::uint32_t index : {static_cast<std::uint32_t>(members.size()), 100000U}) {
    EXPECT_FALSE(service_->SetupDiEnumDeviceInfo(set(), index, &data)) << index;
    EXPECT_EQ(service_->GetLastError(), error::kNoMoreItems) << index;
  }
  // The record size must be this platform's: 28, the 32-bit size, fails every
  // enumeration on 64-bit Windows.
  EXPECT_EQ(sizeof(SP_DEVINFO_DATA), sizeof(void*) == 8 ? 32U : 28U);
  for (std::uint32_t size : {0U, 28U, 36U}) {
    if (size == sizeof(SP_DEVINFO_DATA))
      continue;
    data.cbSize = size;
    EXPECT_FALSE(service_->SetupDiEnumDeviceInfo(set(), 0, &data)) << size;
    EXPECT_EQ(service_->GetLastError(), error::kInvalidUserBuffer) << size;
  }
}

// Every instance ID and description fits the text buffer; a missing property
// fails with 13; a buffer too small fails with 122 and tells the size needed.
TEST_F(SetupApiServiceTest, TextsFitTheBufferAndTooSmallBuffersFail) {
  int described = 0;
  for (const SP_DEVINFO_DATA& data : Members(set())) {
    const std::string id = InstanceId(set(), data);
    EXPECT_FALSE(id.empty());
    std::array<char, 2> small{};
    std::uint32_t required = 0;
    EXPECT_FALSE(
        service_->SetupDiGetDeviceInstanceIdA(set(), &data, small.data(), small.size(), &required));
    EXPECT_EQ(service_->GetLastError(), error::kInsufficientBuffer);
    EXPECT_EQ(required, id.size() + 1) << id;

    for (const std::uint32_t property : {SPDRP_DEVICEDESC, SPDRP_FRIENDLYNAME}) {
      std::string text;
      if (!ReadProperty(set(), data, property, text)) {
        EXPECT_EQ(service_->GetLastError(), error::kInvalidData) << id;
        continue;
      }
      described += property == SPDRP_DEVICEDESC ? 1 : 0;
      std::array<std::uint8_t, 1> tiny{};
      std::uint32_t type = 0;
      EXPECT_FALSE(service_->SetupDiGetDeviceRegistryPropertyA(
          set(), &data, property, &type, tiny.data(), tiny.size(), &required));
      EXPECT_EQ(service_->GetLastError(), error::kInsufficientBuffer);
      EXPECT_EQ(required, text.size() + 1) << id;
    }
  }
  EXPECT_GT(described, 0);
}

TEST_F(SetupApiServiceTest, EnumeratorFilterKeepsOnlyItsMembers) {
  const std::vector<SP_DEVINFO_DATA> all = Members(set());
  ASSERT_FALSE(all.empty());
  const std::string firstId = InstanceId(set(), all[0]);
  const std::string enumerator = firstId.substr(0, firstId.find('\\'));
  std::size_t expected = 0;
  for (const SP_DEVINFO_DATA& data : all) {
    if (Upper(InstanceId(set(), data)).rfind(Upper(enumerator) + "\\", 0) == 0)
      ++expected;
  }

  // The filter ignores case.
  DeviceInfoSetPtr filtered = OpenPresentDevices(*service_, Upper(enumerator).c_str());
  ASSERT_NE(filtered, nullptr) << service_->GetLastError();
  const std::vector<SP_DEVINFO_DATA> members = Members(filtered.get());
  EXPECT_EQ(members.size(), expected) << enumerator;
  for (const SP_DEVINFO_DATA& data : members) {
    EXPECT_EQ(Upper(InstanceId(filtered.get(), data)).rfind(Upper(enumerator) + "\\", 0), 0U);
  }
}

TEST_F(SetupApiServiceTest, FriendlyNamesWrittenReadBack) {
  SP_DEVINFO_DATA member{};
  if (!WritableMember(member)) {
    GTEST_SKIP() << "writes a device's name: set QUILLON_TEST_DEVICE to an instance ID";
  }
  const std::string id = InstanceId(set(), member);
  // One byte more than the buffer holds does not fit.
  ASSERT_TRUE(SetFriendlyName(member, std::string(kTextBufferSize, 'n')));
  std::string read;
  EXPECT_FALSE(ReadProperty(set(), member, SPDRP_FRIENDLYNAME, read));
  EXPECT_EQ(service_->GetLastError(), error::kInsufficientBuffer);

  // The empty name (length 0) must replace a longer one, not leave it behind.
  const std::string longest(kTextBufferSize - 1, 'n');
  for (const std::string& written : {longest, std::string(), std::string("Quillon test name")}) {
    ASSERT_TRUE(SetFriendlyName(member, written)) << service_->GetLastError();
    ASSERT_TRUE(ReadProperty(set(), member, SPDRP_FRIENDLYNAME, read)) << service_->GetLastError();
    EXPECT_EQ(read, written);

    // Stored by the system, not the set: a new set sees it.
    DeviceInfoSetPtr fresh = OpenPresentDevices(*service_, "");
    ASSERT_NE(fresh, nullptr);
    bool found = false;
    for (const SP_DEVINFO_DATA& data : Members(fresh.get())) {
      if (InstanceId(fresh.get(), data) != id)
        continue;
      found = true;
      std::string name;
      EXPECT_EQ(ReadDisplayName(*service_, fresh.get(), data, name), DisplayNameResult::kOk);
      EXPECT_EQ(name, written);
    }
    EXPECT_TRUE(found) << id;
  }

  // A control character would break report lines: refused before the
  // system sees the name, which stays as it was.
  for (const std::string& refused : {std::string("Line\nbreak"), std::string("\x1B[2J")}) {
    EXPECT_FALSE(SetFriendlyName(member, refused));
    EXPECT_EQ(service_->GetLastError(), error::kInvalidParameter);
  }
  ASSERT_TRUE(ReadProperty(set(), member, SPDRP_FRIENDLYNAME, read));
  EXPECT_EQ(read, "Quillon test name");
}

TEST_F(SetupApiServiceTest, StatusOutputsAreWrittenOnlyOnSuccess) {
  for (const SP_DEVINFO_DATA& data : Members(set())) {
    std::uint32_t status = 0xDEADBEEF;
    std::uint32_t problem = 0xDEADBEEF;
    if (service_->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0) == CR_SUCCESS) {
      EXPECT_NE(status, 0xDEADBEEF);
      EXPECT_NE(problem, 0xDEADBEEF);
    } else {
      EXPECT_EQ(status, 0xDEADBEEF);
      EXPECT_EQ(problem, 0xDEADBEEF);
    }
  }
  if (RunningUnderWine()) {
    GTEST_SKIP() << "the status query is a stub under Wine";
  }

  // On Windows every present node has a status; a started one has no problem.
  for (const SP_DEVINFO_DATA& data : Members(set())) {
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    ASSERT_EQ(service_->CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), CR_SUCCESS);
    if ((status & DN_STARTED) != 0) {
      EXPECT_EQ(problem, 0U) << FormatHex8(status);
    }
  }
}

// Parent, hardware IDs and service of every node read without a fault: each
// either succeeds in its documented form or fails with a code, and the codes
// met are printed (Wine implements some of these only in part).
TEST_F(SetupApiServiceTest, ParentsHardwareIdsAndServicesRead) {
  std::set<std::string> codes;
  std::size_t withParent = 0;
  std::size_t withIds = 0;
  for (const SP_DEVINFO_DATA& data : Members(set())) {
    std::uint32_t parent = 0;
    const std::uint32_t result = service_->CM_Get_Parent(&parent, data.DevInst, 0);
    if (result == CR_SUCCESS) {
      Buffer id{};
      const std::uint32_t idResult =
          service_->CM_Get_Device_IDA(parent, id.data(), kTextBufferSize, 0);
      if (idResult == CR_SUCCESS) {
        EXPECT_NE(std::find(id.begin(), id.end(), '\0'), id.end());
        ++withParent;
      } else {
        codes.insert("CM_Get_Device_IDA " + std::to_string(idResult));
      }
    } else {
      codes.insert("CM_Get_Parent " + std::to_string(result));
    }
    std::array<std::uint8_t, 4096> ids{};
    std::uint32_t type = 0;
    std::uint32_t required = 0;
    if (service_->SetupDiGetDeviceRegistryPropertyA(set(), &data, SPDRP_HARDWAREID, &type,
                                                    ids.data(), ids.size(), &required)) {
      EXPECT_EQ(type, REG_MULTI_SZ);
      // The list ends at two NULs within the buffer (which started zeroed).
      const std::string_view bytes(reinterpret_cast<const char*>(ids.data()), ids.size());
      const std::size_t end = bytes.find(std::string_view("\0\0", 2));
      ASSERT_NE(end, std::string_view::npos);
      EXPECT_GT(end, 0U) << "an empty list";
      // Windows counts the bytes written; Wine's ANSI call does not (noted).
      if (required != end + 2) {
        EXPECT_TRUE(RunningUnderWine()) << required << " for " << end + 2 << " bytes";
        codes.insert("SPDRP_HARDWAREID size " + std::to_string(required) + " for " +
                     std::to_string(end + 2) + " bytes");
      }
      ++withIds;
    } else {
      codes.insert("SPDRP_HARDWAREID " + FormatSigned(service_->GetLastError()));
    }
    std::string text;
    if (!ReadProperty(set(), data, SPDRP_SERVICE, text))
      codes.insert("SPDRP_SERVICE " + FormatSigned(service_->GetLastError()));
  }
  for (const std::string& code : codes)
    std::cout << "  failed: " << code << '\n';
  std::cout << "  " << withParent << " parents, " << withIds << " hardware ID lists read\n";
  if (!RunningUnderWine()) {
    EXPECT_GT(withParent, 0U);
    EXPECT_GT(withIds, 0U);
  }
}

TEST_F(SetupApiServiceTest, DisableThenEnableTheNamedDevice) {
  if (RunningUnderWine()) {
    GTEST_SKIP() << "state changes are stubs under Wine";
  }
  SP_DEVINFO_DATA member{};
  if (!WritableMember(member)) {
    GTEST_SKIP() << "disables a device: set QUILLON_TEST_DEVICE to an instance ID";
  }
  for (const auto& [change, problem] :
       {std::pair{DICS_DISABLE, CM_PROB_DISABLED}, std::pair{DICS_ENABLE, std::uint32_t{0}}}) {
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof params.ClassInstallHeader;
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = change;
    params.Scope = DICS_FLAG_GLOBAL;
    ASSERT_TRUE(service_->SetupDiSetClassInstallParamsA(set(), &member, &params.ClassInstallHeader,
                                                        sizeof params))
        << service_->GetLastError();
    ASSERT_TRUE(service_->SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set(), &member))
        << FormatSigned(service_->GetLastError());
    std::uint32_t status = 0;
    std::uint32_t actual = 0;
    ASSERT_EQ(service_->CM_Get_DevNode_Status(&status, &actual, member.DevInst, 0), CR_SUCCESS);
    EXPECT_EQ(actual, problem) << change;
  }
}

TEST(SetupApiService, NoSetAndClosedSetsAreRefusedAndLeftOpenOnesClosedOnce) {
  std::unique_ptr<DeviceService> service = MakeSetupApiService();
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(service->SetupDiEnumDeviceInfo(nullptr, 0, &data));
  EXPECT_EQ(service->GetLastError(), error::kInvalidHandle);
  EXPECT_FALSE(service->SetupDiDestroyDeviceInfoList(nullptr));
  EXPECT_EQ(service->GetLastError(), error::kInvalidHandle);

  // A set is destroyed once; the second attempt never reaches SetupAPI.
  const HDEVINFO set =
      service->SetupDiGetClassDevsA(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  ASSERT_NE(set, nullptr);
  EXPECT_TRUE(service->SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(service->SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(service->GetLastError(), error::kInvalidHandle);

  // Sets the caller destroyed are not destroyed again when the service goes;
  // the others are (a double destroy would crash here).
  for (int round = 0; round < 20; ++round) {
    service = MakeSetupApiService();
    DeviceInfoSetPtr owned = OpenPresentDevices(*service, "");
    ASSERT_NE(owned, nullptr);
    const HDEVINFO leftOpen =
        service->SetupDiGetClassDevsA(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(leftOpen, nullptr);
    owned.reset();
  }
}

}  // namespace
}  // namespace quillon::devices
