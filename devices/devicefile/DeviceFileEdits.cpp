// The edits a change makes, in the member and in the document written back.
#include <array>

#include "devices/DeviceText.h"
#include "devices/devicefile/DeviceFileModel.h"

namespace quillon::devices::devicefile {

using Json = nlohmann::ordered_json;

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
