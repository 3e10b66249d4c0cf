#include "gui/MessageBoxPresenter.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>

namespace quillon::ui {

namespace {

// A box that places itself in the middle of the screen once its final size
// is known, whatever window happens to be active.
class CentredMessageBox final : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (screen == nullptr)
      screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
      return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
};

// The arrow while a box is open, even under an hourglass.
class ArrowCursor {
 public:
  ArrowCursor() { QApplication::setOverrideCursor(Qt::ArrowCursor); }
  ~ArrowCursor() { QApplication::restoreOverrideCursor(); }
  ArrowCursor(const ArrowCursor&) = delete;
  ArrowCursor& operator=(const ArrowCursor&) = delete;
};

}  // namespace

void MessageBoxPresenter::ShowError(const std::string& text) {
  const ArrowCursor arrow;
  CentredMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                        QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())),
                        QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Ok);
  box.exec();
}

std::unique_ptr<ErrorPresenter> MakeErrorPresenter() {
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
    return std::make_unique<StandardErrorPresenter>();
  }
  return std::make_unique<MessageBoxPresenter>();
}

void OverrideCursor::PushHourglass() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
}

void OverrideCursor::Pop() {
  QApplication::restoreOverrideCursor();
}

}  // namespace quillon::ui
