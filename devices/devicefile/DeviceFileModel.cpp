#include "DeviceFileModel.h"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "DeviceText.h"

namespace quillon::devices::devicefile {

namespace {

using Json = nlohmann::ordered_json;

// A step from a value into one of its children: an object key or an array index.
using PathStep = std::variant<std::string, std::size_t>;
using Path = std::vector<PathStep>;

std::string Describe(const Path& path) {
  std::string text;
  for (const PathStep& step : path) {
    if (const auto* key = std::get_if<std::string>(&step)) {
      if (!text.empty())
        text += '.';
      text += *key;
    } else {
      text += '[' + std::to_string(std::get<std::size_t>(step)) + ']';
    }
  }
  return text.empty() ? "the top level" : text;
}

// Walks the text of a document that is already known to be valid JSON, to
// find where a value starts. Iterative, so deep nesting cannot exhaust the stack.
class TextCursor {
 public:
  explicit TextCursor(const std::string& text) : text_(text) {}

  std::size_t position() const { return pos_; }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  void Advance() { ++pos_; }

  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
      ++pos_;
    }
  }

  // At a '"': returns the raw text between the quotes and moves past them.
  std::string_view ReadStringView() {
    const std::size_t start = ++pos_;
    while (!AtEnd() && Peek() != '"') {
      pos_ += (Peek() == '\\') ? 2 : 1;
    }
    const std::size_t end = std::min(pos_, text_.size());
    ++pos_;
    return std::string_view(text_).substr(start, end - start);
  }

  void SkipValue() {
    std::size_t depth = 0;
    do {
      const char c = Peek();
      if (c == '"') {
        ReadStringView();
        continue;
      }
      if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        --depth;
      } else if (depth == 0) {
        // A literal or a number: runs to the next delimiter.
        while (!AtEnd() && std::string_view(",}] \t\r\n").find(Peek()) == std::string_view::npos) {
          ++pos_;
        }
        return;
      }
      ++pos_;
    } while (depth > 0 && !AtEnd());
  }

  // Moves to the start of `path`'s value; false when it is not there.
  bool Descend(const Path& path) {
    SkipSpace();
    for (const PathStep& step : path) {
      if (!DescendOne(step))
        return false;
    }
    return true;
  }

 private:
  bool DescendOne(const PathStep& step) {
    const bool wantKey = std::holds_alternative<std::string>(step);
    if (Peek() != (wantKey ? '{' : '['))
      return false;
    Advance();
    for (std::size_t index = 0;; ++index) {
      SkipSpace();
      if (Peek() == '}' || Peek() == ']' || AtEnd())
        return false;
      bool found = false;
      if (wantKey) {
        found = ReadStringView() == std::get<std::string>(step);
        SkipSpace();
        Advance();  // ':'
        SkipSpace();
      } else {
        found = index == std::get<std::size_t>(step);
      }
      if (found)
        return true;
      SkipValue();
      SkipSpace();
      if (Peek() != ',')
        return false;
      Advance();
    }
  }

  const std::string& text_;
  std::size_t pos_ = 0;
};

std::size_t LineOf(const std::string& text, const Path& path) {
  // Fall back to the closest enclosing value that can be found.
  for (std::size_t length = path.size() + 1; length-- > 0;) {
    TextCursor attempt(text);
    if (attempt.Descend(Path(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(length)))) {
      return LineAt(text, attempt.position());
    }
  }
  return 1;
}

// nlohmann keeps the last of two equal keys silently; a device file with two
// "status" entries is a mistake worth pointing at. Returns the offset of the
// second key, or npos.
std::size_t FindDuplicateKey(const std::string& text, std::string& key) {
  // The keys of every open object (none for an array). Objects here hold a
  // handful of keys, so a short list is searched; a long one gets a hash set
  // so that a file with a huge object still loads in linear time.
  struct Level {
    bool isObject = false;
    std::vector<std::string_view> keys;
    std::unordered_set<std::string_view> many;

    bool Add(std::string_view key) {
      if (!many.empty())
        return many.insert(key).second;
      if (std::find(keys.begin(), keys.end(), key) != keys.end())
        return false;
      keys.push_back(key);
      if (keys.size() > 16)
        many.insert(keys.begin(), keys.end());
      return true;
    }
    void Clear() {
      keys.clear();
      if (!many.empty())
        many = {};
    }
  };
  std::vector<Level> open;
  std::size_t depth = 0;
  bool expectKey = false;
  TextCursor cursor(text);
  while (!cursor.AtEnd()) {
    const char c = cursor.Peek();
    if (c == '"') {
      const std::size_t start = cursor.position();
      const std::string_view raw = cursor.ReadStringView();
      if (expectKey && depth > 0 && open[depth - 1].isObject) {
        if (!open[depth - 1].Add(raw)) {
          key = std::string(raw);
          return start;
        }
      }
      expectKey = false;
      continue;
    }
    if (c == '{' || c == '[') {
      if (open.size() == depth)
        open.emplace_back();
      open[depth].isObject = c == '{';
      open[depth].Clear();
      ++depth;
      expectKey = c == '{';
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    } else if (c == ',') {
      expectKey = depth > 0 && open[depth - 1].isObject;
    }
    cursor.Advance();
  }
  return std::string::npos;
}

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

