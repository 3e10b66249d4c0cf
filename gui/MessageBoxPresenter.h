// What the form shows through the window toolkit: modal error boxes and the
// screen's cursor.
#pragma once

#include <memory>

#include "form/ErrorPresenter.h"
#include "form/ExWaitCursor.h"

namespace quillon::ui {

// A modal box: caption "Error", the error icon, one OK button that Enter and
// Esc press, centred on the screen, with the arrow cursor while it is open.
class MessageBoxPresenter final : public ErrorPresenter {
 public:
  void ShowError(const std::string& text) override;
};

// Chooses by the running platform: offscreen (or minimal) writes to standard
// error, everything else shows boxes. Needs a QGuiApplication.
std::unique_ptr<ErrorPresenter> MakeErrorPresenter();

// Qt's override cursors, which stack as the hourglass needs. Needs a
// QApplication.
class OverrideCursor final : public ScreenCursor {
 public:
  void PushHourglass() override;
  void Pop() override;
};

}  // namespace quillon::ui
