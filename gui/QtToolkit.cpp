#include "gui/QtToolkit.h"

#include <QGuiApplication>
#include <optional>
#include <vector>

#include "form/MainFormUnit.h"
#include "gui/MainWindow.h"
#include "gui/MessageBoxPresenter.h"
#include "gui/QuillonApplication.h"

namespace quillon::app {
namespace {

class QtToolkit final : public Toolkit {
 public:
  QtToolkit(const std::string& programName, ui::ErrorPresenter& standardErrors)
      : programName_(programName) {
    arguments_ = {programName_.data(), nullptr};
    InstallMessageFilter();
    application_.emplace(argc_, arguments_.data());
    // No application display name: Qt would append it to every window title
    // that lacks it, the error boxes' "Error" included.
    QGuiApplication::setDesktopFileName(QStringLiteral("quillon"));
    QApplication::setWindowIcon(ui::ApplicationIcon());
    if (CanShowBoxes())
      errors_ = &boxes_;
    else
      errors_ = &standardErrors;
  }

  ~QtToolkit() override { DestroyWindow(); }

  QtToolkit(const QtToolkit&) = delete;
  QtToolkit& operator=(const QtToolkit&) = delete;

  ui::ErrorPresenter& Errors() override { return *errors_; }
  ui::ScreenCursor* Cursor() override { return &cursor_; }
  bool HasDisplay() const override { return CanShowBoxes(); }

  void CreateWindow(ui::TMainForm& form) override {
    window_ = std::make_unique<ui::MainWindow>(form);
  }
  void ShowWindow() override {
    if (window_)
      window_->show();
  }
  void RunMessageLoop() override { QApplication::exec(); }
  void DestroyWindow() noexcept override { window_.reset(); }
  void ShowException(std::string_view message) noexcept override { app::ShowException(message); }

 private:
  std::string programName_;
  int argc_ = 1;
  std::vector<char*> arguments_;
  std::optional<QuillonApplication> application_;
  ui::MessageBoxPresenter boxes_;
  ui::ErrorPresenter* errors_ = nullptr;
  ui::OverrideCursor cursor_;
  std::unique_ptr<ui::MainWindow> window_;
};

}  // namespace

std::unique_ptr<Toolkit> MakeQtToolkit(const std::string& programName,
                                       ui::ErrorPresenter& standardErrors) {
  return std::make_unique<QtToolkit>(programName, standardErrors);
}

}  // namespace quillon::app
