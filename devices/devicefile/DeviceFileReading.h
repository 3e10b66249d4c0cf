// What the quick and the checked reader share: the number forms, the failure
// keys and the handle index. Private to the device-file source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "devices/DeviceText.h"
#include "devices/devicefile/DeviceFileModel.h"

namespace quillon::devices::devicefile {

// More members than any machine has (a large server has some thousands of
// device nodes): a file of empty members ("{},") would otherwise cost a
// hundred times its size in memory.
constexpr std::size_t kMaxMembers = 200000;

// The offset of the first NUL byte, or npos. The parser takes a NUL for the
// end of the text, so a file with one is refused before it is parsed.
inline std::size_t FindNul(std::string_view text) {
  return text.find('\0');
}

// The value of one hexadecimal digit, either case.
inline bool HexDigit(char c, std::uint32_t& digit) {
  if (c >= '0' && c <= '9')
    digit = static_cast<std::uint32_t>(c - '0');
  else if (c >= 'a' && c <= 'f')
    digit = static_cast<std::uint32_t>(c - 'a' + 10);
  else if (c >= 'A' && c <= 'F')
    digit = static_cast<std::uint32_t>(c - 'A' + 10);
  else
    return false;
  return true;
}

bool NumberFromUnsigned(std::uint64_t n, std::uint32_t& number);
// Negative values stand for codes with the top bit set (0xE000020B).
bool NumberFromSigned(std::int64_t n, std::uint32_t& number);
// "0x" followed by one to eight hexadecimal digits.
bool NumberFromText(std::string_view text, std::uint32_t& number);

// The keys of the top object and of a member, in the order of their use by
// the quick reader.
inline constexpr std::array<std::string_view, 2> kTopKeys = {"openError", "devices"};
inline constexpr std::array<std::string_view, 15> kMemberKeys = {
    "instanceId",  "friendlyName",  "description", "classGuid",    "devInst",
    "status",      "problem",       "present",     "fail",         "parentId",
    "hardwareIds", "compatibleIds", "driver",      "driverModule", "location"};

// The keys of a member's "fail" object.
inline constexpr std::array<std::pair<const char*, Operation>, kOperationCount> kFailKeys = {{
    {"instanceId", Operation::kInstanceId},
    {"friendlyName", Operation::kFriendlyName},
    {"description", Operation::kDescription},
    {"setFriendlyName", Operation::kSetFriendlyName},
    {"setClassInstallParams", Operation::kSetClassInstallParams},
    {"callClassInstaller", Operation::kCallClassInstaller},
    {"status", Operation::kStatus},
}};

// Fills the sorted handle index; false when two present members share a handle.
bool IndexPresentHandles(Model& model);

}  // namespace quillon::devices::devicefile
