#include "tools/DeviceSnapshot.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>
#include <unordered_set>

#include "devices/DeviceText.h"

namespace quillon::tools {

namespace {

using namespace devices;

TextRead ReadInstanceId(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data) {
  std::array<char, kTextBufferSize> buffer{};
  std::uint32_t required = 0;
  if (!service.SetupDiGetDeviceInstanceIdA(set, &data, buffer.data(), kTextBufferSize, &required))
    return {std::nullopt, service.GetLastError()};
  buffer.back() = '\0';
  return {std::string(buffer.data()), 0};
}

TextRead ReadProperty(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data,
                      std::uint32_t property) {
  std::array<char, kTextBufferSize> buffer{};
  std::uint32_t type = 0;
  std::uint32_t required = 0;
  if (!service.SetupDiGetDeviceRegistryPropertyA(set, &data, property, &type,
                                                 reinterpret_cast<std::uint8_t*>(buffer.data()),
                                                 kTextBufferSize, &required)) {
    return {std::nullopt, service.GetLastError()};
  }
  buffer.back() = '\0';
  return {std::string(buffer.data()), 0};
}

IdList ReadIdList(DeviceService& service, HDEVINFO set, const SP_DEVINFO_DATA& data,
                  std::uint32_t property) {
  // Most lists fit the first buffer, on the stack.
  std::array<std::uint8_t, 1024> first{};
  std::vector<std::uint8_t> larger;
  std::uint8_t* buffer = first.data();
  std::size_t size = first.size();
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::uint32_t type = 0;
    std::uint32_t required = 0;
    if (service.SetupDiGetDeviceRegistryPropertyA(set, &data, property, &type, buffer,
                                                  static_cast<std::uint32_t>(size), &required)) {
      // Up to the list's two NULs in the buffer, which started zeroed: the
      // size reported is not to be trusted (Wine's differs from the bytes).
      return IdList::FromMultiText(std::string_view(reinterpret_cast<const char*>(buffer), size));
    }
    if (service.GetLastError() != error::kInsufficientBuffer || required <= size ||
        required > 1 << 20) {
      break;
    }
    larger.resize(required);
    buffer = larger.data();
    size = larger.size();
  }
  return {};
}

std::optional<std::string> ReadNodeId(DeviceService& service, std::uint32_t devInst,
                                      std::uint32_t& result) {
  std::array<char, kTextBufferSize> buffer{};
  result = service.CM_Get_Device_IDA(devInst, buffer.data(), kTextBufferSize, 0);
  if (result != CR_SUCCESS)
    return std::nullopt;
  buffer.back() = '\0';
  return std::string(buffer.data());
}

// The parent's handle, and with `withId` its instance ID: none for a root or
// where the source has no tree.
void ReadParent(DeviceService& service, DeviceEntry& device, bool withId) {
  std::uint32_t parent = 0;
  device.parentResult = service.CM_Get_Parent(&parent, device.devInst, 0);
  if (device.parentResult != CR_SUCCESS)
    return;
  if (!withId) {
    device.parentDevInst = parent;
    return;
  }
  device.parentId = ReadNodeId(service, parent, device.parentResult);
  if (device.parentId)
    device.parentDevInst = parent;
}

// The nodes above the listed ones that the listing does not hold, up to the
// roots; a bounded walk, whatever loops a source may have. False when the
// bound cut it short. With `parentRead` (a device's parent was read), the
// walk also reads the parents of the listed devices it passes through whose
// parents were not read, so that a tree of some devices places them as a
// tree of all would.
bool ReadAncestors(DeviceService& service, std::vector<DeviceEntry>& devices,
                   std::vector<bool>* parentRead, bool withIds, std::vector<Ancestor>& ancestors) {
  // The listed handles sorted in one block (sources list them in order,
  // mostly), the first device with a handle standing for it as in the tree;
  // only the few nodes above them go into a set.
  std::vector<std::pair<std::uint32_t, std::size_t>> listed;
  listed.reserve(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i)
    listed.emplace_back(devices[i].devInst, i);
  const auto byHandle = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (!std::is_sorted(listed.begin(), listed.end(), byHandle))
    std::stable_sort(listed.begin(), listed.end(), byHandle);
  const auto listedAt = [&](std::uint32_t devInst) -> std::optional<std::size_t> {
    const auto found = std::lower_bound(
        listed.begin(), listed.end(), std::pair<std::uint32_t, std::size_t>(devInst, 0), byHandle);
    if (found == listed.end() || found->first != devInst)
      return std::nullopt;
    return found->second;
  };
  std::unordered_set<std::uint32_t> above;
  std::vector<std::uint32_t> pending;
  // Pending when not seen yet: a node no listing holds, or a listed device
  // whose parent is still to be read.
  const auto meet = [&](std::uint32_t devInst) {
    if (const auto at = listedAt(devInst)) {
      if (parentRead != nullptr && !(*parentRead)[*at]) {
        (*parentRead)[*at] = true;
        pending.push_back(devInst);
      }
    } else if (above.insert(devInst).second) {
      pending.push_back(devInst);
    }
  };
  // Siblings mostly follow each other: their parent is looked up once.
  std::optional<std::uint32_t> last;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const DeviceEntry& device = devices[i];
    if (!device.parentDevInst || device.parentDevInst == last ||
        (parentRead != nullptr && !(*parentRead)[i])) {
      continue;
    }
    last = device.parentDevInst;
    meet(*last);
  }
  constexpr std::size_t kMostAncestors = 4096;
  while (!pending.empty() && ancestors.size() < kMostAncestors) {
    const std::uint32_t devInst = pending.back();
    pending.pop_back();
    if (const auto at = listedAt(devInst)) {
      DeviceEntry& device = devices[*at];
      ReadParent(service, device, withIds);
      if (device.parentDevInst)
        meet(*device.parentDevInst);
      continue;
    }
    std::uint32_t result = 0;
    std::optional<std::string> id = ReadNodeId(service, devInst, result);
    if (!id)
      continue;
    Ancestor ancestor{std::move(*id), devInst, std::nullopt, std::nullopt};
    std::uint32_t parent = 0;
    if (service.CM_Get_Parent(&parent, devInst, 0) == CR_SUCCESS) {
      ancestor.parentId = ReadNodeId(service, parent, result);
      if (ancestor.parentId) {
        ancestor.parentDevInst = parent;
        meet(parent);
      }
    }
    ancestors.push_back(std::move(ancestor));
  }
  return pending.empty();
}

