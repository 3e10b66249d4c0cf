// Replacing a file's whole content at once, so that readers and a crash see
// the old content or the new one and never a part: the new content goes to
// a file created exclusively beside the target, reaches the disk, and is
// renamed over the target. What may be replaced, and what a failure is
// called, is each caller's own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::devices {

// The step that failed, for the caller's message.
enum class AtomicStep { kCreate, kPermissions, kWrite, kFlush, kRename, kSyncFolder };

struct AtomicFileError {
  AtomicStep step = AtomicStep::kCreate;
  // errno on POSIX systems, the Windows error code on Windows.
  std::uint32_t code = 0;
};

struct AtomicFileOptions {
  // The temporary file's name: this, then a unique part of letters, digits
  // and "-" (so that a leftover can be told from the user's files).
  std::filesystem::path temporaryPrefix;
  // POSIX permissions of the new file. None keeps a replaced file's
  // permissions and, where this process may, its owner; a new file gets
  // 0666 less the umask. On Windows the replaced file's security and
  // attributes stay, and this is not used.
  std::optional<std::uint32_t> mode;
};

// "." + the target's name + ".tmp-": hidden, and never the target's own
// extension, so that nothing reading the folder by name takes it up.
std::filesystem::path HiddenTemporaryPrefix(const std::filesystem::path& target);

// Writes `text` to a new file in `target`'s folder, flushes it to the disk,
// renames it over `target` (a link there is replaced, not followed: callers
// resolve links first) and flushes the folder, so that the rename lasts too.
// Before the rename a failure removes the temporary file and leaves `target`
// as it was; a kSyncFolder failure comes after it, with the new content in
// place.
std::optional<AtomicFileError> WriteFileAtomically(const std::filesystem::path& target,
                                                   std::string_view text,
                                                   const AtomicFileOptions& options);

// The system's text for an AtomicFileError's code.
std::string AtomicErrorText(std::uint32_t code);

}  // namespace quillon::devices
