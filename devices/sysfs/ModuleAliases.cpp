// The kernel's drivers by modalias pattern.
#include "devices/sysfs/ModuleAliases.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>

#include "devices/sysfs/OpenBeneath.h"

namespace quillon::devices::sysfs {

namespace {

// modules.alias is about 1.5 MB; anything far larger is no such file.
constexpr off_t kMaxFile = 64 << 20;

std::string ReadSmallFile(const std::string& root, const std::string& relative, off_t limit) {
  const UniqueFd fd = OpenInRoot(root, relative, O_RDONLY | O_NONBLOCK);
  struct stat info {};
  if (!fd || fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > limit)
    return {};
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t used = 0;
  while (used < text.size()) {
    const ssize_t got = read(fd.Get(), text.data() + used, text.size() - used);
    if (got <= 0)
      break;
    used += static_cast<std::size_t>(got);
  }
  text.resize(used);
  return text;
}

std::string Release(const std::string& root) {
  std::string release = ReadSmallFile(root, "proc/sys/kernel/osrelease", 4096);
  while (!release.empty() && (release.back() == '\n' || release.back() == ' '))
    release.pop_back();
  if (!release.empty())
    return release;
  utsname names{};
  return uname(&names) == 0 ? std::string(names.release) : std::string();
}

std::string_view KeyOf(std::string_view text) {
  return text.substr(0, text.find_first_of(":*?["));
}

}  // namespace

bool ModuleAliases::Matches(std::string_view modalias) const {
  if (modalias.empty())
    return false;
  Load();
  const auto group = patterns_.find(std::string(KeyOf(modalias)));
  if (group == patterns_.end())
    return false;
  const std::string text(modalias);
  for (const Pattern& pattern : group->second) {
    if (text.compare(0, pattern.literal, pattern.glob, 0, pattern.literal) == 0 &&
        fnmatch(pattern.glob.c_str(), text.c_str(), 0) == 0) {
      return true;
    }
  }
  return false;
}

void ModuleAliases::Load() const {
  if (loaded_)
    return;
  loaded_ = true;
  const std::string release = Release(root_);
  if (release.empty() || release.find('/') != std::string::npos || release == "..")
    return;
  LoadFile("lib/modules/" + release + "/modules.alias");
  LoadFile("lib/modules/" + release + "/modules.builtin.alias");
}

// Lines "alias <pattern> <module>".
void ModuleAliases::LoadFile(const std::string& relative) const {
  const std::string text = ReadSmallFile(root_, relative, kMaxFile);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    const std::string_view line = std::string_view(text).substr(pos, end - pos);
    pos = end + 1;
    if (line.substr(0, 6) != "alias ")
      continue;
    const std::string_view rest = line.substr(6);
    const std::string_view glob = rest.substr(0, rest.find(' '));
    if (glob.empty())
      continue;
    const std::size_t literal = std::min(glob.find_first_of("*?[\\"), glob.size());
    patterns_[std::string(KeyOf(glob))].push_back(Pattern{std::string(glob), literal});
  }
}

}  // namespace quillon::devices::sysfs
