// The edits a change makes, in the member and in the document written back.
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

}  // namespace quillon::devices::devicefile
