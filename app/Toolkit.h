// The window toolkit as the start-up sequence uses it. Command mode without a
// display runs on HeadlessToolkit and loads no GUI library; everything else
// gets the Qt toolkit (GuiLoader.h), which shows the window and modal boxes.
#pragma once

#include <memory>
#include <string_view>

namespace quillon::ui {
class ErrorPresenter;
class ScreenCursor;
class TMainForm;
}  // namespace quillon::ui

namespace quillon::app {

class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // The presenter of error boxes and the screen's cursor (nullptr: none).
  virtual ui::ErrorPresenter& Errors() = 0;
  virtual ui::ScreenCursor* Cursor() = 0;
  // False where nobody can see a window (offscreen, or no toolkit at all).
  virtual bool HasDisplay() const = 0;

  // Builds the window over `form`, hidden; ShowWindow shows it.
  virtual void CreateWindow(ui::TMainForm& form) = 0;
  virtual void ShowWindow() = 0;
  // Runs until the main window is closed.
  virtual void RunMessageLoop() = 0;
  virtual void DestroyWindow() noexcept = 0;
  // Shows an exception that escaped the start-up sequence.
  virtual void ShowException(std::string_view message) noexcept = 0;
};

// No window system: error boxes and exceptions are lines on standard error,
// there is no window and no cursor.
std::unique_ptr<Toolkit> MakeHeadlessToolkit();

}  // namespace quillon::app
