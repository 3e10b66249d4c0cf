#include "tests/devices/sysfs/FakeSysfs.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace quillon::devices::testing {

namespace fs = std::filesystem;

namespace {

// Splits a statement into words; "..." groups blanks, \n, \t and \" are escapes.
bool Split(std::string_view line, std::vector<std::string>& words, std::string* error) {
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else if (c == '\\' && i + 1 < line.size()) {
        const char next = line[++i];
        word += next == 'n' ? '\n' : next == 't' ? '\t' : next;
      } else {
        word += c;
      }
    } else if (c == '"') {
      quoted = true;
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord)
        words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) {
    if (error != nullptr)
      *error = "unterminated quote";
    return false;
  }
  if (inWord)
    words.push_back(std::move(word));
  return true;
}

}  // namespace

FakeSysfs::FakeSysfs() {
  // A tree is hundreds of small files and links: memory is much faster than
  // a disk-backed /tmp.
  const char* base = std::getenv("TMPDIR");
  std::string parent = base != nullptr && *base != '\0' ? base : "/tmp";
  std::error_code ec;
  if ((base == nullptr || *base == '\0') && fs::is_directory("/dev/shm", ec) &&
      access("/dev/shm", W_OK) == 0) {
    parent = "/dev/shm";
  }
  std::string pattern = parent + "/quillon-sysfs-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr)
    root_ = pattern;
  for (const char* dir : {"sys/devices", "sys/bus", "sys/class", "sys/dev/block", "sys/dev/char"}) {
    fs::create_directories(fs::path(root_) / dir);
  }
}

FakeSysfs::~FakeSysfs() {
  std::error_code ignored;
  if (!root_.empty() && !keep_)
    fs::remove_all(root_, ignored);
}

bool FakeSysfs::LoadFile(const std::string& path, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    if (error != nullptr)
      *error = path + ": cannot open";
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  return Load(text.str(), error);
}

bool FakeSysfs::Load(std::string_view text, std::string* error) {
  std::size_t pos = 0;
  int lineNumber = 0;
  while (pos <= text.size()) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    ++lineNumber;
    if (!Statement(text.substr(pos, end - pos), error)) {
      if (error != nullptr)
        *error = "line " + std::to_string(lineNumber) + ": " + *error;
      return false;
    }
    pos = end + 1;
  }
  return true;
}

bool FakeSysfs::Statement(std::string_view line, std::string* error) {
  std::vector<std::string> words;
  if (!Split(line, words, error))
    return false;
  if (words.empty())
    return true;
  const std::string& verb = words[0];
  const auto fail = [&](const std::string& why) {
    if (error != nullptr)
      *error = why;
    return false;
  };
  if (verb == "rootdev" && words.size() == 2) {
    rootDevice_ = words[1];
    return true;
  }
  if (verb == "driver" && words.size() == 3) {
    fs::create_directories(fs::path(root_) / "sys/bus" / words[1] / "drivers" / words[2]);
    return true;
  }
  if ((verb != "bus" && verb != "class" && verb != "dir") ||
      words.size() < (verb == "dir" ? 2U : 3U)) {
    return fail("unknown statement '" + std::string(line) + "'");
  }
  const bool isDir = verb == "dir";
  const std::string devpath = isDir ? words[1] : words[2];
  const std::string dir = Devices(devpath);
  fs::create_directories(dir);
  const std::string name = fs::path(devpath).filename().string();
  if (verb == "bus") {
    const std::string bus = root_ + "/sys/bus/" + words[1];
    fs::create_directories(bus + "/devices");
    fs::create_directories(bus + "/drivers");
    RelativeLink(bus + "/devices/" + name, dir);
    RelativeLink(dir + "/subsystem", bus);
  } else if (verb == "class") {
    const std::string cls = root_ + "/sys/class/" + words[1];
    fs::create_directories(cls);
    RelativeLink(cls + "/" + name, dir);
    RelativeLink(dir + "/subsystem", cls);
  }
  for (std::size_t i = isDir ? 2 : 3; i < words.size(); ++i) {
    const std::string& word = words[i];
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0)
      return fail("not an attribute: " + word);
    const std::string key = word.substr(0, equals);
    const std::string value = word.substr(equals + 1);
    if (key == "driver" && verb == "bus") {
      BindDriver(words[1], devpath, value);
    } else if (key[0] == '@') {
      RelativeLink(dir + "/" + key.substr(1), Devices(value));
    } else {
      Attribute(dir, key, value);
      if (key == "dev" && verb == "class") {
        const char* kind = words[1] == "block" ? "block" : "char";
        RelativeLink(root_ + "/sys/dev/" + kind + "/" + value, dir);
      }
    }
  }
  return true;
}

std::string FakeSysfs::Devices(const std::string& devpath) const {
  return root_ + "/sys/devices/" + devpath;
}

void FakeSysfs::Attribute(const std::string& dir, const std::string& name,
                          const std::string& value) {
  const fs::path path = fs::path(dir) / name;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << value << '\n';
}

void FakeSysfs::RelativeLink(const std::string& linkPath, const std::string& targetPath) {
  const fs::path link(linkPath);
  fs::create_directories(link.parent_path());
  std::error_code ignored;
  fs::remove(link, ignored);
  fs::create_symlink(fs::path(targetPath).lexically_relative(link.parent_path()), link);
}

void FakeSysfs::WriteFile(const std::string& relativePath, std::string_view content) {
  const fs::path path = fs::path(root_) / relativePath;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void FakeSysfs::RemoveEntry(const std::string& devpath, const std::string& name) {
  std::error_code ignored;
  fs::remove(fs::path(Devices(devpath)) / name, ignored);
}

void FakeSysfs::BindDriver(const std::string& bus, const std::string& devpath,
                           const std::string& driver) {
  const std::string driverDir = root_ + "/sys/bus/" + bus + "/drivers/" + driver;
  fs::create_directories(driverDir);
  RelativeLink(Devices(devpath) + "/driver", driverDir);
  RelativeLink(driverDir + "/" + fs::path(devpath).filename().string(), Devices(devpath));
}

std::string FakeSysfs::UnbindDriver(const std::string& devpath) {
  const fs::path link = fs::path(Devices(devpath)) / "driver";
  std::error_code ec;
  const fs::path driverDir = fs::canonical(link, ec);
  if (ec)
    return {};
  fs::remove(link, ec);
  fs::remove(driverDir / fs::path(devpath).filename(), ec);
  return driverDir.filename().string();
}

void FakeSysfs::RemoveDevice(const std::string& devpath) {
  std::error_code ignored;
  fs::remove_all(Devices(devpath), ignored);
}

void FakeSysfs::Symlink(const std::string& linkPath, const std::string& target) {
  const fs::path link = fs::path(root_) / linkPath;
  fs::create_directories(link.parent_path());
  std::error_code ignored;
  fs::remove(link, ignored);
  fs::create_symlink(target, link);
}

}  // namespace quillon::devices::testing
