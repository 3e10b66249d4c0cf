// The entry point of the GUI module (quillon-gui.so).
#include "app/GuiLoader.h"
#include "gui/QtToolkit.h"

extern "C" __attribute__((visibility("default"))) bool quillon_gui_make_toolkit(
    int version, const char* programName, std::unique_ptr<quillon::app::Toolkit>* toolkit) {
  static_assert(std::is_same_v<decltype(&quillon_gui_make_toolkit), quillon::app::GuiEntry>);
  if (version != quillon::app::kGuiInterfaceVersion || toolkit == nullptr)
    return false;
  *toolkit = quillon::app::MakeQtToolkit(programName);
  return true;
}
