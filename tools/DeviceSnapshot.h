// What quillon-devices reads from a device source, and the three ways it
// writes it out: one line per device keyed by instance ID, a JSON array, and
// a device file that replays the source (same names, classes, handles,
// status and problems in quillon, and the same failed reads).
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
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

// A device's IDs as a REG_MULTI_SZ value holds them, each followed by a NUL
// and the last by a second one, in one block that copies share (it never
// changes): a list costs one allocation, not one an ID, and a device that
// has none costs nothing. Iterates over the IDs as views into the block.
class IdList {
 public:
  struct End {};
  class Iterator {
   public:
    explicit Iterator(const char* at) : at_(at) {}
    std::string_view operator*() const { return at_; }
    Iterator& operator++() {
      at_ += std::char_traits<char>::length(at_) + 1;
      return *this;
    }
    bool operator==(End) const { return *at_ == '\0'; }

   private:
    const char* at_;
  };

  IdList() = default;
  // The texts of `bytes` up to each NUL, to the first empty one or the end.
  static IdList FromMultiText(std::string_view bytes);

  bool empty() const { return block_ == nullptr; }
  Iterator begin() const { return Iterator(block_ != nullptr ? block_.get() : ""); }
  End end() const { return {}; }

 private:
  std::shared_ptr<const char[]> block_;
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
  // Read only when asked for (ReadWhat). A property the source
  // does not have is an empty text or list; its failures are kept apart.
  bool identityRead = false;  // everything was read (kReadAll)
  // Read with the parents: the parent's handle (without kReadParentIds, also
  // one whose instance ID cannot be read: no node then stands for it). Near
  // the handle, which the tree reads with it.
  std::optional<std::uint32_t> parentDevInst;
  std::optional<std::string> parentId;  // none for a root, or unknown
  std::uint32_t parentResult = devices::CR_SUCCESS;
  IdList hardwareIds;
  IdList compatibleIds;
  TextRead driver;
  TextRead driverModule;
  TextRead location;
};

// What to read beyond the names, class and status, combined with |: the
// parents' handles (with the nodes above the listed ones), the hardware IDs,
// the driver and its module, the location, the compatible IDs, each parent's
// instance ID, or all (which the JSON and the device file write). The tree
// needs the handles alone.
enum ReadWhat : unsigned {
  kReadBasic = 0,
  kReadParents = 1,
  kReadHardwareIds = 2,
  kReadDrivers = 4,
  kReadLocation = 8,
  kReadCompatibleIds = 16,
  kReadParentIds = 32 | kReadParents,
  kReadAll = 63,
};

// A node above the listed ones that no listing holds (Windows' root, a PCI
// root on Linux): enough to place it in the tree.
struct Ancestor {
  std::string instanceId;
  std::uint32_t devInst = 0;
  std::optional<std::string> parentId;
  std::optional<std::uint32_t> parentDevInst;
};

struct Snapshot {
  bool opened = false;
  std::uint32_t openError = 0;  // when not opened
  std::vector<DeviceEntry> devices;
  // Why the enumeration stopped when it was not the normal end (259).
  std::optional<std::uint32_t> enumError;
  // Read with the parents: the parents, grandparents, ... not listed.
  std::vector<Ancestor> ancestors;
  // With a rejection: whether it kept each device.
  std::vector<bool> kept;
};

// Says from a device's names, class and status, and from what the ReadWhat
// bits in `read` name (read just now), that it is not wanted: what else
// `what` asks for is then not read for it,
// but for the parents of those above wanted ones, so that a tree places the
// wanted ones as with everything read.
using Rejection = std::function<bool(const DeviceEntry& device, unsigned read)>;

Snapshot ReadSnapshot(devices::DeviceService& service, unsigned what = kReadAll,
                      const Rejection& rejects = {});
// Reads the status and problem of one device again, by its handle: no set
// need stay open for it.
void RereadState(devices::DeviceService& service, DeviceEntry& device);

// "<name>: 0x<status>(<problem text>)": the report log's enumDevices line,
// made by the same code, control characters blanked.
std::string ReportLine(const DeviceEntry& device);
// The same behind its key, the instance ID (control characters blanked too)
// and a blank; "-" stands for an unreadable instance ID.
std::string DeviceLine(const DeviceEntry& device);

// One device as a JSON object, on one line.
std::string DeviceJson(const DeviceEntry& device);
// The --json array; the schema is in quillon-devices(1).
void WriteJson(const std::vector<DeviceEntry>& devices, std::ostream& out);

// A device file of these devices. Reads that failed are reproduced through
// the file's "fail" entries; a missing property (error 13) is left out.
// Instance IDs the file could not hold twice (equal ignoring case) get a
// "&<n>" suffix, and bytes that are not UTF-8 become U+FFFD (a JSON text
// holds nothing else); each such change is described in `notes`.
void WriteDeviceFile(const std::vector<DeviceEntry>& devices, std::ostream& out,
                     std::vector<std::string>& notes);
// The same, with the nodes above them that no listing holds written as
// absent members, so that the file replays the whole tree.
void WriteDeviceFile(const Snapshot& snapshot, std::ostream& out, std::vector<std::string>& notes);
void WriteDeviceFile(const std::vector<DeviceEntry>& devices,
                     const std::vector<Ancestor>& ancestors, std::ostream& out,
                     std::vector<std::string>& notes);

// A JSON array of string literals.
std::string JsonArray(const std::vector<std::string>& texts);
std::string JsonArray(const IdList& texts);

// `text` as a JSON string literal. Bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace quillon::tools
