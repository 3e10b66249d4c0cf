// Finding the window module and checking its file before it is loaded: the
// loader maps whatever file it is given, and a FIFO would block it forever, a
// truncated file crash it (SIGBUS) when its missing part is touched, and a
// file others may change would run their code.
#pragma once

#include <sys/types.h>

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
// shared object whose every loaded part is in the file, which nobody but
// root, the user the program runs as and `programOwner` (the owner of the
// program's file) can change, nor any folder on its way: whoever could would
// choose the code this process runs. `loadPath` is then where the file
// really is, without links, to be loaded by that name, so that no link
// changed in between leads elsewhere. `reason` says why not, as one line
// that names the file.
ModuleFile CheckModuleFile(const std::string& path, uid_t programOwner, std::string& loadPath,
                           std::string& reason);

}  // namespace quillon::app