// `text` for a note: its bytes that are not UTF-8 as \xHH, control
// characters escaped as in any diagnostic line.
std::string ShowBytes(std::string_view text) {
  std::string shown;
  for (std::size_t at = 0; at < text.size() && shown.size() < 80;) {
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      std::array<char, 5> hex{};
      std::snprintf(hex.data(), hex.size(), "\\x%02X", static_cast<unsigned char>(text[at]));
      shown += hex.data();
      ++at;
    } else {
      shown += EscapeForDiagnostics(text.substr(at, length), 8);
      at += length;
    }
  }
  return shown;
}

// Reading a missing property fails with this code on every source, so a
// device file leaves the property out instead of naming the failure.
constexpr std::uint32_t kMissing = error::kInvalidData;

}  // namespace

IdList IdList::FromMultiText(std::string_view bytes) {
  // Past each text's NUL, up to an empty text or the end.
  std::size_t at = 0;
  while (at < bytes.size() && bytes[at] != '\0')
    at = std::min(bytes.find('\0', at), bytes.size()) + 1;
  IdList list;
  const std::string_view texts = bytes.substr(0, std::min(at, bytes.size()));
  if (texts.empty())
    return list;
  // Zeroed: the last text's NUL, should it have run to the end, and the
  // list's own.
  const std::shared_ptr<char[]> block = std::make_shared<char[]>(texts.size() + 2);
  std::memcpy(block.get(), texts.data(), texts.size());
  list.block_ = block;
  return list;
}

