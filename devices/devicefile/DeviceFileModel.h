// The device file's content: the members it describes, reading and checking
// its text, and the edits that a change writes back. Private to the
// device-file source. Two readers fill the model: the quick one
// (DeviceFileQuickReader) for ordinary files, and the checked one
// (DeviceFileCheckedReader, with DeviceFileTextScan to find lines) that decides and explains
// whatever the quick one refuses; the edits are in DeviceFileEdits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "devices/DeviceService.h"

namespace quillon::devices::devicefile {

// Operations a member can be told to fail, each with the code to report.
enum class Operation : std::size_t {
  kInstanceId,
  kFriendlyName,
  kDescription,
  kSetFriendlyName,
  kSetClassInstallParams,
  kCallClassInstaller,
  kStatus,
};
constexpr std::size_t kOperationCount = 7;

// Started, driver loaded, disableable, NT enumerator and driver.
constexpr std::uint32_t kDefaultStatus = 0x0180200A;

struct Member {
  std::size_t fileIndex = 0;  // position in the file's "devices" array
  std::string instanceId;
  std::optional<std::string> friendlyName;
  std::optional<std::string> description;
  GUID classGuid{};
  std::uint32_t devInst = 0;
  std::uint32_t status = kDefaultStatus;
  std::uint32_t problem = 0;
  bool present = true;
  std::array<std::optional<std::uint32_t>, kOperationCount> failures{};
  // Where the node hangs and what it is: the parent's instance ID (none for
  // a root; it need not be a member), the ID lists, the driver (Windows: its
  // service) and its kernel module, and the bus location.
  std::optional<std::string> parentId;
  std::optional<std::vector<std::string>> hardwareIds;
  std::optional<std::vector<std::string>> compatibleIds;
  std::optional<std::string> driver;
  std::optional<std::string> driverModule;
  std::optional<std::string> location;

  std::optional<std::uint32_t> Failure(Operation operation) const {
    return failures[static_cast<std::size_t>(operation)];
  }
};

using Members = std::vector<Member>;

struct Model {
  std::uint32_t openError = 0;
  // Every member of the file, in file order. Shared with the sets opened
  // over it, so that an open copies no member.
  std::shared_ptr<Members> members = std::make_shared<Members>();
  // Present members' node handles with their index, sorted by handle, for
  // the status query.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> presentByDevInst;
  // Every member by instance ID, ignoring case: open addressing over member
  // index + 1 (0 is free), a power of two long, at most half full. Made
  // while reading, where it proves the IDs unique; the parents are found in it.
  std::vector<std::uint32_t> byInstanceId;

  const Member* FindPresent(std::uint32_t devInst) const;
  // The member with this instance ID, ignoring case, present or not.
  const Member* FindById(std::string_view instanceId) const;
};

struct ParseError {
  std::size_t line = 1;
  std::string reason;
};

// Fills model.byInstanceId; false when two members' instance IDs are equal
// ignoring case.
bool IndexInstanceIds(Model& model);

// Parses a device file's text and checks it: types, known keys, GUIDs,
// numbers, unique instance IDs and node handles. Defaults are filled in.
bool ParseDeviceFile(const std::string& text, Model& model, ParseError& error);

// The fast part of ParseDeviceFile: reads the text straight into members
// without a document. False when the text is broken or merely unusual (a
// null for an unknown key); ParseDeviceDocument then decides and explains.
bool ParseDeviceFileQuickly(const std::string& text, Model& model);

// As ParseDeviceFile, keeping the whole document, so that a rewrite keeps
// the user's key order and number forms.
bool ParseDeviceDocument(const std::string& text, Model& model, nlohmann::ordered_json& document,
                         ParseError& error);

// The enumerator of an instance ID: its text before the first backslash.
std::string_view Enumerator(std::string_view instanceId);

// Edits of one member (an index into model.members), made both in the
// member and in the document that is written back.
void StoreState(Model& model, nlohmann::ordered_json& document, std::size_t member,
                std::uint32_t status, std::uint32_t problem);
void StoreFriendlyName(Model& model, nlohmann::ordered_json& document, std::size_t member,
                       const std::string& name);

// The document as the file's new text; false when it cannot be written
// (text that is not UTF-8).
bool SerializeDocument(const nlohmann::ordered_json& document, std::string& text);

// 1-based line of the byte at `offset`.
std::size_t LineAt(const std::string& text, std::size_t offset);

}  // namespace quillon::devices::devicefile
