// The Qt toolkit linked into the program.
#include "app/GuiLoader.h"
#include "gui/QtToolkit.h"

namespace quillon::app {

std::unique_ptr<Toolkit> LoadGuiToolkit(const std::string&, const std::string& programName,
                                        std::string&) {
  return MakeQtToolkit(programName);
}

}  // namespace quillon::app
