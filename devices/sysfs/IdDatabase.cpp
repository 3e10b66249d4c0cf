#include "devices/sysfs/IdDatabase.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "devices/DeviceText.h"
#include "devices/sysfs/OpenBeneath.h"

namespace quillon::devices::sysfs {

MappedFile::MappedFile(const std::string& path) {
  // O_NONBLOCK: a FIFO in the database's place must not hold the start-up
  // until someone writes to it. Only a regular file is mapped.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;
  *this = MappedFile(fd);
  close(fd);
}

MappedFile::MappedFile(int fd) {
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      static_cast<std::uint64_t>(info.st_size) <= kMaxMappedSize) {
    void* map =
        mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
      data_ = static_cast<const char*>(map);
      size_ = static_cast<std::size_t>(info.st_size);
    }
  }
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    Reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  Reset();
}

void MappedFile::Reset() {
  if (data_ != nullptr)
    munmap(const_cast<char*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

namespace {

std::string Hex(unsigned value, int digits) {
  std::array<char, 9> text{};
  std::snprintf(text.data(), text.size(), "%0*x", digits, value);
  return text.data();
}

std::string_view LineAt(std::string_view text, std::size_t start) {
  const std::size_t end = text.find('\n', start);
  return text.substr(start, end == std::string_view::npos ? text.size() - start : end - start);
}

// "key  Name" with key compared ignoring case; the name without trailing blanks.
std::optional<std::string_view> NameAfterKey(std::string_view line, const std::string& key) {
  if (line.size() < key.size() + 2 || !EqualsIgnoringCase(line.substr(0, key.size()), key) ||
      line[key.size()] != ' ' || line[key.size() + 1] != ' ') {
    return std::nullopt;
  }
  std::string_view name = line.substr(key.size() + 2);
  while (!name.empty() && (name.back() == '\r' || name.back() == ' '))
    name.remove_suffix(1);
  if (name.empty())
    return std::nullopt;
  return name;
}

// Top-level lines come in order: vendors by their four lower-case hex
// digits, then the classes ("C xx"), then any other lists. The rank and key
// by which a line is ordered.
std::pair<int, std::string_view> OrderOf(std::string_view line) {
  const auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  if (line.size() >= 4 && std::all_of(line.begin(), line.begin() + 4, isHex))
    return {0, line.substr(0, 4)};
  if (line.size() >= 4 && line[0] == 'C' && line[1] == ' ')
    return {1, line.substr(2, 2)};
  return {2, {}};
}

// The start of the first top-level line (neither indented nor a comment)
// that starts in [from, to), or npos.
std::size_t NextTopLevel(std::string_view text, std::size_t from, std::size_t to) {
  std::size_t pos = from;
  if (pos > 0 && text[pos - 1] != '\n') {
    pos = text.find('\n', pos);
    pos = pos == std::string_view::npos ? text.size() : pos + 1;
  }
  while (pos < to) {
    if (text[pos] != '\t' && text[pos] != '#' && text[pos] != '\n')
      return pos;
    pos = text.find('\n', pos);
    pos = pos == std::string_view::npos ? text.size() : pos + 1;
  }
  return std::string_view::npos;
}

// Bisects the ordered top-level lines for the one `key` starts; npos when
// it is not found that way (an unordered file: then it is searched through).
std::size_t BisectTopLevel(std::string_view text, const std::string& key) {
  const std::string line = key + "  ";
  const std::pair<int, std::string_view> wanted = OrderOf(line);
  if (wanted.first == 2)
    return std::string_view::npos;
  std::size_t low = 0;
  std::size_t high = text.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const std::size_t start = NextTopLevel(text, middle, high);
    if (start == std::string_view::npos) {
      high = middle;
      continue;
    }
    const std::string_view found = LineAt(text, start);
    const std::pair<int, std::string_view> order = OrderOf(found);
    if (order == wanted)
      return found.size() > key.size() + 1 && found.substr(key.size(), 2) == "  "
                 ? start
                 : std::string_view::npos;
    if (order < wanted) {
      low = start + found.size() + 1;
    } else {
      high = middle;
    }
  }
  return std::string_view::npos;
}

}  // namespace

IdDatabase::IdDatabase(const std::string& path) : file_(path) {}

namespace {

// The first of the folders distributions use whose file opens as a regular
// file, opened without blocking (a FIFO is no database) and resolved within
// `root`; `path` gets its path.
UniqueFd OpenFirst(const std::string& root, std::string_view fileName, std::string* path) {
  for (const std::string_view folder : {"usr/share/misc/", "usr/share/hwdata/", "usr/share/"}) {
    const std::string relative = std::string(folder) + std::string(fileName);
    UniqueFd fd = OpenInRoot(root, relative, O_RDONLY | O_NONBLOCK);
    struct stat info {};
    if (fd && fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode)) {
      if (path != nullptr)
        *path = root + "/" + relative;
      return fd;
    }
  }
  return UniqueFd();
}

}  // namespace

std::string IdDatabase::Locate(const std::string& root, std::string_view fileName) {
  std::string path;
  OpenFirst(root, fileName, &path);
  return path;
}

