#include "tools/DeviceChanges.h"

#include <unordered_map>

#include "devices/DeviceText.h"

namespace quillon::tools {

namespace {

using namespace devices;

// The instance ID, compared ignoring case; the handle when it cannot be read.
std::string KeyOf(const DeviceEntry& device) {
  return device.instanceId.text ? *device.instanceId.text : '#' + std::to_string(device.devInst);
}

bool StatusRead(const DeviceEntry& device) {
  return device.statusResult == CR_SUCCESS;
}

std::string StatusText(const DeviceEntry& device) {
  return StatusRead(device) ? FormatHex8(device.status) : "-";
}

std::string ProblemLine(const DeviceEntry& device) {
  return StatusRead(device)
             ? std::to_string(device.problem) + " (" + ProblemText(device.problem) + ")"
             : "-";
}

std::string Quoted(const std::optional<std::string>& text) {
  return text ? JsonString(*text) : "-";
}

std::string JsonOrNull(const std::optional<std::string>& text) {
  return text ? JsonString(*text) : "null";
}

}  // namespace

std::vector<DeviceChange> DiffDevices(const std::vector<DeviceEntry>& before,
                                      const std::vector<DeviceEntry>& after,
                                      const DeviceFilter& filter) {
  std::unordered_map<std::string, std::size_t, HashIgnoringCase, EqualIgnoringCase> earlier;
  earlier.reserve(before.size());
  for (std::size_t i = 0; i < before.size(); ++i)
    earlier.emplace(KeyOf(before[i]), i);
  std::vector<bool> stayed(before.size(), false);
  std::vector<DeviceChange> later;
  for (const DeviceEntry& now : after) {
    const auto found = earlier.find(KeyOf(now));
    if (found == earlier.end() || stayed[found->second]) {
      if (filter.Matches(now))
        later.push_back({DeviceChange::Kind::kAdded, {}, now});
      continue;
    }
    stayed[found->second] = true;
    const DeviceEntry& then = before[found->second];
    const bool status = StatusRead(then) != StatusRead(now) || then.status != now.status;
    const bool problem = StatusRead(then) != StatusRead(now) || then.problem != now.problem;
    const bool name = then.name != now.name;
    const bool driver = then.driver.text != now.driver.text;
    // Most devices stay as they were: only a change is copied.
    if ((status || problem || name || driver) && (filter.Matches(then) || filter.Matches(now))) {
      later.push_back({DeviceChange::Kind::kChanged, then, now, status, problem, name, driver});
    }
  }
  std::vector<DeviceChange> changes;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (!stayed[i] && filter.Matches(before[i]))
      changes.push_back({DeviceChange::Kind::kRemoved, before[i], {}});
  }
  changes.insert(changes.end(), std::make_move_iterator(later.begin()),
                 std::make_move_iterator(later.end()));
  return changes;
}

std::string ChangeLine(const DeviceChange& change) {
  switch (change.kind) {
    case DeviceChange::Kind::kAdded:
      return "added " + DeviceLine(change.after);
    case DeviceChange::Kind::kRemoved:
      return "removed " + DeviceLine(change.before);
    case DeviceChange::Kind::kChanged:
      break;
  }
  std::string id = change.after.instanceId.text.value_or("-");
  BlankControlCharacters(id);  // as in the lines of the listing
  std::string line = "changed " + id;
  const char* separator = " ";
  const auto add = [&](const char* what, const std::string& then, const std::string& now) {
    line += separator + std::string(what) + ' ' + then + " -> " + now;
    separator = ", ";
  };
  if (change.status)
    add("status", StatusText(change.before), StatusText(change.after));
  if (change.problem)
    add("problem", ProblemLine(change.before), ProblemLine(change.after));
  if (change.name)
    add("name", JsonString(change.before.name), JsonString(change.after.name));
  if (change.driver)
    add("driver", Quoted(change.before.driver.text), Quoted(change.after.driver.text));
  return line;
}

std::string ChangeJson(const DeviceChange& change) {
  static constexpr const char* kEvents[] = {"added", "removed", "changed"};
  const DeviceEntry& device =
      change.kind == DeviceChange::Kind::kRemoved ? change.before : change.after;
  std::string json = std::string("{\"event\": \"") + kEvents[static_cast<int>(change.kind)] +
                     "\", \"instanceId\": " + JsonOrNull(device.instanceId.text) +
                     ", \"name\": " + JsonString(device.name);
  if (change.kind == DeviceChange::Kind::kChanged) {
    json += ", \"changes\": {";
    const char* separator = "";
    const auto add = [&](const char* what, const std::string& members) {
      json += separator + std::string("\"") + what + "\": {" + members + '}';
      separator = ", ";
    };
    const auto status = [](const DeviceEntry& d) {
      return StatusRead(d) ? JsonString(FormatHex8(d.status)) : std::string("null");
    };
    const auto problem = [](const DeviceEntry& d) {
      return StatusRead(d) ? std::to_string(d.problem) : std::string("null");
    };
    const auto problemText = [](const DeviceEntry& d) {
      return StatusRead(d) ? JsonString(ProblemText(d.problem)) : std::string("null");
    };
    if (change.status)
      add("status",
          "\"before\": " + status(change.before) + ", \"after\": " + status(change.after));
    if (change.problem) {
      add("problem", "\"before\": " + problem(change.before) + ", \"after\": " +
                         problem(change.after) + ", \"beforeText\": " + problemText(change.before) +
                         ", \"afterText\": " + problemText(change.after));
    }
    if (change.name) {
      add("name", "\"before\": " + JsonString(change.before.name) +
                      ", \"after\": " + JsonString(change.after.name));
    }
    if (change.driver) {
      add("driver", "\"before\": " + JsonOrNull(change.before.driver.text) +
                        ", \"after\": " + JsonOrNull(change.after.driver.text));
    }
    json += '}';
  }
  return json + ", \"device\": " + DeviceJson(device) + '}';
}

}  // namespace quillon::tools
