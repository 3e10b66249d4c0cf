// The checked reader: a device file read as a document, every fault explained with its line.
#include <algorithm>
#include <limits>
#include <unordered_map>

#include "DeviceFileModel.h"
#include "DeviceFileReading.h"
#include "DeviceFileTextScan.h"
#include "DeviceText.h"

namespace quillon::devices::devicefile {

namespace {

using Json = nlohmann::ordered_json;

// Parser messages read "[json.exception.parse_error.101] parse error at line
// 3, column 1: syntax error ..."; the line is given separately.
std::string ParserReason(const std::string& what) {
  std::string reason = what;
  const std::size_t column = reason.find(", column ");
  if (column != std::string::npos) {
    const std::size_t colon = reason.find(": ", column);
    if (colon != std::string::npos)
      reason = reason.substr(colon + 2);
  }
  // The parser quotes the bytes it read last, which may be anything.
  for (char& c : reason) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F)
      c = '?';
  }
  return reason;
}

bool ReadNumber(const Json& value, std::uint32_t& number) {
  if (value.is_number_unsigned())
    return NumberFromUnsigned(value.get<std::uint64_t>(), number);
  if (value.is_number_integer())
    return NumberFromSigned(value.get<std::int64_t>(), number);
  return value.is_string() && NumberFromText(value.get_ref<const std::string&>(), number);
}

// Checks one member and fills `member`; on a fault sets `path` and `reason`.
class MemberReader {
 public:
  MemberReader(const Json& value, std::size_t index, Member& member)
      : value_(value), index_(index), member_(member) {}

  bool Read(Path& path, std::string& reason) {
    path = {std::string("devices"), index_};
    if (!value_.is_object())
      return Fault(path, reason, "expected an object");
    member_ = Member{};
    member_.fileIndex = index_;
    member_.instanceId = "ROOT\\UNKNOWN\\" + std::to_string(index_);
    member_.devInst = static_cast<std::uint32_t>(index_ + 1);
    for (const auto& [key, field] : value_.items()) {
      path.emplace_back(key);
      if (!field.is_null() && !ReadField(key, field, path, reason))
        return false;
      path.pop_back();
    }
    return true;
  }

 private:
  static bool Fault(Path& path, std::string& reason, const std::string& what) {
    reason = Describe(path) + ": " + what;
    return false;
  }

  static bool ReadText(const Json& field, std::string& text) {
    if (!field.is_string())
      return false;
    text = field.get<std::string>();
    return true;
  }

  bool ReadField(const std::string& key, const Json& field, Path& path, std::string& reason) {
    if (key == "instanceId") {
      if (!ReadText(field, member_.instanceId))
        return Fault(path, reason, "expected a text");
      if (member_.instanceId.empty())
        return Fault(path, reason, "must not be empty");
      return true;
    }
    if (key == "friendlyName" || key == "description") {
      std::string text;
      if (!ReadText(field, text))
        return Fault(path, reason, "expected a text");
      (key == "friendlyName" ? member_.friendlyName : member_.description) = std::move(text);
      return true;
    }
    if (key == "classGuid") {
      std::string text;
      if (!ReadText(field, text) || !ParseGuid(text, member_.classGuid)) {
        return Fault(path, reason,
                     "expected a GUID such as \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"");
      }
      return true;
    }
    if (key == "devInst" || key == "status" || key == "problem") {
      std::uint32_t& target = key == "devInst"  ? member_.devInst
                              : key == "status" ? member_.status
                                                : member_.problem;
      if (!ReadNumber(field, target))
        return Fault(path, reason, kNumberExpected);
      return true;
    }
    if (key == "present") {
      if (!field.is_boolean())
        return Fault(path, reason, "expected true or false");
      member_.present = field.get<bool>();
      return true;
    }
    if (key == "fail")
      return ReadFailures(field, path, reason);
    return Fault(path, reason, "unknown key");
  }

  bool ReadFailures(const Json& field, Path& path, std::string& reason) {
    if (!field.is_object())
      return Fault(path, reason, "expected an object");
    for (const auto& [key, code] : field.items()) {
      path.emplace_back(key);
      const auto known = std::find_if(kFailKeys.begin(), kFailKeys.end(),
                                      [&key](const auto& entry) { return key == entry.first; });
      if (known == kFailKeys.end()) {
        std::string names;
        for (const auto& entry : kFailKeys)
          names += std::string(names.empty() ? "" : ", ") + entry.first;
        return Fault(path, reason, "unknown operation (known: " + names + ")");
      }
      std::uint32_t number = 0;
      if (!ReadNumber(code, number))
        return Fault(path, reason, kNumberExpected);
      // A status query that "fails" with CR_SUCCESS would be a success that
      // writes nothing; other operations may fail with code 0, as some do.
      if (known->second == Operation::kStatus && number == CR_SUCCESS) {
        return Fault(path, reason, "a failing status query needs a non-zero result");
      }
      member_.failures[static_cast<std::size_t>(known->second)] = number;
      path.pop_back();
    }
    return true;
  }

  static constexpr const char* kNumberExpected =
      "expected a 32-bit integer or a \"0x...\" text of up to 8 hexadecimal digits";

  const Json& value_;
  std::size_t index_;
  Member& member_;
};

bool Fail(const std::string& text, const Path& path, std::string reason, ParseError& error) {
  error.line = LineOf(text, path);
  error.reason = std::move(reason);
  return false;
}

}  // namespace

