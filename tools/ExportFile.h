// Writing the exported device file: whole or not at all, and only over a
// regular file, as the device source's own write-back does.
#pragma once

#include <optional>
#include <string>

namespace quillon::tools {

// Writes `text` to a new file of a unique name beside `path` (created
// exclusively, never through a link planted there), then renames it over
// `path`. `path` must be a missing name or a regular file; a symbolic link
// is followed to its regular file, which is replaced, and the link stays. An
// existing file keeps its permissions. Returns why nothing was written, if so.
std::optional<std::string> WriteExportFile(const std::string& path, const std::string& text);

}  // namespace quillon::tools