bool NumberFromUnsigned(std::uint64_t n, std::uint32_t& number) {
  if (n > std::numeric_limits<std::uint32_t>::max())
    return false;
  number = static_cast<std::uint32_t>(n);
  return true;
}

// Negative values stand for codes with the top bit set (0xE000020B).
bool NumberFromSigned(std::int64_t n, std::uint32_t& number) {
  if (n < std::numeric_limits<std::int32_t>::min())
    return false;
  number = static_cast<std::uint32_t>(static_cast<std::int32_t>(n));
  return true;
}

// "0x" followed by one to eight hexadecimal digits.
bool NumberFromText(std::string_view text, std::uint32_t& number) {
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
    return false;
  }
  std::uint32_t parsed = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    parsed = parsed * 16 + digit;
  }
  number = parsed;
  return true;
}

bool ReadNumber(const Json& value, std::uint32_t& number) {
  if (value.is_number_unsigned())
    return NumberFromUnsigned(value.get<std::uint64_t>(), number);
  if (value.is_number_integer())
    return NumberFromSigned(value.get<std::int64_t>(), number);
  return value.is_string() && NumberFromText(value.get_ref<const std::string&>(), number);
}

constexpr std::array<std::pair<const char*, Operation>, kOperationCount> kFailKeys = {{
    {"instanceId", Operation::kInstanceId},
    {"friendlyName", Operation::kFriendlyName},
    {"description", Operation::kDescription},
    {"setFriendlyName", Operation::kSetFriendlyName},
    {"setClassInstallParams", Operation::kSetClassInstallParams},
    {"callClassInstaller", Operation::kCallClassInstaller},
    {"status", Operation::kStatus},
}};

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

// Reads an ordinary device file in one pass straight into members. Any
// value, key or nesting it does not expect stops it; the checked path then
// decides, so this never accepts what that path refuses.
class QuickReader {
 public:
  using Json = nlohmann::json;

  explicit QuickReader(Model& model) : model_(model), members_(*model.members) {}

  bool null() {
    // A null keeps the default of a known member field or top-level key.
    return (level_ == Level::kTop || level_ == Level::kMember) && field_ != Field::kNone;
  }
  bool boolean(bool value) {
    if (level_ != Level::kMember || field_ != Field::kPresent)
      return false;
    members_.back().present = value;
    return true;
  }
  bool number_integer(Json::number_integer_t value) {
    std::uint32_t number = 0;
    return NumberFromSigned(value, number) && Number(number);
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    std::uint32_t number = 0;
    return NumberFromUnsigned(value, number) && Number(number);
  }
  bool number_float(Json::number_float_t, const Json::string_t&) { return false; }
  bool binary(Json::binary_t&) { return false; }

  bool string(Json::string_t& value) {
    if (level_ == Level::kMember) {
      Member& member = members_.back();
      switch (field_) {
        case Field::kInstanceId:
          if (value.empty())
            return false;
          member.instanceId = value;
          hasInstanceId_ = true;
          return true;
        case Field::kFriendlyName:
          member.friendlyName = value;
          return true;
        case Field::kDescription:
          member.description = value;
          return true;
        case Field::kClassGuid:
          return ParseGuid(value, member.classGuid);
        default:
          break;
      }
    }
    std::uint32_t number = 0;
    return NumberFromText(value, number) && Number(number);
  }

