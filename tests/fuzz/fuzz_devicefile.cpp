// The device-file readers on any bytes: neither crashes nor throws; the
// quick reader never takes a file the checked one refuses, and both read
// the same members; a refusal says where and why on one short line; a file
// that opens reads back the same after it is written, and an edit changes
// its member only.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "devices/DeviceText.h"
#include "devices/devicefile/DeviceFileModel.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

using namespace quillon::devices;
using namespace quillon::devices::devicefile;

std::vector<std::string> Dump(const Model& model) {
  std::vector<std::string> lines = {std::to_string(model.openError)};
  for (const Member& m : *model.members) {
    std::ostringstream line;
    line << m.fileIndex << '|' << m.instanceId << '|' << m.friendlyName.value_or("-") << '|'
         << m.friendlyName.has_value() << m.description.value_or("-") << '|'
         << m.description.has_value() << FormatGuid(m.classGuid) << '|' << m.devInst << '|'
         << m.status << '|' << m.problem << '|' << m.present;
    for (const auto& failure : m.failures)
      line << '|' << (failure ? std::to_string(*failure) : "-");
    for (const auto* text : {&m.parentId, &m.driver, &m.driverModule, &m.location})
      line << '|' << text->has_value() << text->value_or("");
    for (const auto* ids : {&m.hardwareIds, &m.compatibleIds}) {
      line << '|' << ids->has_value();
      for (const std::string& id : ids->value_or(std::vector<std::string>()))
        line << id << '\x1f';
    }
    lines.push_back(line.str());
  }
  for (const auto& [devInst, index] : model.presentByDevInst)
    lines.push_back(std::to_string(devInst) + "@" + std::to_string(index));
  return lines;
}

// Writes the document and reads it again: the same model.
bool RoundTrip(const nlohmann::ordered_json& document, Model& model,
               nlohmann::ordered_json& again) {
  std::string text;
  FUZZ_CHECK(SerializeDocument(document, text));  // its texts were valid UTF-8 when read
  ParseError error;
  return ParseDeviceDocument(text, model, again, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Model quick;
  const bool quickTook = ParseDeviceFileQuickly(text, quick);
  Model checked;
  nlohmann::ordered_json document;
  ParseError error;
  const bool checkedTook = ParseDeviceDocument(text, checked, document, error);

  if (quickTook) {
    FUZZ_CHECK(checkedTook);
    FUZZ_CHECK(Dump(quick) == Dump(checked));
  }
  if (!checkedTook) {
    FUZZ_CHECK(error.line >= 1 && error.line <= LineAt(text, text.size()));
    FUZZ_CHECK(!error.reason.empty() && error.reason.size() <= 300);
    FUZZ_CHECK(!HasControlCharacter(error.reason));
    return 0;
  }

  Model reread;
  nlohmann::ordered_json rereadDocument;
  FUZZ_CHECK(RoundTrip(document, reread, rereadDocument));
  FUZZ_CHECK(Dump(reread) == Dump(checked));

  // Edit the first member as a change would, and read the result back.
  if (checked.members->empty())
    return 0;
  const std::vector<std::string> before = Dump(checked);
  StoreState(checked, document, 0, checked.members->front().status ^ DN_STARTED, 22);
  StoreFriendlyName(checked, document, 0, "Renamed");
  Model edited;
  nlohmann::ordered_json editedDocument;
  FUZZ_CHECK(RoundTrip(document, edited, editedDocument));
  const Member& first = edited.members->front();
  FUZZ_CHECK(first.problem == 22 && first.friendlyName == "Renamed");
  const std::vector<std::string> after = Dump(edited);
  FUZZ_CHECK(after.size() == before.size());
  for (std::size_t i = 0; i < after.size(); ++i)
    FUZZ_CHECK(i == 1 || after[i] == before[i]);  // line 1 is the first member
  return 0;
}
