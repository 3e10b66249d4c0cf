// The entry points of the window module (quillon-gui.so); see app/GuiLoader.h.
#include "app/BuildIdentity.h"
#include "app/GuiLoader.h"
#include "gui/QtToolkit.h"

extern "C" {

__attribute__((visibility("default"))) extern const char quillon_gui_build[] =
    QUILLON_BUILD_IDENTITY;

__attribute__((visibility("default"))) bool quillon_gui_make_toolkit(
    const char* programName, quillon::ui::ErrorPresenter* standardErrors,
    std::unique_ptr<quillon::app::Toolkit>* toolkit) {
  static_assert(std::is_same_v<decltype(&quillon_gui_make_toolkit), quillon::app::GuiEntry>);
  if (programName == nullptr || standardErrors == nullptr || toolkit == nullptr)
    return false;
  *toolkit = quillon::app::MakeQtToolkit(programName, *standardErrors);
  return true;
}

}  // extern "C"