IdDatabase IdDatabase::Open(const std::string& root, std::string_view fileName) {
  const UniqueFd fd = OpenFirst(root, fileName, nullptr);
  return fd ? FromDescriptor(fd.Get()) : IdDatabase();
}

IdDatabase IdDatabase::FromDescriptor(int fd) {
  IdDatabase database;
  database.file_ = MappedFile(fd);
  return database;
}

IdDatabase IdDatabase::FromText(std::string text) {
  IdDatabase database;
  database.ownedText_ = std::move(text);
  return database;
}

std::string_view IdDatabase::Text() const {
  return ownedText_.empty() ? file_.Text() : std::string_view(ownedText_);
}

std::optional<IdDatabase::Entry> IdDatabase::TopLevel(const std::string& key) const {
  if (const auto cached = topLevelCache_.find(key); cached != topLevelCache_.end()) {
    return cached->second;
  }
  const std::string_view text = Text();
  if (text.empty()) {
    return std::nullopt;  // no database: memmem must not see its null data
  }
  // Search for "\n<key>  " (or the key at the very start); a memmem over the
  // mapped file is far cheaper than splitting it into lines.
  std::optional<Entry> found;
  const std::string needle = "\n" + key + "  ";
  std::size_t lineStart = BisectTopLevel(text, key);
  if (lineStart != std::string_view::npos) {
    // Found in a few dozen lines instead of a pass over the file.
  } else if (text.substr(0, needle.size() - 1) == std::string_view(needle).substr(1)) {
    lineStart = 0;
  } else if (const void* hit = memmem(text.data(), text.size(), needle.data(), needle.size())) {
    lineStart = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) + 1;
  }
  if (lineStart != std::string_view::npos) {
    const std::string_view line = LineAt(text, lineStart);
    if (const auto name = NameAfterKey(line, key)) {
      found = Entry{*name, text.substr(std::min(lineStart + line.size() + 1, text.size()))};
    }
  }
  topLevelCache_.emplace(key, found);
  return found;
}

std::optional<IdDatabase::Entry> IdDatabase::Nested(std::string_view block, int depth,
                                                    const std::string& key) {
  // One pass, ended by the first line that is no longer indented deeper
  // than the parent (comments aside): a vendor's block can be thousands of
  // lines, and a name near its start is found early.
  std::size_t pos = 0;
  while (pos < block.size()) {
    const std::string_view line = LineAt(block, pos);
    const std::size_t next = std::min(pos + line.size() + 1, block.size());
    const std::size_t tabs = std::min(line.find_first_not_of('\t'), line.size());
    if (line.empty() || line[0] != '#') {
      if (tabs < static_cast<std::size_t>(depth))
        break;
      if (tabs == static_cast<std::size_t>(depth)) {
        if (const auto name = NameAfterKey(line.substr(tabs), key))
          return Entry{*name, block.substr(next)};
      }
    }
    pos = next;
  }
  return std::nullopt;
}

std::optional<std::string> IdDatabase::Lookup(const std::string& topKey,
                                              std::initializer_list<std::string> nestedKeys) const {
  if (nestedKeys.size() == 0) {
    const auto entry = TopLevel(topKey);
    return entry ? std::optional<std::string>(std::string(entry->name)) : std::nullopt;
  }
  std::string path = topKey;
  for (const std::string& key : nestedKeys) {
    path += '\n';
    path += key;
  }
  if (const auto cached = nestedCache_.find(path); cached != nestedCache_.end())
    return cached->second;
  auto entry = TopLevel(topKey);
  int depth = 1;
  for (const std::string& key : nestedKeys) {
    if (!entry)
      break;
    entry = Nested(entry->children, depth++, key);
  }
  std::optional<std::string> name;
  if (entry)
    name = std::string(entry->name);
  return nestedCache_.emplace(std::move(path), std::move(name)).first->second;
}

std::optional<std::string> IdDatabase::DeviceName(std::uint16_t vendor,
                                                  std::uint16_t device) const {
  return Lookup(Hex(vendor, 4), {Hex(device, 4)});
}

std::optional<std::string> IdDatabase::SubsystemName(std::uint16_t vendor, std::uint16_t device,
                                                     std::uint16_t subVendor,
                                                     std::uint16_t subDevice) const {
  return Lookup(Hex(vendor, 4), {Hex(device, 4), Hex(subVendor, 4) + " " + Hex(subDevice, 4)});
}

std::optional<std::string> IdDatabase::ClassName(std::uint8_t classCode) const {
  return Lookup("C " + Hex(classCode, 2), {});
}

std::optional<std::string> IdDatabase::SubclassName(std::uint8_t classCode,
                                                    std::uint8_t subclass) const {
  return Lookup("C " + Hex(classCode, 2), {Hex(subclass, 2)});
}

std::optional<std::string> IdDatabase::InterfaceName(std::uint8_t classCode, std::uint8_t subclass,
                                                     std::uint8_t interface) const {
  return Lookup("C " + Hex(classCode, 2), {Hex(subclass, 2), Hex(interface, 2)});
}

}  // namespace quillon::devices::sysfs
