// Places in a device file's raw text that the parsed document no longer
// knows: the line a value starts on.
#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

namespace quillon::devices::devicefile {

// A step from a value into one of its children: an object key or an array index.
using PathStep = std::variant<std::string, std::size_t>;
using Path = std::vector<PathStep>;

// "devices[3].status", or "the top level" for an empty path; keys escaped
// and cut for a diagnostics line.
std::string Describe(const Path& path);

// The line where the value at `path` starts, or that of the closest
// enclosing value that can be found. `text` is valid JSON.
std::size_t LineOf(const std::string& text, const Path& path);

}  // namespace quillon::devices::devicefile
