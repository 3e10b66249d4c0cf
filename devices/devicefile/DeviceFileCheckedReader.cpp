// The checked reader: a device file read as a document, every fault explained with its line.
#include <algorithm>
#include <iterator>
#include <limits>
#include <unordered_map>

#include "devices/DeviceText.h"
#include "devices/devicefile/DeviceFileModel.h"
#include "devices/devicefile/DeviceFileReading.h"
#include "devices/devicefile/DeviceFileTextScan.h"

namespace quillon::devices::devicefile {

namespace {

using Json = nlohmann::ordered_json;

// Parser messages read "[json.exception.parse_error.101] parse error at line
// 3, column 1: syntax error ..."; the line is given separately. The bytes the
// parser quotes may be anything, and a million of them.
std::string ParserReason(const std::string& what) {
  std::string reason = what;
  if (reason.rfind("[json.exception.", 0) == 0) {
    if (const std::size_t end = reason.find("] "); end != std::string::npos)
      reason.erase(0, end + 2);
  }
  const std::size_t column = reason.find(", column ");
  if (column != std::string::npos) {
    const std::size_t colon = reason.find(": ", column);
    if (colon != std::string::npos)
      reason = reason.substr(colon + 2);
  }
  const std::size_t open = reason.find('\'');
  const std::size_t close = reason.rfind('\'');
  if (open != std::string::npos && close > open) {
    const std::string quoted =
        EscapeForDiagnostics(std::string_view(reason).substr(open + 1, close - open - 1));
    reason = reason.substr(0, open + 1) + quoted + reason.substr(close);
  }
  return EscapeForDiagnostics(reason, 200);
}

// Hands the parser one byte at a time and remembers how far it read, so that
// the builder can tell where it stopped.
class TrackedIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackedIterator(const char* at, const char** reached) : at_(at), reached_(reached) {}
  reference operator*() const { return *at_; }
  TrackedIterator& operator++() {
    *reached_ = std::max(*reached_, ++at_);
    return *this;
  }
  TrackedIterator operator++(int) {
    TrackedIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const TrackedIterator& other) const { return at_ == other.at_; }
  bool operator!=(const TrackedIterator& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  const char** reached_;
};

// Builds the document from the parser's events, keeping only what a device
// file can hold, so that memory stays near the file's size whatever the file
// holds: nesting no deeper than kMaxDepth, at most kMaxMembers members,
// kMaxKeys keys in an object and no key twice (also when spelled with
// escapes). A container where the format has none (which the checks refuse
// anyway) is kept empty.
class DocumentBuilder {
 public:
  // `reached` is how far the parser has read the text that starts at `start`.
  DocumentBuilder(Json& root, const char* start, const char* const& reached)
      : root_(root), start_(start), reached_(reached) {}

  bool null() { return Add(nullptr); }
  bool boolean(bool value) { return Add(value); }
  bool number_integer(Json::number_integer_t value) { return Add(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return Add(value); }
  bool number_float(Json::number_float_t value, const Json::string_t&) { return Add(value); }
  bool string(Json::string_t& value) { return Add(std::move(value)); }
  bool binary(Json::binary_t&) { return false; }  // JSON text has none

  bool start_object(std::size_t) { return Open(Json::object()); }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) { return Open(Json::array()); }
  bool end_array() { return Close(); }

  bool key(Json::string_t& name) {
    Frame& frame = open_.back();
    if (frame.value == nullptr)
      return true;
    if (frame.value->contains(name)) {
      return Stop("duplicate key \"" + EscapeForDiagnostics(name) + "\"");
    }
    // Only keys the format does not know count: a change adds known ones,
    // and must not make a file it read unreadable.
    if (!IsKnownKey(frame.role, name) && ++frame.unknownKeys > kMaxKeys) {
      return Stop(Describe(PathOf(frame)) + ": more than " + std::to_string(kMaxKeys) +
                  " keys the format does not know");
    }
    key_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t byte, const std::string&, const nlohmann::detail::exception& e) {
    // `byte` counts from 1 and names the character that could not be read.
    stopped_ = byte > 0 ? byte - 1 : 0;
    reason_ = ParserReason(e.what());
    return false;
  }

  // Where the text stopped being read and why, after a failed parse.
  std::size_t StoppedAt() const { return stopped_; }
  const std::string& Reason() const { return reason_; }

 private:
  enum class Role { kTop, kDevices, kMember, kFail, kIdList, kOther };
  struct Frame {
    Json* value;  // nullptr: the content is not kept
    Role role;
    std::size_t unknownKeys = 0;
  };

  static bool IsKnownKey(Role role, std::string_view name) {
    const auto in = [name](const auto& keys) {
      return std::any_of(keys.begin(), keys.end(),
                         [name](const auto& key) { return name == std::string_view(key); });
    };
    switch (role) {
      case Role::kTop:
        return in(kTopKeys);
      case Role::kMember:
        return in(kMemberKeys);
      case Role::kFail:
        return std::any_of(kFailKeys.begin(), kFailKeys.end(),
                           [name](const auto& entry) { return name == entry.first; });
      default:
        return false;
    }
  }

  // The top object, "devices", a member, its "fail" or ID list, and one more so that a
  // container given for a value is refused as the wrong type.
  static constexpr std::size_t kMaxDepth = 5;
  static constexpr std::size_t kMaxKeys = 16;  // unknown keys in one object

  bool Stop(std::string reason) {
    stopped_ = static_cast<std::size_t>(reached_ - start_) - (reached_ > start_ ? 1 : 0);
    reason_ = std::move(reason);
    return false;
  }

