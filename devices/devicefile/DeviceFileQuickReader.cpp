// The quick reader: an ordinary device file read in one pass, straight into members.
#include <algorithm>
#include <limits>
#include <unordered_set>

#include "DeviceFileModel.h"
#include "DeviceFileReading.h"

namespace quillon::devices::devicefile {

namespace {

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

}  // namespace

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

}  // namespace quillon::devices::devicefile
