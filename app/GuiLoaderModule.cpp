// The Qt toolkit from the window module: the first of the places
// GuiModuleCandidates names that holds a file is the one used, and a module
// that cannot be used there is reported rather than passed over.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/BuildIdentity.h"
#include "app/GuiLoader.h"
#include "app/GuiModuleFile.h"

#ifndef QUILLON_GUI_MODULE_RELATIVE_DIR
#error "CMake defines where the module is installed"
#endif

namespace quillon::app {

std::unique_ptr<Toolkit> LoadGuiToolkit(const std::string& executablePath,
                                        const std::string& programName,
                                        ui::ErrorPresenter& standardErrors, std::string& error) {
  // Not for a program that runs with more rights than the user who started
  // it (set-user- or set-group-ID, file capabilities): that user would choose
  // the code it runs.
  const char* environment = secure_getenv("QUILLON_GUI_MODULE");
  const bool environmentWithheld =
      environment == nullptr && std::getenv("QUILLON_GUI_MODULE") != nullptr;
  const std::vector<std::string> candidates =
      GuiModuleCandidates(executablePath, QUILLON_GUI_MODULE_RELATIVE_DIR,
                          QUILLON_GUI_MODULE_INSTALLED, environment != nullptr ? environment : "");
  // Its owner can change the program itself: a module of theirs is no risk.
  struct stat program {};
  const uid_t programOwner =
      ::stat(executablePath.c_str(), &program) == 0 ? program.st_uid : ::geteuid();
  error.clear();
  for (const std::string& path : candidates) {
    std::string loadPath;
    switch (CheckModuleFile(path, programOwner, loadPath, error)) {
      case ModuleFile::kMissing:
        continue;
      case ModuleFile::kUnusable:
        return nullptr;
      case ModuleFile::kUsable:
        break;
    }
    // Never closed: Qt does not expect its libraries to go away, and the
    // toolkit's code must outlive the toolkit.
    void* module = dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* reason = dlerror();
      error = reason != nullptr ? reason : path + ": cannot be loaded";
      return nullptr;
    }
    const auto* build = static_cast<const char*>(dlsym(module, kGuiBuildName));
    if (build == nullptr) {
      error = path + " is not a window module of this program";
      return nullptr;
    }
    if (std::strcmp(build, kBuildIdentity) != 0) {
      // At most a line's worth of whatever the other file holds.
      error = path + " is from another build of the program (" +
              std::string(build, strnlen(build, 80)) + "), this program is " + kBuildIdentity;
      return nullptr;
    }
    const auto entry = reinterpret_cast<GuiEntry>(dlsym(module, kGuiEntryName));
    std::unique_ptr<Toolkit> toolkit;
    if (entry == nullptr || !entry(programName.c_str(), &standardErrors, &toolkit) || !toolkit) {
      error = path + " made no window toolkit";
      return nullptr;
    }
    return toolkit;
  }
  std::string places;
  for (const std::string& path : candidates)
    places += (places.empty() ? "" : ", ") + path;
  error = "no window module (quillon-gui.so) in " + places;
  if (environmentWithheld)
    error += "; QUILLON_GUI_MODULE is ignored: the program runs with more rights than its user";
  else if (environment == nullptr || *environment == '\0')
    error += "; QUILLON_GUI_MODULE may name it";
  else if (*environment != '/')
    error += "; QUILLON_GUI_MODULE is ignored: not an absolute path";
  return nullptr;
}

}  // namespace quillon::app
