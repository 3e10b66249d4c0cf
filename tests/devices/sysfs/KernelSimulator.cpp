#include "tests/devices/sysfs/KernelSimulator.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "devices/sysfs/SysfsTree.h"

namespace quillon::devices::testing {

namespace fs = std::filesystem;

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The text of a write without the newline that ends it, as sysfs reads it.
std::string_view Value(std::string_view text) {
  if (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  return text;
}

// A USB interface is named after its device: "1-1:1.0".
bool IsInterface(const std::string& devpath) {
  return std::filesystem::path(devpath).filename().string().find(':') != std::string::npos;
}

std::string Shown(std::string_view text) {
  std::string shown;
  for (const char c : text)
    shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  return shown;
}

}  // namespace

int KernelSimulator::Write(const sysfs::SysfsTree& tree, const std::string& path,
                           std::string_view text) {
  const std::string sys = tree.Sys() + "/";
  if (!StartsWith(path, sys)) {
    ADD_FAILURE() << "a write outside the tree: " << path;
    return EXDEV;
  }
  const std::string relative = path.substr(sys.size());
  log_.push_back(relative + " <- " + Shown(text));
  for (auto injected = injected_.begin(); injected != injected_.end(); ++injected) {
    if (EndsWith(relative, injected->first)) {
      const int error = injected->second;
      injected_.erase(injected);
      return error;
    }
  }
  const fs::path file(relative);
  const std::string name = file.filename().string();
  if (name == "drivers_probe" && StartsWith(relative, "bus/"))
    return Probe(file.parent_path().filename().string(), Value(text));
  if (!StartsWith(relative, "devices/"))
    return EACCES;
  std::string devpath = file.parent_path().string().substr(8);
  if (name == "unbind") {
    if (!EndsWith(devpath, "/driver"))
      return EACCES;
    devpath.resize(devpath.size() - 7);
    return Unbind(devpath, Value(text));
  }
  if (!fs::exists(tree_.Root() + "/sys/" + relative))
    return ENOENT;
  if (name == "authorized")
    return Authorize(devpath, Value(text));
  if (name == "driver_override") {
    SetAttr(devpath, name, Value(text).empty() ? "(null)" : Value(text));
    return 0;
  }
  if (name == "ifalias") {
    if (Value(text).size() > 255)
      return EINVAL;
    SetAttr(devpath, name, Value(text));
    return 0;
  }
  return EACCES;
}

int KernelSimulator::Unbind(const std::string& devpath, std::string_view name) {
  if (!fs::is_symlink(tree_.Root() + "/sys/devices/" + devpath + "/driver"))
    return ENOENT;
  if (name != fs::path(devpath).filename().string())
    return ENODEV;
  offered_[devpath] = tree_.UnbindDriver(devpath);
  // The generic driver of a USB device owns its interfaces.
  if (Attr(devpath, "subsystem") == "usb" && !IsInterface(devpath))
    HideInterfaces(devpath);
  return 0;
}

int KernelSimulator::Authorize(const std::string& devpath, std::string_view value) {
  if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
    return EINVAL;
  const bool on = value.find_first_not_of('0') != std::string_view::npos;
  SetAttr(devpath, "authorized", on ? "1" : "0");
  if (IsInterface(devpath)) {
    // Authorizing an interface again does not bind it.
    if (!on && !Attr(devpath, "driver").empty())
      offered_[devpath] = tree_.UnbindDriver(devpath);
  } else if (on) {
    ShowInterfaces(devpath);
  } else {
    HideInterfaces(devpath);
  }
  return 0;
}

int KernelSimulator::Probe(const std::string& bus, std::string_view name) {
  const fs::path link = tree_.Root() + "/sys/bus/" + bus + "/devices/" + std::string(name);
  std::error_code ec;
  const fs::path device = fs::canonical(link, ec);
  if (ec)
    return ENODEV;
  const std::string devpath =
      device.lexically_relative(fs::canonical(tree_.Root() + "/sys/devices")).string();
  if (fs::is_symlink(device / "driver"))
    return 0;
  if (Attr(devpath, "authorized") == "0" && IsInterface(devpath))
    return 0;
  const std::string override = Attr(devpath, "driver_override");
  if (override == "none")
    return 0;
  if (!override.empty() && override != "(null)") {
    if (fs::exists(tree_.Root() + "/sys/bus/" + bus + "/drivers/" + override))
      tree_.BindDriver(bus, devpath, override);
    return 0;
  }
  Bind(bus, devpath);
  return 0;
}

void KernelSimulator::Bind(const std::string& bus, const std::string& devpath) {
  const auto offered = offered_.find(devpath);
  if (offered == offered_.end() || offered->second.empty())
    return;
  tree_.BindDriver(bus, devpath, offered->second);
  if (bus == "usb" && !IsInterface(devpath))
    ShowInterfaces(devpath);
}

void KernelSimulator::HideInterfaces(const std::string& devpath) {
  const fs::path dir = tree_.Root() + "/sys/devices/" + devpath;
  const std::string prefix = dir.filename().string() + ":";
  std::string key = devpath;
  for (char& c : key)
    c = c == '/' ? '!' : c;
  const fs::path stash = tree_.Root() + "/stash/" + key;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!entry.is_symlink() && entry.is_directory() &&
        StartsWith(entry.path().filename().string(), prefix)) {
      fs::create_directories(stash);
      fs::rename(entry.path(), stash / entry.path().filename());
    }
  }
}

void KernelSimulator::ShowInterfaces(const std::string& devpath) {
  std::string key = devpath;
  for (char& c : key)
    c = c == '/' ? '!' : c;
  const fs::path stash = tree_.Root() + "/stash/" + key;
  const fs::path dir = tree_.Root() + "/sys/devices/" + devpath;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(stash, ec))
    fs::rename(entry.path(), dir / entry.path().filename());
}

std::string KernelSimulator::Attr(const std::string& devpath, const std::string& name) const {
  const fs::path path = tree_.Root() + "/sys/devices/" + devpath + "/" + name;
  if (fs::is_symlink(path))
    return fs::read_symlink(path).filename().string();
  std::ifstream file(path);
  std::string value;
  std::getline(file, value);
  return value;
}

void KernelSimulator::SetAttr(const std::string& devpath, const std::string& name,
                              std::string_view value) {
  tree_.WriteFile("sys/devices/" + devpath + "/" + name, std::string(value) + "\n");
}

}  // namespace quillon::devices::testing
