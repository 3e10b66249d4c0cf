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
  explicit QtToolkit(const std::string& programName) : programName_(programName) {
    arguments_ = {programName_.data(), nullptr};
    InstallMessageFilter();
    application_.emplace(argc_, arguments_.data());
    // No application display name: Qt would append it to every window title
    // that lacks it, the error boxes' "Error" included.
    QGuiApplication::setDesktopFileName(QStringLiteral("quillon"));
    QApplication::setWindowIcon(ui::ApplicationIcon());
    errors_ = ui::MakeErrorPresenter();
  }

  ~QtToolkit() override {
    DestroyWindow();
    errors_.reset();
  }

  QtToolkit(const QtToolkit&) = delete;
  QtToolkit& operator=(const QtToolkit&) = delete;

  ui::ErrorPresenter& Errors() override { return *errors_; }
  ui::ScreenCursor* Cursor() override { return &cursor_; }
  bool HasDisplay() const override {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
  }

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
  std::unique_ptr<ui::ErrorPresenter> errors_;
  ui::OverrideCursor cursor_;
  std::unique_ptr<ui::MainWindow> window_;
};

}  // namespace

std::unique_ptr<Toolkit> MakeQtToolkit(const std::string& programName) {
  return std::make_unique<QtToolkit>(programName);
}

}  // namespace quillon::app
