// The Qt toolkit from the module beside the program (build tree, test copies)
// or in the installed library folder.
#include <dlfcn.h>

#include <vector>

#include "app/GuiLoader.h"

#ifndef QUILLON_GUI_MODULE_NAME
#define QUILLON_GUI_MODULE_NAME "quillon-gui.so"
#endif
// The installed module's folder, relative to the installed program's.
#ifndef QUILLON_GUI_MODULE_RELATIVE_DIR
#define QUILLON_GUI_MODULE_RELATIVE_DIR "../lib/quillon"
#endif

namespace quillon::app {

std::unique_ptr<Toolkit> LoadGuiToolkit(const std::string& executablePath,
                                        const std::string& programName, std::string& error) {
  const std::string dir = executablePath.substr(0, executablePath.rfind('/') + 1);
  const std::vector<std::string> candidates = {
      dir + QUILLON_GUI_MODULE_NAME,
      dir + QUILLON_GUI_MODULE_RELATIVE_DIR "/" QUILLON_GUI_MODULE_NAME};
  error.clear();
  for (const std::string& path : candidates) {
    // Never closed: Qt does not expect its libraries to go away, and the
    // toolkit's code must outlive the toolkit.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* reason = dlerror();
      error += (error.empty() ? "" : "; ") + std::string(reason != nullptr ? reason : path);
      continue;
    }
    const auto entry = reinterpret_cast<GuiEntry>(dlsym(module, kGuiEntryName));
    std::unique_ptr<Toolkit> toolkit;
    if (entry != nullptr && entry(kGuiInterfaceVersion, programName.c_str(), &toolkit) && toolkit)
      return toolkit;
    error = path + ": not a module of this build of the program";
    return nullptr;
  }
  return nullptr;
}

}  // namespace quillon::app
