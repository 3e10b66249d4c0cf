// Finding the window module and checking its file before it is loaded: the
// loader maps whatever file it is given, and a FIFO would block it forever, a
// truncated file crash it (SIGBUS) when its missing part is touched.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillon::app {

// Where the module is looked for, in order: beside the executable, in the
// install location (relative to the executable, then as configured), then
// where `environment` (QUILLON_GUI_MODULE) points. Only absolute paths: with
// no absolute `executablePath` (the system did not tell it), the places
// beside it are left out, and a relative `environment` is ignored.
std::vector<std::string> GuiModuleCandidates(std::string_view executablePath,
                                             std::string_view relativeInstallDir,
                                             std::string_view installedPath,
                                             std::string_view environment);

enum class ModuleFile { kMissing, kUsable, kUnusable };

// Whether `path` can be handed to the loader: a regular file holding a
// shared object whose every loaded part is in the file. `reason` says why
// not, as one line that names the file.
ModuleFile CheckModuleFile(const std::string& path, std::string& reason);

}  // namespace quillon::app
