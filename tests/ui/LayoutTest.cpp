// Geometry of the window at its design size and when widened.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "TestSupport.h"

namespace quillon::ui::testing {
namespace {

class LayoutTest : public WindowTest {
 protected:
  void Show() {
    Make();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }
};

TEST_F(LayoutTest, DesignGeometryAndResizing) {
  Show();
  EXPECT_EQ(form->windowTitle(), "Quillon - Varnholt");
  EXPECT_EQ(form->GroupBox1->geometry(), QRect(0, form->GroupBox1->y(), 532, 230));
  EXPECT_EQ(form->GroupBox1->title(), " Device List ");
  EXPECT_EQ(form->GroupBox2->title(), " Properties ");
  EXPECT_EQ(form->ListBox1->geometry(), QRect(2, 15, 247, 213));
  EXPECT_EQ(form->GroupBox2->geometry(), QRect(256, 16, 267, 203));
  EXPECT_EQ(form->EditKey->geometry(), QRect(72, 16, 189, 21));
  EXPECT_EQ(form->EditName->geometry(), QRect(72, 48, 161, 21));
  EXPECT_EQ(form->ButtonSetFriendlyName->geometry(), QRect(237, 50, 25, 17));
  EXPECT_EQ(form->EditProblemText->geometry(), QRect(72, 176, 189, 21));
  EXPECT_EQ(form->Label2->pos(), QPoint(8, 24));
  EXPECT_EQ(form->Label2->text(), "Class GUID: ");
  EXPECT_EQ(form->ButtonSetFriendlyName->text(), "Set");
  EXPECT_EQ(form->ImageList1.Count(), 3);
  EXPECT_EQ(form->ImageList1.Image(2).availableSizes().value(0), QSize(16, 16));

  // Widening grows the fields but not the list.
  form->resize(form->width() + 100, form->height() + 40);
  QTest::qWait(0);
  EXPECT_EQ(form->GroupBox1->size(), QSize(632, 270));
  EXPECT_EQ(form->ListBox1->geometry(), QRect(2, 15, 247, 253));
  EXPECT_EQ(form->GroupBox2->geometry(), QRect(256, 16, 367, 243));
  EXPECT_EQ(form->EditKey->geometry(), QRect(72, 16, 289, 21));
  EXPECT_EQ(form->EditName->geometry(), QRect(72, 48, 261, 21));
  EXPECT_EQ(form->ButtonSetFriendlyName->geometry(), QRect(337, 50, 25, 17));
}

TEST_F(LayoutTest, TabOrderStartsAtTheListWhichHasTheFocus) {
  Show();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  EXPECT_EQ(QApplication::focusWidget(), form->ListBox1);
  const QWidget* expected[] = {
      form->EditName,    form->EditKey,         form->EditDevInfo,           form->EditStatus,
      form->EditProblem, form->EditProblemText, form->ButtonSetFriendlyName, form->ListBox1};
  for (const QWidget* widget : expected) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), widget);
  }
}

}  // namespace
}  // namespace quillon::ui::testing
