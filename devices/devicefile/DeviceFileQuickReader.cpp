// The quick reader: an ordinary device file read in one pass, straight into members.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "devices/devicefile/DeviceFileModel.h"
#include "devices/devicefile/DeviceFileReading.h"
#include "os/MemoryAdvice.h"

namespace quillon::devices::devicefile {

namespace {

// Bytes that stand for themselves inside a JSON string: printable ASCII
// except the quote and the backslash.
constexpr std::array<bool, 256> kPlainStringBytes = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c)
    plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

// A member's keys, in the order of kMemberKeys.
enum class MemberKey {
  kInstanceId,
  kFriendlyName,
  kDescription,
  kClassGuid,
  kDevInst,
  kStatus,
  kProblem,
  kPresent,
  kFail,
  kParentId,
  kHardwareIds,
  kCompatibleIds,
  kDriver,
  kDriverModule,
  kLocation,
};
constexpr std::array<std::string_view, kOperationCount> kFailKeyNames = [] {
  std::array<std::string_view, kOperationCount> names{};
  for (std::size_t i = 0; i < kOperationCount; ++i)
    names[static_cast<std::size_t>(kFailKeys[i].second)] = kFailKeys[i].first;
  return names;
}();

bool IsSpace(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

template <std::size_t N>
std::size_t KeyIndex(const std::array<std::string_view, N>& keys, std::string_view key) {
  return static_cast<std::size_t>(std::find(keys.begin(), keys.end(), key) - keys.begin());
}

// Reads an ordinary device file in one pass straight into members, following
// JSON's grammar strictly. Any value, key or form it does not expect (a byte
// order mark, a fraction, a key given twice or unknown, a null where no
// default applies) stops it; the checked reader then decides and explains, so
// this never accepts what that reader refuses, and fills members as it does.
class QuickReader {
 public:
  QuickReader(std::string_view text, Model& model)
      : p_(text.data()), end_(text.data() + text.size()), model_(model), members_(*model.members) {}

  bool Read() {
    if (!Take('{'))
      return false;
    const bool read = Object(kTopKeys, [this](std::size_t key) {
      if (Null())
        return true;
      if (key == 0)
        return Number(model_.openError);
      return Take('[') && Devices();
    });
    SkipSpace();
    return read && p_ == end_;
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  void SkipSpace() {
    // Every white-space character is a control character or the blank.
    while (p_ != end_ && static_cast<unsigned char>(*p_) <= ' ' && IsSpace(*p_))
      ++p_;
  }
  // Skips white space, then consumes `c` if it comes next.
  bool Take(char c) {
    SkipSpace();
    if (p_ == end_ || *p_ != c)
      return false;
    ++p_;
    return true;
  }
  bool Word(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return false;
    }
    p_ += word.size();
    return true;
  }
  // Consumes a null, the value that keeps a field's default.
  bool Null() {
    SkipSpace();
    return Word("null");
  }

  // At the '{' just consumed: reads the object's members, handing each key's
  // index in `keys` to `value`, which reads the value. Unknown keys and keys
  // given twice stop the reader.
  template <std::size_t N, typename ReadValue>
  bool Object(const std::array<std::string_view, N>& keys, ReadValue value) {
    static_assert(N <= 32);
    std::uint32_t seen = 0;
    if (Take('}'))
      return true;
    do {
      SkipSpace();
      std::string_view name;
      if (!String(name, keyScratch_))
        return false;
      const std::size_t key = KeyIndex(keys, name);
      if (key == N || (seen & (1u << key)) != 0)
        return false;
      seen |= 1u << key;
      if (!Take(':') || !value(key))
        return false;
    } while (Take(','));
    return Take('}');
  }

  // At the '[' just consumed: the members, each an object.
  bool Devices() {
    if (Take(']'))
      return true;
    do {
      if (!Take('{') || !Member())
        return false;
    } while (Take(','));
    return Take(']');
  }

  bool Member() {
    const std::size_t index = members_.size();
    if (index >= kMaxMembers)
      return false;
    devicefile::Member& member = members_.emplace_back();
    member.fileIndex = index;
    member.devInst = static_cast<std::uint32_t>(index + 1);
    bool hasInstanceId = false;
    const bool read = Object(kMemberKeys, [&](std::size_t key) {
      if (Null())
        return true;
      std::string_view text;
      switch (static_cast<MemberKey>(key)) {
        case MemberKey::kInstanceId:
          if (!String(text, valueScratch_) || text.empty())
            return false;
          member.instanceId.assign(text);
          hasInstanceId = true;
          return true;
        case MemberKey::kFriendlyName:
          return Text(member.friendlyName);
        case MemberKey::kDescription:
          return Text(member.description);
        case MemberKey::kClassGuid:
          return String(text, valueScratch_) && ParseGuid(text, member.classGuid);
        case MemberKey::kDevInst:
          return Number(member.devInst);
        case MemberKey::kStatus:
          return Number(member.status);
        case MemberKey::kProblem:
          return Number(member.problem);
        case MemberKey::kPresent:
          if (Word("true")) {
            member.present = true;
            return true;
          }
          if (Word("false")) {
            member.present = false;
            return true;
          }
          return false;
        case MemberKey::kFail:
          return Take('{') && Failures(member);
        case MemberKey::kParentId:
          return Text(member.parentId);
        case MemberKey::kHardwareIds:
          return Take('[') && Texts(member.hardwareIds.emplace());
        case MemberKey::kCompatibleIds:
          return Take('[') && Texts(member.compatibleIds.emplace());
        case MemberKey::kDriver:
          return Text(member.driver);
        case MemberKey::kDriverModule:
          return Text(member.driverModule);
        case MemberKey::kLocation:
          return Text(member.location);
      }
      return false;
    });
    if (!hasInstanceId)
      member.instanceId = "ROOT\\UNKNOWN\\" + std::to_string(index);
    return read;
  }

  bool Text(std::optional<std::string>& target) {
    std::string_view text;
    if (!String(text, valueScratch_))
      return false;
    target.emplace(text);
    return true;
  }

  // At the '[' just consumed: texts.
  bool Texts(std::vector<std::string>& texts) {
    if (Take(']'))
      return true;
    do {
      SkipSpace();
      std::string_view text;
      if (!String(text, valueScratch_))
        return false;
      texts.emplace_back(text);
    } while (Take(','));
    return Take(']');
  }

  bool Failures(devicefile::Member& member) {
    return Object(kFailKeyNames, [&](std::size_t key) {
      std::uint32_t code = 0;
      SkipSpace();
      if (!Number(code))
        return false;
      // A status query must fail with a non-zero result.
      if (static_cast<Operation>(key) == Operation::kStatus && code == CR_SUCCESS)
        return false;
      member.failures[key] = code;
      return true;
    });
  }

  // A JSON integer or a "0x..." text, at the value's first character.
  bool Number(std::uint32_t& number) {
    std::string_view text;
    if (p_ != end_ && *p_ == '"')
      return String(text, valueScratch_) && NumberFromText(text, number);
    const bool negative = p_ != end_ && *p_ == '-';
    if (negative)
      ++p_;
    if (p_ == end_ || !IsDigit(*p_))
      return false;
    std::uint64_t value = 0;
    if (*p_ == '0') {
      ++p_;
    } else {
      // Eleven digits are beyond 32 bits already.
      for (int digits = 0; p_ != end_ && IsDigit(*p_); ++p_) {
        if (++digits > 10)
          return false;
        value = value * 10 + static_cast<std::uint64_t>(*p_ - '0');
      }
    }
    // A fraction or an exponent makes a JSON float, which no field takes; a
    // digit after a leading zero is no JSON number.
    if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E' || IsDigit(*p_)))
      return false;
    return negative ? NumberFromSigned(-static_cast<std::int64_t>(value), number)
                    : NumberFromUnsigned(value, number);
  }

  // A JSON string at its opening quote. `text` views the file's text when the
  // string holds no escape, else `scratch` with the escapes decoded.
  bool String(std::string_view& text, std::string& scratch) {
    if (p_ == end_ || *p_ != '"')
      return false;
    const char* start = ++p_;
    SkipPlain();
    if (p_ != end_ && *p_ == '"') {
      text = std::string_view(start, static_cast<std::size_t>(p_ - start));
      ++p_;
      return true;
    }
    scratch.assign(start, p_);
    while (p_ != end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        text = scratch;
        return true;
      }
      if (c == '\\') {
        if (!Escape(scratch))
          return false;
      } else if (c >= 0x80) {
        // Raw UTF-8 must be well formed, as the document parser demands.
        const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (static_cast<std::size_t>(end_ - p_) < length ||
            !IsValidUtf8(std::string_view(p_, length))) {
          return false;
        }
        scratch.append(p_, length);
        p_ += length;
      } else {
        return false;  // a control character
      }
      const char* run = p_;
      SkipPlain();
      scratch.append(run, p_);
    }
    return false;
  }

  // Moves to the first byte of a string that does not stand for itself,
  // eight bytes at a time while there are eight.
  void SkipPlain() {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHigh = 0x8080808080808080;
    // Non-zero when a byte of `v` is zero; its lowest flagged byte is the first.
    const auto zeroBytes = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    while (end_ - p_ >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, p_, sizeof word);
      const std::uint64_t special = zeroBytes(word ^ (kOnes * '"')) |
                                    zeroBytes(word ^ (kOnes * '\\')) |
                                    ((word - kOnes * 0x20) & ~word & kHigh) | (word & kHigh);
      if (special != 0) {
        if constexpr (std::endian::native == std::endian::little)
          p_ += std::countr_zero(special) / 8;
        break;
      }
      p_ += 8;
    }
    while (p_ != end_ && kPlainStringBytes[static_cast<unsigned char>(*p_)])
      ++p_;
  }