bool ParseDeviceDocument(const std::string& text, Model& model, Json& parsedDocument,
                         ParseError& error) {
  Json document;
  try {
    document = Json::parse(text);
  } catch (const Json::parse_error& e) {
    // `byte` counts from 1 and names the character that could not be read.
    error.line = LineAt(text, e.byte > 0 ? e.byte - 1 : 0);
    error.reason = ParserReason(e.what());
    return false;
  }
  std::string key;
  if (const std::size_t at = FindDuplicateKey(text, key); at != std::string::npos) {
    error.line = LineAt(text, at);
    error.reason = "duplicate key \"" + key + "\"";
    return false;
  }
  if (!document.is_object()) {
    return Fail(text, {}, "expected an object with \"devices\" and \"openError\"", error);
  }

  Model parsed;
  for (const auto& [name, value] : document.items()) {
    const Path path = {name};
    if (name == "openError") {
      if (!value.is_null() && !ReadNumber(value, parsed.openError)) {
        return Fail(text, path, "openError: expected a 32-bit integer or a \"0x...\" text", error);
      }
    } else if (name == "devices") {
      if (!value.is_array() && !value.is_null()) {
        return Fail(text, path, "devices: expected an array", error);
      }
    } else {
      return Fail(text, path, Describe(path) + ": unknown key", error);
    }
  }

  const auto devices = document.find("devices");
  if (devices != document.end() && devices->is_array()) {
    parsed.members->resize(devices->size());
    // Views into the members, which stay in place: they were sized above.
    std::unordered_map<std::string_view, std::size_t, CaseInsensitiveHash, CaseInsensitiveEqual>
        instanceIds;
    std::unordered_map<std::uint32_t, std::size_t> devInsts;
    instanceIds.reserve(devices->size());
    devInsts.reserve(devices->size());
    for (std::size_t i = 0; i < devices->size(); ++i) {
      Path path;
      std::string reason;
      Member& member = (*parsed.members)[i];
      if (!MemberReader((*devices)[i], i, member).Read(path, reason)) {
        return Fail(text, path, reason, error);
      }
      // Nodes are found again by instance ID (after a re-read) and by handle
      // (the status query), so both must name one member. Handles default to
      // the index plus one and can meet a handle given elsewhere: say which.
      const Path memberPath = {std::string("devices"), i};
      if (const auto [it, added] = instanceIds.emplace(member.instanceId, i); !added) {
        return Fail(text, memberPath,
                    Describe(memberPath) + ": instance ID \"" + member.instanceId +
                        "\" is also used by devices[" + std::to_string(it->second) + "]",
                    error);
      }
      if (!member.present)
        continue;  // absent nodes have no status to query
      if (const auto [it, added] = devInsts.emplace(member.devInst, i); !added) {
        return Fail(text, memberPath,
                    Describe(memberPath) + ": devInst " + std::to_string(member.devInst) +
                        " is also used by devices[" + std::to_string(it->second) + "]",
                    error);
      }
    }
  }
  IndexPresentHandles(parsed);  // clashes were explained above
  parsedDocument = std::move(document);
  model = std::move(parsed);
  return true;
}

}  // namespace quillon::devices::devicefile