void RereadState(DeviceService& service, DeviceEntry& device) {
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
  device.statusResult = service.CM_Get_DevNode_Status(&status, &problem, device.devInst, 0);
  device.status = device.statusResult == CR_SUCCESS ? status : 0;
  device.problem = device.statusResult == CR_SUCCESS ? problem : 0;
}

Snapshot ReadSnapshot(DeviceService& service, unsigned what, const Rejection& rejects) {
  Snapshot snapshot;
  DeviceInfoSetPtr set = OpenPresentDevices(service, "");
  if (set == nullptr) {
    snapshot.openError = service.GetLastError();
    return snapshot;
  }
  snapshot.opened = true;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;  // 32 on 64-bit Windows, 28 on 32-bit
  for (std::uint32_t index = 0; service.SetupDiEnumDeviceInfo(set.get(), index, &data); ++index) {
    DeviceEntry device;
    device.instanceId = ReadInstanceId(service, set.get(), data);
    device.friendlyName = ReadProperty(service, set.get(), data, SPDRP_FRIENDLYNAME);
    device.description = ReadProperty(service, set.get(), data, SPDRP_DEVICEDESC);
    // Exactly quillon's name, failures included.
    ReadDisplayName(service, set.get(), data, device.name);
    device.classGuid = data.ClassGuid;
    device.devInst = data.DevInst;
    // The query may succeed without writing (Wine): start from zero.
    device.statusResult =
        service.CM_Get_DevNode_Status(&device.status, &device.problem, data.DevInst, 0);
    // What a rejection may ask about first, cheapest first, each asked
    // about once; the rest only for a device it keeps.
    bool kept = !rejects || !rejects(device, kReadBasic);
    if ((what & kReadHardwareIds) != 0 && kept) {
      device.hardwareIds = ReadIdList(service, set.get(), data, SPDRP_HARDWAREID);
      kept = !rejects || !rejects(device, kReadHardwareIds);
    }
    if ((what & kReadDrivers) != 0 && kept) {
      device.driver = ReadProperty(service, set.get(), data, SPDRP_SERVICE);
      device.driverModule = ReadProperty(service, set.get(), data, kPropertyDriverModule);
      kept = !rejects || !rejects(device, kReadDrivers);
    }
    if (rejects)
      snapshot.kept.push_back(kept);
    if ((what & kReadParents) != 0 && kept)
      ReadParent(service, device, (what & kReadParentIds) == kReadParentIds);
    if ((what & kReadCompatibleIds) != 0 && kept)
      device.compatibleIds = ReadIdList(service, set.get(), data, SPDRP_COMPATIBLEIDS);
    if ((what & kReadLocation) != 0 && kept)
      device.location = ReadProperty(service, set.get(), data, SPDRP_LOCATION_INFORMATION);
    device.identityRead = what == kReadAll && kept;
    snapshot.devices.push_back(std::move(device));
  }
  if (service.GetLastError() != error::kNoMoreItems)
    snapshot.enumError = service.GetLastError();
  const bool withIds = (what & kReadParentIds) == kReadParentIds;
  std::vector<bool> parentRead = snapshot.kept;  // a device's parent is read (or asked for)
  if ((what & kReadParents) != 0 &&
      !ReadAncestors(service, snapshot.devices, rejects ? &parentRead : nullptr, withIds,
                     snapshot.ancestors) &&
      !withIds) {
    // Parents beyond the walk's bound stand by their IDs, as with them read.
    for (DeviceEntry& device : snapshot.devices) {
      if (device.parentDevInst) {
        device.parentId = ReadNodeId(service, *device.parentDevInst, device.parentResult);
        if (!device.parentId)
          device.parentDevInst.reset();
      }
    }
  }
  return snapshot;
}