  // The role of a value added now: what the format expects at this place.
  Role RoleHere(bool isObject) const {
    if (open_.empty())
      return isObject ? Role::kTop : Role::kOther;
    const Frame& parent = open_.back();
    if (parent.value == nullptr)
      return Role::kOther;
    if (parent.role == Role::kTop && key_ == "devices" && !isObject)
      return Role::kDevices;
    if (parent.role == Role::kDevices && isObject)
      return Role::kMember;
    if (parent.role == Role::kMember && key_ == "fail" && isObject)
      return Role::kFail;
    if (parent.role == Role::kMember && (key_ == "hardwareIds" || key_ == "compatibleIds") &&
        !isObject) {
      return Role::kIdList;
    }
    return Role::kOther;
  }

  // Stores `value` in the innermost kept container; nullptr when not kept.
  bool Add(Json value, Json** stored = nullptr) {
    Json* slot = nullptr;
    if (open_.empty()) {
      root_ = std::move(value);
      slot = &root_;
    } else if (Json* parent = open_.back().value; parent != nullptr) {
      if (parent->is_array()) {
        if (parent->size() >= kMaxMembers) {
          return Stop("devices: more than " + std::to_string(kMaxMembers) + " devices");
        }
        parent->push_back(std::move(value));
        slot = &parent->back();
      } else {
        slot = &(*parent)[key_];
        *slot = std::move(value);
      }
    }
    if (stored != nullptr)
      *stored = slot;
    return true;
  }

  bool Open(Json empty) {
    if (open_.size() >= kMaxDepth) {
      return Stop("nested deeper than the " + std::to_string(kMaxDepth) +
                  " levels a device file can use");
    }
    const Role role = RoleHere(empty.is_object());
    Json* stored = nullptr;
    if (!Add(std::move(empty), &stored))
      return false;
    open_.push_back({role == Role::kOther ? nullptr : stored, role});
    return true;
  }

  bool Close() {
    open_.pop_back();
    return true;
  }

  // The path of a kept object, for messages.
  Path PathOf(const Frame& frame) const {
    if (frame.role == Role::kTop)
      return {};
    Path path = {std::string("devices"), open_[1].value->size() - 1};
    if (frame.role == Role::kFail)
      path.emplace_back(std::string("fail"));
    return path;
  }

  Json& root_;
  const char* start_;
  const char* const& reached_;
  std::vector<Frame> open_;
  std::string key_;
  std::size_t stopped_ = 0;
  std::string reason_;
};

// Parses `text` into a document within the builder's limits.
bool ReadDocument(const std::string& text, Json& document, ParseError& error) {
  if (const std::size_t nul = FindNul(text); nul != std::string::npos) {
    error.line = LineAt(text, nul);
    error.reason = "a NUL byte: a device file holds text only";
    return false;
  }
  const char* reached = text.data();
  DocumentBuilder builder(document, text.data(), reached);
  const TrackedIterator first(text.data(), &reached);
  const TrackedIterator last(text.data() + text.size(), &reached);
  if (Json::sax_parse(first, last, &builder))
    return true;
  error.line = LineAt(text, builder.StoppedAt());
  error.reason = builder.Reason();
  return false;
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

  // The member's optional text of this key, if it has one.
  std::optional<std::string>* OptionalText(std::string_view key) {
    for (auto [name, text] : {std::pair{"friendlyName", &member_.friendlyName},
                              {"description", &member_.description},
                              {"parentId", &member_.parentId},
                              {"driver", &member_.driver},
                              {"driverModule", &member_.driverModule},
                              {"location", &member_.location}}) {
      if (key == name)
        return text;
    }
    return nullptr;
  }

  bool ReadField(const std::string& key, const Json& field, Path& path, std::string& reason) {
    if (key == "instanceId") {
      if (!ReadText(field, member_.instanceId))
        return Fault(path, reason, "expected a text");
      if (member_.instanceId.empty())
        return Fault(path, reason, "must not be empty");
      return true;
    }
    if (std::optional<std::string>* target = OptionalText(key)) {
      std::string text;
      if (!ReadText(field, text))
        return Fault(path, reason, "expected a text");
      *target = std::move(text);
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
    if (key == "hardwareIds" || key == "compatibleIds") {
      auto& ids = (key == "hardwareIds" ? member_.hardwareIds : member_.compatibleIds).emplace();
      if (!field.is_array())
        return Fault(path, reason, "expected an array of texts");
      for (const Json& id : field) {
        if (!id.is_string())
          return Fault(path, reason, "expected an array of texts");
        ids.push_back(id.get<std::string>());
      }
      return true;
    }
    return Fault(path, reason, "unknown key");
  }

  bool ReadFailures(const Json& field, Path& path, std::string& reason) {
    if (!field.is_object())
      return Fault(path, reason, "expected an object");
    for (const auto& item : field.items()) {
      const std::string& key = item.key();
      const Json& code = item.value();
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
  if (!ReadDocument(text, document, error))
    return false;
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
    std::unordered_map<std::string_view, std::size_t, HashIgnoringCase, EqualIgnoringCase>
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
                    Describe(memberPath) + ": instance ID \"" +
                        EscapeForDiagnostics(member.instanceId) + "\" is also used by devices[" +
                        std::to_string(it->second) + "]",
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
  // Clashes were explained above.
  IndexInstanceIds(parsed);
  IndexPresentHandles(parsed);
  parsedDocument = std::move(document);
  model = std::move(parsed);
  return true;
}

}  // namespace quillon::devices::devicefile
