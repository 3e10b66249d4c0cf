// Error boxes and the wait cursor.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "form/ExWaitCursor.h"
#include "gui/MessageBoxPresenter.h"

namespace quillon::ui {
namespace {

Qt::CursorShape OverrideShape() {
  const QCursor* cursor = QApplication::overrideCursor();
  return cursor == nullptr ? Qt::BitmapCursor : cursor->shape();  // Bitmap: none at all
}

TEST(ExWaitCursorTest, NestedInstancesRestoreInReverseOrder) {
  ASSERT_EQ(QApplication::overrideCursor(), nullptr);
  {
    OverrideCursor screen;
    const ExWaitCursor outer(screen);
    QApplication::setOverrideCursor(Qt::IBeamCursor);
    {
      const ExWaitCursor inner(screen);
      EXPECT_EQ(OverrideShape(), Qt::WaitCursor);
    }
    EXPECT_EQ(OverrideShape(), Qt::IBeamCursor);
    QApplication::restoreOverrideCursor();
    EXPECT_EQ(OverrideShape(), Qt::WaitCursor);
  }
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(ErrorPresenterTest, OffscreenWritesOneLineToStandardError) {
  EXPECT_NE(dynamic_cast<StandardErrorPresenter*>(MakeErrorPresenter().get()), nullptr);
  ::testing::internal::CaptureStderr();
  StandardErrorPresenter().ShowError("SetupDiGetClassDevs(): 50");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: SetupDiGetClassDevs(): 50\n");
}

TEST(ErrorPresenterTest, BoxHasCaptionIconOneOkAndTheArrowOverTheHourglass) {
  QString caption;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  qsizetype buttons = 0;
  Qt::CursorShape cursor = Qt::BitmapCursor;
  bool centred = false;
  QTimer::singleShot(50, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    caption = box->windowTitle();
    text = box->text();
    icon = box->icon();
    buttons = box->buttons().size();
    cursor = OverrideShape();
    const QRect screen = box->screen()->availableGeometry();
    centred = (box->frameGeometry().center() - screen.center()).manhattanLength() <= 2;
    QTest::keyClick(box, Qt::Key_Escape);  // Esc presses OK
  });
  {
    OverrideCursor screen;
    const ExWaitCursor wait(screen);
    MessageBoxPresenter().ShowError("SetupDiGetDeviceInstanceId(): 13 \xC3\xA4");
    EXPECT_EQ(OverrideShape(), Qt::WaitCursor);  // the hourglass is back
  }
  EXPECT_EQ(caption, "Error");
  EXPECT_EQ(text, QString::fromUtf8("SetupDiGetDeviceInstanceId(): 13 \xC3\xA4"));
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(buttons, 1);
  EXPECT_EQ(cursor, Qt::ArrowCursor);
  EXPECT_TRUE(centred);
}

}  // namespace
}  // namespace quillon::ui