  // At a backslash inside a string: appends the character it stands for.
  bool Escape(std::string& scratch) {
    if (end_ - p_ < 2)
      return false;
    const char kind = p_[1];
    p_ += 2;
    switch (kind) {
      case '"':
      case '\\':
      case '/':
        scratch += kind;
        return true;
      case 'b':
        scratch += '\b';
        return true;
      case 'f':
        scratch += '\f';
        return true;
      case 'n':
        scratch += '\n';
        return true;
      case 'r':
        scratch += '\r';
        return true;
      case 't':
        scratch += '\t';
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    std::uint32_t codePoint = 0;
    if (!Hex4(codePoint))
      return false;
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
      // A high surrogate needs its low one right after it.
      std::uint32_t low = 0;
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
        return false;
      p_ += 2;
      if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF)
        return false;
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
    } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
      return false;
    }
    AppendUtf8(scratch, codePoint);
    return true;
  }

  bool Hex4(std::uint32_t& value) {
    if (end_ - p_ < 4)
      return false;
    value = 0;
    for (int i = 0; i < 4; ++i, ++p_) {
      const char c = *p_;
      std::uint32_t digit = 0;
      if (!HexDigit(c, digit))
        return false;
      value = value * 16 + digit;
    }
    return true;
  }

  static void AppendUtf8(std::string& text, std::uint32_t codePoint) {
    const auto byte = [&text](std::uint32_t value) { text += static_cast<char>(value); };
    if (codePoint < 0x80) {
      byte(codePoint);
    } else if (codePoint < 0x800) {
      byte(0xC0 | (codePoint >> 6));
      byte(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
      byte(0xE0 | (codePoint >> 12));
      byte(0x80 | ((codePoint >> 6) & 0x3F));
      byte(0x80 | (codePoint & 0x3F));
    } else {
      byte(0xF0 | (codePoint >> 18));
      byte(0x80 | ((codePoint >> 12) & 0x3F));
      byte(0x80 | ((codePoint >> 6) & 0x3F));
      byte(0x80 | (codePoint & 0x3F));
    }
  }

  const char* p_;
  const char* end_;
  Model& model_;
  Members& members_;
  std::string keyScratch_;
  std::string valueScratch_;
};