std::string ReportLine(const DeviceEntry& device) {
  return EnumDevicesLine(device.name, device.status, device.problem);
}

std::string DeviceLine(const DeviceEntry& device) {
  std::string line = device.instanceId.text.value_or("-");
  BlankControlCharacters(line);
  line += ' ';
  AppendEnumDevicesLine(line, device.name, device.status, device.problem);
  return line;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      std::array<char, 7> escaped{};
      std::snprintf(escaped.data(), escaped.size(), "\\u%04X", c);
      out += escaped.data();
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out + '"';
}

namespace {

template <typename Texts>
std::string JsonArrayOf(const Texts& texts) {
  std::string out = "[";
  for (const std::string_view text : texts)
    out += (out.size() > 1 ? ", " : "") + JsonString(text);
  return out + ']';
}

}  // namespace

std::string JsonArray(const std::vector<std::string>& texts) {
  return JsonArrayOf(texts);
}

std::string JsonArray(const IdList& texts) {
  return JsonArrayOf(texts);
}

std::string DeviceJson(const DeviceEntry& device) {
  const auto text = [](const TextRead& read) {
    return read.text ? JsonString(*read.text) : std::string("null");
  };
  const auto className = SetupClassNameOf(device.classGuid);
  const bool statusRead = device.statusResult == CR_SUCCESS;
  std::ostringstream out;
  out << "{\"instanceId\": " << text(device.instanceId) << ", \"name\": " << JsonString(device.name)
      << ", \"friendlyName\": " << text(device.friendlyName)
      << ", \"description\": " << text(device.description)
      << ", \"className\": " << (className ? JsonString(*className) : "null")
      << ", \"classGuid\": " << JsonString(FormatGuid(device.classGuid))
      << ", \"devInst\": " << FormatSigned(device.devInst)
      << ", \"status\": " << (statusRead ? JsonString(FormatHex8(device.status)) : "null")
      << ", \"problem\": " << (statusRead ? std::to_string(device.problem) : "null")
      << ", \"problemText\": " << (statusRead ? JsonString(ProblemText(device.problem)) : "null");
  if (device.identityRead) {
    out << ", \"parentId\": " << (device.parentId ? JsonString(*device.parentId) : "null")
        << ", \"hardwareIds\": " << JsonArray(device.hardwareIds)
        << ", \"compatibleIds\": " << JsonArray(device.compatibleIds)
        << ", \"driver\": " << text(device.driver)
        << ", \"driverModule\": " << text(device.driverModule)
        << ", \"location\": " << text(device.location);
  }
  out << '}';
  return out.str();
}

void WriteJson(const std::vector<DeviceEntry>& devices, std::ostream& out) {
  out << '[';
  const char* separator = "\n";
  for (const DeviceEntry& device : devices) {
    out << separator << "  " << DeviceJson(device);
    separator = ",\n";
  }
  out << (devices.empty() ? "]\n" : "\n]\n");
}

void WriteDeviceFile(const std::vector<DeviceEntry>& devices, std::ostream& out,
                     std::vector<std::string>& notes) {
  WriteDeviceFile(devices, {}, out, notes);
}

void WriteDeviceFile(const Snapshot& snapshot, std::ostream& out, std::vector<std::string>& notes) {
  WriteDeviceFile(snapshot.devices, snapshot.ancestors, out, notes);
}