  bool start_object(std::size_t) {
    if (level_ == Level::kStart) {
      level_ = Level::kTop;
    } else if (level_ == Level::kDevices) {
      const std::size_t index = members_.size();
      Member& member = members_.emplace_back();
      member.fileIndex = index;
      member.devInst = static_cast<std::uint32_t>(index + 1);
      hasInstanceId_ = false;
      level_ = Level::kMember;
    } else if (level_ == Level::kMember && field_ == Field::kFail) {
      level_ = Level::kFail;
    } else {
      return false;
    }
    Seen() = 0;
    field_ = Field::kNone;
    return true;
  }

  bool end_object() {
    if (level_ == Level::kTop) {
      level_ = Level::kDone;
    } else if (level_ == Level::kMember) {
      Member& member = members_.back();
      if (!hasInstanceId_)
        member.instanceId = "ROOT\\UNKNOWN\\" + std::to_string(member.fileIndex);
      level_ = Level::kDevices;
    } else if (level_ == Level::kFail) {
      level_ = Level::kMember;
    }
    field_ = Field::kNone;
    return true;
  }

  bool start_array(std::size_t) {
    if (level_ != Level::kTop || field_ != Field::kDevices)
      return false;
    level_ = Level::kDevices;
    return true;
  }
  bool end_array() {
    level_ = Level::kTop;
    field_ = Field::kNone;
    return true;
  }

  bool key(Json::string_t& name) {
    std::size_t bit = 0;
    if (level_ == Level::kTop) {
      static constexpr std::array<std::pair<std::string_view, Field>, 2> kKeys = {{
          {"openError", Field::kOpenError},
          {"devices", Field::kDevices},
      }};
      bit = Find(kKeys, name);
    } else if (level_ == Level::kMember) {
      static constexpr std::array<std::pair<std::string_view, Field>, 9> kKeys = {{
          {"instanceId", Field::kInstanceId},
          {"friendlyName", Field::kFriendlyName},
          {"description", Field::kDescription},
          {"classGuid", Field::kClassGuid},
          {"devInst", Field::kDevInst},
          {"status", Field::kStatus},
          {"problem", Field::kProblem},
          {"present", Field::kPresent},
          {"fail", Field::kFail},
      }};
      bit = Find(kKeys, name);
    } else if (level_ == Level::kFail) {
      const auto known = std::find_if(kFailKeys.begin(), kFailKeys.end(),
                                      [&name](const auto& entry) { return name == entry.first; });
      if (known != kFailKeys.end()) {
        operation_ = known->second;
        field_ = Field::kFailure;
        bit = std::size_t{1} << static_cast<std::size_t>(operation_);
      }
    }
    // Unknown keys and repeated ones are for the checked path to explain.
    if (bit == 0 || (Seen() & bit) != 0)
      return false;
    Seen() |= bit;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  enum class Level { kStart, kTop, kDevices, kMember, kFail, kDone };
  enum class Field {
    kNone,
    kOpenError,
    kDevices,
    kInstanceId,
    kFriendlyName,
    kDescription,
    kClassGuid,
    kDevInst,
    kStatus,
    kProblem,
    kPresent,
    kFail,
    kFailure,
  };

  // Sets the field of a known key and returns a bit for it, or 0.
  template <std::size_t N>
  std::size_t Find(const std::array<std::pair<std::string_view, Field>, N>& keys,
                   const std::string& name) {
    for (std::size_t i = 0; i < N; ++i) {
      if (keys[i].first == name) {
        field_ = keys[i].second;
        return std::size_t{1} << i;
      }
    }
    return 0;
  }

  // The keys of the innermost open object so far, one bit each.
  std::size_t& Seen() {
    return level_ == Level::kTop ? topSeen_ : level_ == Level::kMember ? memberSeen_ : failSeen_;
  }

  bool Number(std::uint32_t number) {
    if (level_ == Level::kTop && field_ == Field::kOpenError) {
      model_.openError = number;
      return true;
    }
    if (level_ == Level::kFail && field_ == Field::kFailure) {
      if (operation_ == Operation::kStatus && number == CR_SUCCESS)
        return false;
      members_.back().failures[static_cast<std::size_t>(operation_)] = number;
      return true;
    }
    if (level_ != Level::kMember)
      return false;
    Member& member = members_.back();
    switch (field_) {
      case Field::kDevInst:
        member.devInst = number;
        return true;
      case Field::kStatus:
        member.status = number;
        return true;
      case Field::kProblem:
        member.problem = number;
        return true;
      default:
        return false;
    }
  }

  Model& model_;
  Members& members_;
  Level level_ = Level::kStart;
  Field field_ = Field::kNone;
  Operation operation_ = Operation::kInstanceId;
  std::size_t topSeen_ = 0;
  std::size_t memberSeen_ = 0;
  std::size_t failSeen_ = 0;
  bool hasInstanceId_ = false;
};

struct CaseInsensitiveHash {
  std::size_t operator()(std::string_view text) const {
    std::size_t hash = 14695981039346656037ull;
    for (const char c : text) {
      hash ^= static_cast<unsigned char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
      hash *= 1099511628211ull;
    }
    return hash;
  }
};

struct CaseInsensitiveEqual {
  bool operator()(std::string_view a, std::string_view b) const { return EqualsIgnoringCase(a, b); }
};

// Fills the sorted handle index; false when two present members share a handle.
bool IndexPresentHandles(Model& model) {
  const Members& members = *model.members;
  auto& index = model.presentByDevInst;
  index.clear();
  index.reserve(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (members[i].present)
      index.emplace_back(members[i].devInst, static_cast<std::uint32_t>(i));
  }
  // Handles usually come in file order already.
  if (!std::is_sorted(index.begin(), index.end()))
    std::sort(index.begin(), index.end());
  return std::adjacent_find(index.begin(), index.end(), [](const auto& a, const auto& b) {
           return a.first == b.first;
         }) == index.end();
}

}  // namespace

