// Names from the pci.ids / usb.ids databases. The file is mapped once and
// searched for the few top-level entries a device list needs (a vendor line
// starts at column 0 with its four hex digits), so opening costs nothing and
// each vendor costs one scan; nothing is parsed up front.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillon::devices::sysfs {

// A read-only memory map of a whole regular file; empty when it cannot be
// mapped, and for a file larger than kMaxMappedSize, which no ID database is
// (pci.ids has a few MiB) and whose every search would read it all.
class MappedFile {
 public:
  static constexpr std::uint64_t kMaxMappedSize = std::uint64_t{256} << 20;

  MappedFile() = default;
  explicit MappedFile(const std::string& path);
  // Maps the file open at `fd`, which the caller keeps and closes.
  explicit MappedFile(int fd);
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::string_view Text() const { return {data_, size_}; }

 private:
  void Reset();
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

class IdDatabase {
 public:
  IdDatabase() = default;
  // An empty database when the file is missing or unreadable.
  explicit IdDatabase(const std::string& path);
  // Where distributions keep `fileName` ("pci.ids", "usb.ids") under `root`
  // (empty for "/"): usr/share/misc (Debian), usr/share/hwdata (Fedora, Arch),
  // usr/share (openSUSE). The first that exists wins; empty when none does.
  // Links resolve within `root`, as in a chroot.
  static std::string Locate(const std::string& root, std::string_view fileName);
  // The database found there; empty when there is none.
  static IdDatabase Open(const std::string& root, std::string_view fileName);
  // The database in the file open at `fd`, which the caller keeps and closes.
  static IdDatabase FromDescriptor(int fd);
  // For tests: search `text` instead of a file.
  static IdDatabase FromText(std::string text);

  bool Empty() const { return Text().empty(); }

  // Vendor lines: "vvvv  Name", devices "\tdddd  Name", and under a device
  // "\t\tssss tttt  Name" (pci subsystem vendor and device).
  std::optional<std::string> DeviceName(std::uint16_t vendor, std::uint16_t device) const;
  std::optional<std::string> SubsystemName(std::uint16_t vendor, std::uint16_t device,
                                           std::uint16_t subVendor, std::uint16_t subDevice) const;
  // Class lines: "C cc  Name", "\tss  Name", "\t\tpp  Name". Each gives the
  // name of exactly that entry, or none when it is not listed.
  std::optional<std::string> ClassName(std::uint8_t classCode) const;
  std::optional<std::string> SubclassName(std::uint8_t classCode, std::uint8_t subclass) const;
  std::optional<std::string> InterfaceName(std::uint8_t classCode, std::uint8_t subclass,
                                           std::uint8_t interface) const;

 private:
  struct Entry {
    std::string_view name;
    std::string_view children;  // the text after the entry's line: its indented lines first
  };
  std::string_view Text() const;
  std::optional<Entry> TopLevel(const std::string& key) const;
  static std::optional<Entry> Nested(std::string_view block, int depth, const std::string& key);
  // The name at the end of a path: a top-level entry, then one key per
  // level of indentation below it.
  std::optional<std::string> Lookup(const std::string& topKey,
                                    std::initializer_list<std::string> nestedKeys) const;

  MappedFile file_;
  std::string ownedText_;
  mutable std::unordered_map<std::string, std::optional<Entry>> topLevelCache_;
  // Names found below a top-level line, by the keys that led there: a
  // machine has many devices of one model, and a maker's block can be
  // thousands of lines long.
  mutable std::unordered_map<std::string, std::optional<std::string>> nestedCache_;
};

}  // namespace quillon::devices::sysfs
