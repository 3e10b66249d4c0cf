// Builds a sysfs-like tree under a temporary directory from a compact text
// description: real directories, attribute files and the same symlinks the
// kernel makes (bus/<bus>/devices/<name>, subsystem, driver, class links,
// dev/block/M:m), so the sysfs backend can be tested without a kernel.
//
// One statement a line; '#' starts a comment. Device paths are relative to
// sys/devices.
//   bus <bus> <devpath> [attr...]      a device on a bus
//   class <class> <devpath> [attr...]  a class device (block: dev=M:m adds dev/block/M:m)
//   dir <devpath> [attr...]            a plain directory
//   driver <bus> <name>                a driver the bus offers
//   rootdev <major:minor>              the block device holding "/"
// Attributes: name=value, with "..." for blanks, \n for a line break, \t a tab;
// a name may hold '/' for subdirectories (capabilities/key=...).
// driver=NAME binds a driver; @name=devpath makes a symlink (firmware_node,
// physical_node, ...).
// Each bus and class device also gets the uevent file the kernel would give
// it, made from the attributes the statement names (PCI_ID from vendor and
// device, PRODUCT and TYPE from idVendor..., MODALIAS from modalias, DRIVER
// from the bound driver); uevent=... names it outright.
#pragma once

#include <string>
#include <string_view>

namespace quillon::devices::testing {

class FakeSysfs {
 public:
  FakeSysfs();
  ~FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  // The root prefix to hand to the backend (its sys/ is the tree).
  const std::string& Root() const { return root_; }
  // The rootdev statement's value, empty when there was none.
  const std::string& RootDevice() const { return rootDevice_; }

  // Adds the statements of `text`; false (and a reason) on a malformed line.
  bool Load(std::string_view text, std::string* error = nullptr);
  bool LoadFile(const std::string& path, std::string* error = nullptr);

  // Writes a file at a path relative to the root (an ID database, say).
  void WriteFile(const std::string& relativePath, std::string_view content);
  // Removes one entry (an attribute, the driver link) of a device.
  void RemoveEntry(const std::string& devpath, const std::string& name);
  // Removes a device directory and everything below it; the bus and class
  // links that pointed at it are left dangling, as during hot-unplug.
  void RemoveDevice(const std::string& devpath);
  // Makes an arbitrary symlink; both paths relative to the root.
  void Symlink(const std::string& linkPath, const std::string& target);
  // Binds a driver the way the kernel shows it: links both ways.
  void BindDriver(const std::string& bus, const std::string& devpath, const std::string& driver);
  // Removes the links of the device's driver; its name, empty when none was bound.
  std::string UnbindDriver(const std::string& devpath);
  // Leaves the tree in place when this object goes (a benchmark's tree).
  void Keep() { keep_ = true; }
  // Whether the statements loaded from now on make uevent files (on by
  // default; off for a kernel that has none, or to compare).
  void MakeUevents(bool make) { uevents_ = make; }

 private:
  bool Statement(std::string_view line, std::string* error);
  std::string Devices(const std::string& devpath) const;
  void Attribute(const std::string& dir, const std::string& name, const std::string& value);
  void RelativeLink(const std::string& linkPath, const std::string& targetPath);
  // Puts DRIVER=driver (none when empty) into the device's uevent file, if it has one.
  void SetUeventDriver(const std::string& dir, const std::string& driver);

  std::string root_;
  std::string rootDevice_;
  bool keep_ = false;
  bool uevents_ = true;
};

}  // namespace quillon::devices::testing