std::size_t LineAt(const std::string& text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + static_cast<std::size_t>(std::count(
                 text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

const Member* Model::FindPresent(std::uint32_t devInst) const {
  const auto it = std::lower_bound(presentByDevInst.begin(), presentByDevInst.end(),
                                   std::make_pair(devInst, std::uint32_t{0}));
  if (it == presentByDevInst.end() || it->first != devInst)
    return nullptr;
  return &(*members)[it->second];
}

bool ParseDeviceFileQuickly(const std::string& text, Model& model) {
  Model parsed;
  Members& members = *parsed.members;
  // Every member opens a brace: reserve for them, within reason for a text
  // whose braces are mostly inside strings.
  members.reserve(std::min<std::size_t>(
      static_cast<std::size_t>(std::count(text.begin(), text.end(), '{')), text.size() / 64));
  QuickReader reader(parsed);
  try {
    if (!nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &reader))
      return false;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  if (members.size() > std::numeric_limits<std::uint32_t>::max())
    return false;
  std::unordered_set<std::string_view, CaseInsensitiveHash, CaseInsensitiveEqual> instanceIds;
  instanceIds.reserve(members.size());
  for (const Member& member : members) {
    if (!instanceIds.insert(member.instanceId).second)
      return false;
  }
  if (!IndexPresentHandles(parsed))
    return false;
  if (members.capacity() > members.size() + members.size() / 4)
    members.shrink_to_fit();
  model = std::move(parsed);
  return true;
}

bool ParseDeviceFile(const std::string& text, Model& model, ParseError& error) {
  if (ParseDeviceFileQuickly(text, model))
    return true;
  Json document;
  return ParseDeviceDocument(text, model, document, error);
}

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

std::string_view Enumerator(std::string_view instanceId) {
  return instanceId.substr(0, instanceId.find('\\'));
}

void StoreState(Model& model, Json& document, std::size_t member, std::uint32_t status,
                std::uint32_t problem) {
  Member& m = (*model.members)[member];
  m.status = status;
  m.problem = problem;
  Json& entry = document["devices"][m.fileIndex];
  // Keep the form the user chose: a JSON number stays a number, a text a text.
  const auto write = [&entry](const char* key, std::uint32_t value, bool textByDefault) {
    const auto it = entry.find(key);
    const bool asText = (it == entry.end() || it->is_null()) ? textByDefault : it->is_string();
    if (asText) {
      entry[key] = FormatHex8(value);
    } else {
      entry[key] = value;
    }
  };
  write("status", status, true);
  write("problem", problem, false);
}

void StoreFriendlyName(Model& model, Json& document, std::size_t member, const std::string& name) {
  Member& m = (*model.members)[member];
  m.friendlyName = name;
  document["devices"][m.fileIndex]["friendlyName"] = name;
}

bool SerializeDocument(const Json& document, std::string& text) {
  try {
    text = document.dump(2, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::type_error&) {
    return false;
  }
  text += '\n';
  return true;
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07u;
    } else {
      return false;
    }
    if (i + length > text.size())
      return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    static constexpr std::array<std::uint32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace quillon::devices::devicefile
