// Error boxes. The window reports every failure through one presenter, so
// tests can record the texts instead of waiting on a modal box, and command
// mode without a display can write them to standard error.
#pragma once

#include <memory>
#include <string>

namespace quillon::ui {

class ErrorPresenter {
 public:
  virtual ~ErrorPresenter() = default;
  // `text` is 8-bit text from the device layer (the local code page).
  // Returns when the user has acknowledged it.
  virtual void ShowError(const std::string& text) = 0;
};

// A modal box: caption "Error", the error icon, one OK button that Enter and
// Esc press, centred on the screen, with the arrow cursor while it is open.
class MessageBoxPresenter final : public ErrorPresenter {
 public:
  void ShowError(const std::string& text) override;
};

// For the offscreen platform, where nobody can answer a box: writes
// "Error: <text>" as one line to standard error and goes on as if OK was
// pressed.
class StandardErrorPresenter final : public ErrorPresenter {
 public:
  void ShowError(const std::string& text) override;
};

// Chooses by the running platform: offscreen (or minimal) writes to standard
// error, everything else shows boxes. Needs a QGuiApplication.
std::unique_ptr<ErrorPresenter> MakeErrorPresenter();

}  // namespace quillon::ui
