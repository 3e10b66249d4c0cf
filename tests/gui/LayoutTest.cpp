// Geometry of the window: its outer size, the layout at its design size and
// when widened.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "tests/gui/WindowTestSupport.h"

namespace quillon::ui::testing {
namespace {

class LayoutTest : public WindowTest {
 protected:
  void Show() {
    Make();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }

  // The client area the design was drawn for (inside a 4-pixel frame with a
  // caption); the window's own size depends on the frame it gets.
  void ShowAtDesignSize() {
    Show();
    window->resize(532, 230 + window->MainMenu1->height());
    QTest::qWait(0);
  }
};

// The outer size, frame included, whatever frame the window system draws
// (offscreen: 2 pixels a side; a bare X server, none: see window_x11_test).
TEST_F(LayoutTest, OuterSizeIsTheFramesAtTheDesignPosition) {
  Show();
  QTest::qWait(0);
  EXPECT_EQ(window->frameGeometry(), QRect(303, 136, 540, 276));
  EXPECT_EQ(ClientSizeForFrame(QSize(540, 276), QMargins(4, 23, 4, 4)), QSize(532, 249));
  EXPECT_EQ(ClientSizeForFrame(QSize(540, 276), QMargins()), QSize(540, 276));
  // Resizing by the user is not undone.
  window->resize(700, 400);
  QTest::qWait(0);
  EXPECT_EQ(window->size(), QSize(700, 400));
}

TEST_F(LayoutTest, DesignGeometryAndResizing) {
  ShowAtDesignSize();
  EXPECT_EQ(window->windowTitle(), "Quillon - Varnholt");
  EXPECT_EQ(window->GroupBox1->geometry(), QRect(0, window->GroupBox1->y(), 532, 230));
  EXPECT_EQ(window->GroupBox1->title(), " Device List ");
  EXPECT_EQ(window->GroupBox2->title(), " Properties ");
  EXPECT_EQ(window->ListBox1->geometry(), QRect(2, 15, 247, 213));
  EXPECT_EQ(window->GroupBox2->geometry(), QRect(256, 16, 267, 203));
  EXPECT_EQ(window->EditKey->geometry(), QRect(72, 16, 189, 21));
  EXPECT_EQ(window->EditName->geometry(), QRect(72, 48, 161, 21));
  EXPECT_EQ(window->ButtonSetFriendlyName->geometry(), QRect(237, 50, 25, 17));
  EXPECT_EQ(window->EditProblemText->geometry(), QRect(72, 176, 189, 21));
  EXPECT_EQ(window->Label2->pos(), QPoint(8, 24));
  EXPECT_EQ(window->Label2->text(), "Class GUID: ");
  EXPECT_EQ(window->ButtonSetFriendlyName->text(), "Set");
  EXPECT_EQ(form->ImageList1.Count(), 3);
  EXPECT_EQ(window->Image(2).availableSizes().value(0), QSize(16, 16));

  // Widening grows the fields but not the list.
  window->resize(window->width() + 100, window->height() + 40);
  QTest::qWait(0);
  EXPECT_EQ(window->GroupBox1->size(), QSize(632, 270));
  EXPECT_EQ(window->ListBox1->geometry(), QRect(2, 15, 247, 253));
  EXPECT_EQ(window->GroupBox2->geometry(), QRect(256, 16, 367, 243));
  EXPECT_EQ(window->EditKey->geometry(), QRect(72, 16, 289, 21));
  EXPECT_EQ(window->EditName->geometry(), QRect(72, 48, 261, 21));
  EXPECT_EQ(window->ButtonSetFriendlyName->geometry(), QRect(337, 50, 25, 17));
}

TEST_F(LayoutTest, TabOrderStartsAtTheListWhichHasTheFocus) {
  Show();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  EXPECT_EQ(QApplication::focusWidget(), window->ListBox1);
  const QWidget* expected[] = {window->EditName,
                               window->EditKey,
                               window->EditDevInfo,
                               window->EditStatus,
                               window->EditProblem,
                               window->EditProblemText,
                               window->ButtonSetFriendlyName,
                               window->ListBox1};
  for (const QWidget* widget : expected) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), widget);
  }
}

}  // namespace
}  // namespace quillon::ui::testing