void WriteDeviceFile(const std::vector<DeviceEntry>& devices,
                     const std::vector<Ancestor>& ancestors, std::ostream& out,
                     std::vector<std::string>& notes) {
  // Instance IDs, as the file compares them: ignoring the case of ASCII letters.
  using IdSet = std::unordered_set<std::string, HashIgnoringCase, EqualIgnoringCase>;
  IdSet taken;
  for (const DeviceEntry& device : devices) {
    if (device.instanceId.text)
      taken.insert(*device.instanceId.text);
  }
  IdSet written;

  out << "{\n  \"openError\": 0,\n  \"devices\": [";
  const char* separator = "\n";
  for (std::size_t index = 0; index < devices.size(); ++index) {
    const DeviceEntry& device = devices[index];
    std::string fail;
    const auto failure = [&fail](const char* what, std::uint32_t code) {
      fail += std::string(fail.empty() ? "" : ", ") + '"' + what + "\": " + FormatSigned(code);
    };
    out << separator << "    {";
    if (device.instanceId.text) {
      const std::string& original = *device.instanceId.text;
      // The file holds each instance ID once; quillon never shows them.
      std::string id = original;
      for (int n = 2; written.count(id) != 0 || (id != original && taken.count(id) != 0); ++n) {
        id = original + '&' + std::to_string(n);
      }
      if (id != original) {
        notes.push_back("the instance ID " + original +
                        " is held by more than one device; this one is written as " + id);
      }
      written.insert(id);
      out << "\"instanceId\": " << JsonString(id) << ", ";
    } else {
      // Some ID the file can hold, unreadable all the same.
      std::string id;
      for (std::size_t n = index;; ++n) {
        id = "ROOT\\UNREADABLE\\" + std::to_string(n);
        if (taken.count(id) == 0 && written.count(id) == 0)
          break;
      }
      written.insert(id);
      out << "\"instanceId\": " << JsonString(id) << ", ";
      failure("instanceId", device.instanceId.error);
    }
    // A JSON text is UTF-8: other bytes cannot be kept, and are not dropped unsaid.
    const auto notUtf8 = [&](const char* what, const std::string& text) {
      if (!IsValidUtf8(text)) {
        notes.push_back("the " + std::string(what) + " of device " + std::to_string(index + 1) +
                        " (" + ShowBytes(text) +
                        ") holds bytes that are not UTF-8; each is written as U+FFFD");
      }
    };
    if (device.instanceId.text)
      notUtf8("instance ID", *device.instanceId.text);
    const auto property = [&](const char* what, const TextRead& read) {
      if (read.text)
        notUtf8(what, *read.text);
      if (read.text)
        out << '"' << what << "\": " << JsonString(*read.text) << ", ";
      else if (read.error != kMissing)
        failure(what, read.error);
    };
    property("friendlyName", device.friendlyName);
    property("description", device.description);
    out << "\"classGuid\": " << JsonString(FormatGuid(device.classGuid))
        << ", \"devInst\": " << FormatSigned(device.devInst);
    if (device.statusResult == CR_SUCCESS) {
      out << ", \"status\": " << JsonString(FormatHex8(device.status))
          << ", \"problem\": " << FormatSigned(device.problem);
    } else {
      failure("status", device.statusResult);
    }
    if (device.parentId)
      out << ", \"parentId\": " << JsonString(*device.parentId);
    if (!device.hardwareIds.empty())
      out << ", \"hardwareIds\": " << JsonArray(device.hardwareIds);
    if (!device.compatibleIds.empty())
      out << ", \"compatibleIds\": " << JsonArray(device.compatibleIds);
    for (const auto& [what, read] :
         {std::pair<const char*, const TextRead*>{"driver", &device.driver},
          {"driverModule", &device.driverModule},
          {"location", &device.location}}) {
      if (read->text)
        out << ", \"" << what << "\": " << JsonString(*read->text);
    }
    if (!fail.empty())
      out << ", \"fail\": {" << fail << '}';
    out << '}';
    separator = ",\n";
  }
  for (const Ancestor& ancestor : ancestors) {
    if (!written.insert(ancestor.instanceId).second)
      continue;
    out << separator << "    {\"instanceId\": " << JsonString(ancestor.instanceId)
        << ", \"present\": false";
    if (ancestor.parentId)
      out << ", \"parentId\": " << JsonString(*ancestor.parentId);
    out << '}';
    separator = ",\n";
  }
  out << (devices.empty() && ancestors.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace quillon::tools
