#include "tests/devices/sysfs/FakeSysfs.h"

#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
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

using Attributes = std::map<std::string, std::string>;

std::string Printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printed(const char* format, ...) {
  std::array<char, 256> text{};
  va_list args;
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  return text.data();
}

// An attribute as a number ("0x8086", "046d", " 1"); none when absent.
std::optional<unsigned> Number(const Attributes& attributes, const std::string& name, int base) {
  const auto found = attributes.find(name);
  if (found == attributes.end())
    return std::nullopt;
  return static_cast<unsigned>(std::strtoul(found->second.c_str(), nullptr, base));
}

std::string FileText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string value = text.str();
  while (!value.empty() && value.back() == '\n')
    value.pop_back();
  return value;
}

// A USB device's attributes that its interfaces' uevents repeat.
Attributes UsbDeviceAttributes(const fs::path& dir) {
  Attributes attributes;
  for (const char* name : {"idVendor", "idProduct", "bcdDevice", "bDeviceClass", "bDeviceSubClass",
                           "bDeviceProtocol"}) {
    std::error_code ec;
    if (fs::is_regular_file(dir / name, ec))
      attributes[name] = FileText(dir / name);
  }
  return attributes;
}

// The uevent file the kernel shows for a device of `subsystem` (a bus, or
// for `isClass` a class) with these attributes: dev_uevent's lines, then
// the bus's or the class's own, each only where its attributes are given.
std::string KernelUevent(bool isClass, const std::string& subsystem, const std::string& name,
                         const Attributes& attributes, const std::string& driver,
                         const fs::path& dir) {
  std::string text;
  const auto line = [&](const std::string& key, const std::string& value) {
    text += key + '=' + value + '\n';
  };
  const auto has = [&](const char* key) { return attributes.count(key) != 0; };
  const auto number = [&](const char* key, int base) {
    return Number(attributes, key, base).value_or(0);
  };
  if (isClass) {
    if (has("dev")) {
      const std::string& dev = attributes.at("dev");
      line("MAJOR", dev.substr(0, dev.find(':')));
      line("MINOR", dev.substr(dev.find(':') + 1));
      line("DEVNAME", name);
    }
    if (subsystem == "block") {
      line("DEVTYPE", has("partition") ? "partition" : "disk");
      if (has("partition"))
        line("PARTN", attributes.at("partition"));
    }
    if (subsystem == "net")
      line("INTERFACE", name);
    return text;
  }
  const bool usbInterface = subsystem == "usb" && name.find(':') != std::string::npos;
  if (subsystem == "usb")
    line("DEVTYPE", usbInterface ? "usb_interface" : "usb_device");
  if (subsystem == "scsi" && name.find(':') != std::string::npos)
    line("DEVTYPE", "scsi_device");
  if (!driver.empty())
    line("DRIVER", driver);
  if (subsystem == "pci") {
    if (has("class"))
      line("PCI_CLASS", Printed("%04X", number("class", 16)));
    if (has("vendor") && has("device"))
      line("PCI_ID", Printed("%04X:%04X", number("vendor", 16), number("device", 16)));
    if (has("subsystem_vendor") && has("subsystem_device")) {
      line("PCI_SUBSYS_ID",
           Printed("%04X:%04X", number("subsystem_vendor", 16), number("subsystem_device", 16)));
    }
    line("PCI_SLOT_NAME", name);
  } else if (subsystem == "usb") {
    // An interface repeats its device's PRODUCT and TYPE.
    const Attributes device = usbInterface ? UsbDeviceAttributes(dir.parent_path()) : attributes;
    if (device.count("idVendor") != 0 && device.count("idProduct") != 0) {
      line("PRODUCT", Printed("%x/%x/%x", Number(device, "idVendor", 16).value_or(0),
                              Number(device, "idProduct", 16).value_or(0),
                              Number(device, "bcdDevice", 16).value_or(0)));
    }
    if (device.count("bDeviceClass") != 0) {
      line("TYPE", Printed("%u/%u/%u", Number(device, "bDeviceClass", 16).value_or(0),
                           Number(device, "bDeviceSubClass", 16).value_or(0),
                           Number(device, "bDeviceProtocol", 16).value_or(0)));
    }
    if (usbInterface && has("bInterfaceClass")) {
      line("INTERFACE",
           Printed("%u/%u/%u", number("bInterfaceClass", 16), number("bInterfaceSubClass", 16),
                   number("bInterfaceProtocol", 16)));
    }
  }
  if (has("modalias"))
    line("MODALIAS", attributes.at("modalias"));
  return text;
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
  Attributes attributes;
  std::string driver;
  for (std::size_t i = isDir ? 2 : 3; i < words.size(); ++i) {
    const std::string& word = words[i];
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0)
      return fail("not an attribute: " + word);
    const std::string key = word.substr(0, equals);
    const std::string value = word.substr(equals + 1);
    if (key == "driver" && verb == "bus") {
      BindDriver(words[1], devpath, value);
      driver = value;
    } else if (key[0] == '@') {
      RelativeLink(dir + "/" + key.substr(1), Devices(value));
    } else {
      Attribute(dir, key, value);
      attributes[key] = value;
      if (key == "dev" && verb == "class") {
        const char* kind = words[1] == "block" ? "block" : "char";
        RelativeLink(root_ + "/sys/dev/" + kind + "/" + value, dir);
      }
    }
  }
  if (!isDir && uevents_) {
    if (attributes.count("uevent") == 0) {
      std::ofstream(fs::path(dir) / "uevent", std::ios::binary | std::ios::trunc)
          << KernelUevent(verb == "class", words[1], name, attributes, driver, dir);
    } else if (!driver.empty()) {
      SetUeventDriver(dir, driver);
    }
  }
  return true;
}

void FakeSysfs::SetUeventDriver(const std::string& dir, const std::string& driver) {
  const fs::path path = fs::path(dir) / "uevent";
  std::error_code ec;
  if (!uevents_ || !fs::is_regular_file(path, ec))
    return;
  // DRIVER= follows the lines of the device number and type, as the kernel orders them.
  std::vector<std::string> lines;
  std::istringstream text(FileText(path));
  for (std::string line; std::getline(text, line);) {
    if (line.rfind("DRIVER=", 0) != 0)
      lines.push_back(line);
  }
  std::size_t at = 0;
  while (at < lines.size() &&
         (lines[at].rfind("MAJOR=", 0) == 0 || lines[at].rfind("MINOR=", 0) == 0 ||
          lines[at].rfind("DEVNAME=", 0) == 0 || lines[at].rfind("DEVTYPE=", 0) == 0)) {
    ++at;
  }
  if (!driver.empty())
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), "DRIVER=" + driver);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines)
    file << line << '\n';
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
  SetUeventDriver(Devices(devpath), driver);
}

std::string FakeSysfs::UnbindDriver(const std::string& devpath) {
  const fs::path link = fs::path(Devices(devpath)) / "driver";
  std::error_code ec;
  const fs::path driverDir = fs::canonical(link, ec);
  if (ec)
    return {};
  fs::remove(link, ec);
  fs::remove(driverDir / fs::path(devpath).filename(), ec);
  SetUeventDriver(Devices(devpath), "");
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
