// Reading a device file and replacing its content atomically. Private to the
// device-file source.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::devices::devicefile {

struct FileError {
  std::uint32_t code = 0;  // Windows error code
  std::string message;     // for the diagnostics line
};

bool ReadWholeFile(const std::string& path, std::string& text, FileError& error);

// Writes `text` to a new file beside the target, flushes it to the disk and
// renames it over the target, so readers see the old or the new content and
// never a part. The target keeps its permissions; when `path` is a symbolic
// link, the link stays and the file it points to is replaced. On failure the
// target is unchanged and no temporary file is left behind.
bool ReplaceFileContent(const std::string& path, const std::string& text, FileError& error);

// The Windows error code for a C library error number.
std::uint32_t ErrorFromErrno(int errnoValue);

}  // namespace quillon::devices::devicefile
