// The Qt toolkit linked into the program (Windows, static Qt): no module.
#include "app/GuiLoader.h"
#include "gui/QtToolkit.h"

namespace quillon::app {

std::unique_ptr<Toolkit> LoadGuiToolkit(const std::string&, const std::string& programName,
                                        ui::ErrorPresenter& standardErrors, std::string&) {
  return MakeQtToolkit(programName, standardErrors);
}

}  // namespace quillon::app
