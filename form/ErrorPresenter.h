// Error boxes. The form reports every failure through one presenter, so
// tests can record the texts instead of waiting on a modal box, and command
// mode without a display can write them to standard error.
#pragma once

#include <string>

namespace quillon::ui {

class ErrorPresenter {
 public:
  virtual ~ErrorPresenter() = default;
  // `text` is 8-bit text from the device layer (the local code page).
  // Returns when the user has acknowledged it.
  virtual void ShowError(const std::string& text) = 0;
};

// Where nobody can answer a box (no display, the offscreen platform): writes
// "Error: <text>" as one line to standard error and goes on as if OK was
// pressed.
class StandardErrorPresenter final : public ErrorPresenter {
 public:
  void ShowError(const std::string& text) override;
};

}  // namespace quillon::ui
