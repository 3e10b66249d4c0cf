// What only the window does: telling the user's selection from the code's,
// and the menu with its access keys.
#include <gtest/gtest.h>

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QTest>
#include <algorithm>

#include "tests/gui/WindowTestSupport.h"

namespace quillon::ui::testing {
namespace {

class WindowInputTest : public WindowTest {};

TEST_F(WindowInputTest, OnlyUserSelectionChangesRunTheClickHandler) {
  Make();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  window->ListBox1->setFocus();  // first focus sets a current row, selects nothing
  const auto statusQueries = [&] {
    return std::count_if(service.calls.begin(), service.calls.end(),
                         [](const std::string& call) { return call.rfind("Status", 0) == 0; });
  };
  EXPECT_EQ(statusQueries(), 0);

  window->ListBox1->setCurrentRow(1);  // from code: no handler
  EXPECT_EQ(statusQueries(), 0);
  EXPECT_EQ(Field(window->EditName), "");

  QTest::keyClick(window->ListBox1, Qt::Key_Down);
  EXPECT_EQ(statusQueries(), 1);
  EXPECT_EQ(form->SelectedIndex(), 2);
  EXPECT_EQ(Field(window->EditName), "Unknown");
  EXPECT_TRUE(form->ActionEnableDevice.Enabled());

  QWidget* viewport = window->ListBox1->viewport();
  const QRect first = window->ListBox1->visualItemRect(window->ListBox1->item(0));
  QTest::mouseClick(viewport, Qt::LeftButton, {}, first.center());
  EXPECT_EQ(statusQueries(), 2);
  EXPECT_EQ(Field(window->EditName), "Uplink");

  // Ctrl+click on the selected entry and a click below the last entry keep it selected.
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, first.center());
  QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(5, viewport->height() - 3));
  EXPECT_EQ(form->SelectedIndex(), 0);
  EXPECT_EQ(statusQueries(), 2);
}

TEST_F(WindowInputTest, MenuCaptionsCarryUniqueAccessKeys) {
  EXPECT_EQ(AddAccessKeys({"Refresh Device List", "Enable Device", "Disable Device", "Start Device",
                           "Stop Device"}),
            QStringList({"&Refresh Device List", "&Enable Device", "&Disable Device",
                         "&Start Device", "S&top Device"}));
  EXPECT_EQ(AddAccessKeys({"A & B", "A"}), QStringList({"&A && B", "A"}));
  Make();
  EXPECT_EQ(window->UpdateDeviceList1->text(), "&Refresh Device List");
  EXPECT_EQ(window->UpdateDeviceList1->shortcut(), QKeySequence(Qt::Key_F5));
  EXPECT_EQ(form->ActionUpdateDeviceList.Caption(), "Refresh Device List");
  EXPECT_EQ(window->Help1->title(), "&Help");
  emit window->Help1->aboutToShow();  // About is disabled whenever Help opens
  EXPECT_FALSE(form->ActionAbout.Enabled());
  EXPECT_FALSE(window->About1->isEnabled());
}

// setFriendlyName with a window: the name reaches the service as given,
// also bytes that are no text in the locale, which the field would alter.
TEST_F(WindowInputTest, CommandValuesPassTheWindowUnaltered) {
  Make();
  form->SelectDeviceByName("");
  form->ExecuteDeviceCommand("setFriendlyName", "Disk \xFF\xFE");
  EXPECT_EQ(form->EditName.Text(), "Disk \xFF\xFE");
  EXPECT_EQ(service.devices[0].friendlyName, "Disk \xFF\xFE");
}

}  // namespace
}  // namespace quillon::ui::testing
