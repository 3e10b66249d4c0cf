// What quillon-devices reads from a device source, and the three ways it
// writes it out: one line per device keyed by instance ID, a JSON array, and
// a device file that replays the source (same names, classes, handles,
// status and problems in quillon, and the same failed reads).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devices/DeviceService.h"

namespace quillon::tools {

// A read that gives a text, or the error code it failed with.
struct TextRead {
  std::optional<std::string> text;
  std::uint32_t error = 0;  // meaningful when there is no text
};

// One present device as the service gave it.
struct DeviceEntry {
  TextRead instanceId;
  TextRead friendlyName;
  TextRead description;
  std::string name;  // as quillon lists it: empty when the instance ID cannot be read
  devices::GUID classGuid{};
  std::uint32_t devInst = 0;
  // The status query's result; status and problem stay 0 when it failed, as
  // quillon shows them then.
  std::uint32_t statusResult = devices::CR_SUCCESS;
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
};

struct Snapshot {
  bool opened = false;
  std::uint32_t openError = 0;  // when not opened
  std::vector<DeviceEntry> devices;
  // Why the enumeration stopped when it was not the normal end (259).
  std::optional<std::uint32_t> enumError;
};

Snapshot ReadSnapshot(devices::DeviceService& service);

// "<name>: 0x<status>(<problem text>)": the report log's enumDevices line,
// made by the same code, control characters blanked.
std::string ReportLine(const DeviceEntry& device);
// The same behind its key, the instance ID (control characters blanked too)
// and a blank; "-" stands for an unreadable instance ID.
std::string DeviceLine(const DeviceEntry& device);

// The --json array; the schema is in quillon-devices(1).
void WriteJson(const std::vector<DeviceEntry>& devices, std::ostream& out);

// A device file of these devices. Reads that failed are reproduced through
// the file's "fail" entries; a missing property (error 13) is left out.
// Instance IDs the file could not hold twice (equal ignoring case) get a
// "&<n>" suffix, and bytes that are not UTF-8 become U+FFFD (a JSON text
// holds nothing else); each such change is described in `notes`.
void WriteDeviceFile(const std::vector<DeviceEntry>& devices, std::ostream& out,
                     std::vector<std::string>& notes);

// `text` as a JSON string literal. Bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace quillon::tools
