#include "tools/ExportFile.h"

#include <filesystem>

#include "os/AtomicFile.h"

namespace quillon::tools {

namespace {

namespace fs = std::filesystem;

// What a path is, for the line that refuses it.
std::string KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory:
      return "a folder";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::character:
      return "a character device";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::symlink:
      return "a symbolic link to nothing";
    default:
      return "not a regular file";
  }
}

// The file a new export replaces: `path` itself, or the regular file a link
// there leads to. nullopt, with the reason, for anything else.
std::optional<fs::path> Target(const std::string& path, std::string& reason) {
  std::error_code error;
  const fs::file_status own = fs::symlink_status(path, error);
  if (own.type() == fs::file_type::not_found)
    return fs::path(path);
  if (error) {
    reason = error.message();
    return std::nullopt;
  }
  if (own.type() == fs::file_type::regular)
    return fs::path(path);
  if (own.type() == fs::file_type::symlink) {
    const fs::file_status linked = fs::status(path, error);
    if (!error && linked.type() == fs::file_type::regular) {
      fs::path target = fs::canonical(path, error);
      if (!error)
        return target;
    }
    reason = "it is " + KindOf(error ? fs::file_type::symlink : linked.type()) +
             " (a link is followed only to a regular file)";
    return std::nullopt;
  }
  reason = "it is " + KindOf(own.type()) + ", not a regular file";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> WriteExportFile(const std::string& path, const std::string& text) {
  std::string reason;
  const std::optional<fs::path> target = Target(path, reason);
  if (!target)
    return reason;
  // A replaced file keeps its permissions and, where we may, its owner.
  const std::optional<devices::AtomicFileError> failure = devices::WriteFileAtomically(
      *target, text, {devices::HiddenTemporaryPrefix(*target), std::nullopt});
  if (!failure || failure->step == devices::AtomicStep::kSyncFolder)
    return std::nullopt;  // in place, if perhaps not yet for good
  const std::string why = devices::AtomicErrorText(failure->code);
  if (failure->step == devices::AtomicStep::kCreate)
    return "cannot create a file in its folder: " + why;
  return why;
}

}  // namespace quillon::tools