// An upper bound of the members: each opens a brace right after the
// array's "[" or a ",", white space aside (the braces of GUIDs and "fail"
// objects follow a quote or a colon).
std::size_t CountMemberBraces(std::string_view text) {
  std::size_t count = 0;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  for (const char* brace = begin;
       (brace = static_cast<const char*>(
            std::memchr(brace, '{', static_cast<std::size_t>(end - brace)))) != nullptr;
       ++brace) {
    const char* before = brace;
    while (before != begin && IsSpace(before[-1]))
      --before;
    if (before != begin && (before[-1] == '[' || before[-1] == ','))
      ++count;
  }
  return count;
}

}  // namespace

// A raw NUL needs no pass of its own here: it is neither a token nor a byte a
// string may hold, so the scan refuses it wherever it stands.
bool ParseDeviceFileQuickly(const std::string& text, Model& model) {
  Model parsed;
  Members& members = *parsed.members;
  // Reserved once, so that the members are not moved, within reason for a
  // text whose braces are mostly inside strings.
  members.reserve(std::min(CountMemberBraces(text), text.size() / 64));
  AdviseHugePages(members.data(), members.capacity() * sizeof(Member));
  if (!QuickReader(text, parsed).Read())
    return false;
  if (members.size() > std::numeric_limits<std::uint32_t>::max() - 1 || !IndexInstanceIds(parsed) ||
      !IndexPresentHandles(parsed)) {
    return false;
  }
  if (members.capacity() > members.size() + members.size() / 4)
    members.shrink_to_fit();
  model = std::move(parsed);
  return true;
}

}  // namespace quillon::devices::devicefile
