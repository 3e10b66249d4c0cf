// The list, the property fields, the actions and the state changes.
#include <gtest/gtest.h>

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QTest>
#include <algorithm>

#include "TestSupport.h"

namespace quillon::ui::testing {
namespace {

using Texts = std::vector<std::string>;

bool Called(const FakeDeviceService& service, const std::string& call) {
  return std::find(service.calls.begin(), service.calls.end(), call) != service.calls.end();
}

class DeviceListTest : public WindowTest {};

TEST_F(DeviceListTest, DisplayNamesFallBackAndAnUnreadableInstanceIdGivesAnEmptyEntry) {
  service.devices.push_back(FakeDevice{});
  service.devices.back().friendlyName = "Hidden";
  service.devices.back().failInstanceId = 13;
  Make();
  EXPECT_EQ(service.calls.front(), "Open (all) 6");
  ASSERT_EQ(form->ListBox1->count(), 4);
  EXPECT_EQ(Texts({Entry(0), Entry(1), Entry(2), Entry(3)}),
            Texts({"Uplink", "Virtio block device", "Unknown", ""}));
  EXPECT_EQ(errors.texts, Texts({"SetupDiGetDeviceInstanceId(): 13"}));
}

TEST_F(DeviceListTest, FailedOpenShowsTheCodeAndLeavesOnlyRefreshCloseAndSet) {
  service.openError = 50;
  Make();
  form->SelectDeviceByName("");
  EXPECT_EQ(form->ListBox1->count(), 0);
  EXPECT_FALSE(form->DeviceInfoSet);
  EXPECT_EQ(errors.texts, Texts({"SetupDiGetClassDevs(): 50"}));
  EXPECT_TRUE(form->ActionUpdateDeviceList->isEnabled());
  EXPECT_TRUE(form->ActionClose->isEnabled());
  EXPECT_TRUE(form->ActionSetFriendlyName->isEnabled());
  for (QAction* action : {form->ActionEnableDevice, form->ActionDisableDevice,
                          form->ActionStartDevice, form->ActionStopDevice}) {
    EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
  }
}

TEST_F(DeviceListTest, PropertyFieldsShowGuidHandleStatusAndProblem) {
  Make();
  form->SelectDeviceByName("uplink");  // names match ignoring case
  EXPECT_EQ(Field(form->EditName), "Uplink");
  EXPECT_EQ(Field(form->EditKey), "{4D36E972-E325-11CE-BFC1-08002BE10318}");
  EXPECT_EQ(Field(form->EditDevInfo), "3");
  EXPECT_EQ(Field(form->EditStatus), "0x0180200A");
  EXPECT_EQ(Field(form->EditProblem), "0x00000000");
  EXPECT_EQ(Field(form->EditProblemText), "enabled");

  form->SelectDeviceByName("Virtio block device");
  EXPECT_EQ(Field(form->EditKey), "{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(Field(form->EditStatus), "0x01802400");
  EXPECT_EQ(Field(form->EditProblem), "0x00000016");
  EXPECT_EQ(Field(form->EditProblemText), "disabled");

  service.devices[2].problem = 5;  // a code without a text
  form->SelectDeviceByName("Unknown");
  EXPECT_EQ(Field(form->EditDevInfo), "-2147483647");
  EXPECT_EQ(Field(form->EditProblem), "0x00000005");
  EXPECT_EQ(Field(form->EditProblemText), "unknown error");
}

TEST_F(DeviceListTest, FailedStatusQueryShowsZeros) {
  service.devices[0].failStatus = true;
  service.devices[1].failStatus = true;
  Make();
  form->SelectDeviceByName("Virtio block device");
  EXPECT_EQ(Field(form->EditStatus), "0x00000000");
  EXPECT_EQ(Field(form->EditProblemText), "enabled");
}

TEST_F(DeviceListTest, NoSelectionClearsFourFieldsButKeepsStatusAndProblem) {
  Make();
  form->SelectDeviceByName("Virtio block device");
  form->SelectDeviceByName("no such device");
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(Field(form->EditName), "");
  EXPECT_EQ(Field(form->EditKey), "");
  EXPECT_EQ(Field(form->EditDevInfo), "");
  EXPECT_EQ(Field(form->EditProblemText), "");
  EXPECT_EQ(Field(form->EditStatus), "0x01802400");
  EXPECT_EQ(Field(form->EditProblem), "0x00000016");
}

TEST_F(DeviceListTest, RefreshFreesRecordsBeforeTheSetAndLeavesNothingSelected) {
  Make();
  form->SelectDeviceByName("Virtio block device");
  int recordsAtDestroy = -1;
  int entriesAtDestroy = -1;
  service.onDestroy = [&, window = form.get()] {
    recordsAtDestroy = window->RecordCount();
    entriesAtDestroy = window->ListBox1->count();
  };
  form->ExecuteAction(*form->ActionUpdateDeviceList);
  service.onDestroy = nullptr;
  EXPECT_EQ(recordsAtDestroy, 0);
  EXPECT_EQ(entriesAtDestroy, 0);
  EXPECT_EQ(service.openSets, 1);
  EXPECT_EQ(form->ListBox1->count(), 3);
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(Field(form->EditName), "Virtio block device");  // fields keep their texts
  EXPECT_FALSE(form->ActionDisableDevice->isEnabled());

  // Closing the window frees the records before the set, too.
  recordsAtDestroy = -1;
  service.onDestroy = [&, window = form.get()] { recordsAtDestroy = window->RecordCount(); };
  form.reset();
  EXPECT_EQ(recordsAtDestroy, 0);
  EXPECT_EQ(service.openSets, 0);
  service.onDestroy = nullptr;
}

TEST_F(DeviceListTest, OnlyUserSelectionChangesRunTheClickHandler) {
  Make();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  form->ListBox1->setFocus();  // first focus sets a current row, selects nothing
  const auto statusQueries = [&] {
    return std::count_if(service.calls.begin(), service.calls.end(),
                         [](const std::string& call) { return call.rfind("Status", 0) == 0; });
  };
  EXPECT_EQ(statusQueries(), 0);

  form->ListBox1->setCurrentRow(1);  // from code: no handler
  EXPECT_EQ(statusQueries(), 0);
  EXPECT_EQ(Field(form->EditName), "");

  QTest::keyClick(form->ListBox1, Qt::Key_Down);
  EXPECT_EQ(statusQueries(), 1);
  EXPECT_EQ(form->SelectedIndex(), 2);
  EXPECT_EQ(Field(form->EditName), "Unknown");
  EXPECT_TRUE(form->ActionEnableDevice->isEnabled());

  QWidget* viewport = form->ListBox1->viewport();
  const QRect first = form->ListBox1->visualItemRect(form->ListBox1->item(0));
  QTest::mouseClick(viewport, Qt::LeftButton, {}, first.center());
  EXPECT_EQ(statusQueries(), 2);
  EXPECT_EQ(Field(form->EditName), "Uplink");

  // Ctrl+click on the selected entry and a click below the last entry keep it selected.
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, first.center());
  QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(5, viewport->height() - 3));
  EXPECT_EQ(form->SelectedIndex(), 0);
  EXPECT_EQ(statusQueries(), 2);
}

TEST_F(DeviceListTest, MenuCaptionsCarryUniqueAccessKeys) {
  EXPECT_EQ(AddAccessKeys({"Refresh Device List", "Enable Device", "Disable Device", "Start Device",
                           "Stop Device"}),
            QStringList({"&Refresh Device List", "&Enable Device", "&Disable Device",
                         "&Start Device", "S&top Device"}));
  EXPECT_EQ(AddAccessKeys({"A & B", "A"}), QStringList({"&A && B", "A"}));
  Make();
  EXPECT_EQ(form->UpdateDeviceList1->text(), "&Refresh Device List");
  EXPECT_EQ(form->UpdateDeviceList1->shortcut(), QKeySequence(Qt::Key_F5));
  EXPECT_EQ(form->ActionUpdateDeviceList->text(), "Refresh Device List");
  EXPECT_EQ(form->Help1->title(), "&Help");
  emit form->Help1->aboutToShow();  // About is disabled whenever Help opens
  EXPECT_FALSE(form->ActionAbout->isEnabled());
  EXPECT_FALSE(form->About1->isEnabled());
}

TEST_F(DeviceListTest, StateChangesSendTheirParametersAndRereadTheFields) {
  const std::pair<QAction * TMainForm::*, const char*> rows[] = {
      {&TMainForm::ActionEnableDevice, "1 1 0"},  // StateChange, Scope, HwProfile
      {&TMainForm::ActionDisableDevice, "2 1 0"},
      {&TMainForm::ActionStartDevice, "4 2 0"},
      {&TMainForm::ActionStopDevice, "5 2 0"},
  };
  Make();
  for (const auto& [action, params] : rows) {
    form->SelectDeviceByName("Virtio block device");
    service.calls.clear();
    form->ExecuteAction(*(form.get()->*action));
    EXPECT_EQ(service.calls, Texts({std::string("SetClassInstallParams ") + params,
                                    "CallClassInstaller 18", "Status 7"}));
    EXPECT_EQ(form->SelectedIndex(), 1);
  }
  EXPECT_TRUE(errors.texts.empty());

  form->SelectDeviceByName("nothing");
  service.calls.clear();
  form->ActionDisableDeviceExecute();  // without a selection, even the handler does nothing
  form->ExecuteAction(*form->ActionSetFriendlyName);
  EXPECT_TRUE(service.calls.empty());
}

TEST_F(DeviceListTest, FailuresNameTheirFunction) {
  service.devices[0].failSetParams = 5;
  Make();
  form->SelectDeviceByName("");
  service.calls.clear();
  form->ExecuteAction(*form->ActionDisableDevice);
  EXPECT_EQ(errors.texts, Texts({"SetupDiSetClassInstallParams(): HANDLE error 5"}));
  EXPECT_FALSE(Called(service, "CallClassInstaller 18")) << "no installer without parameters";
  EXPECT_TRUE(Called(service, "Status 3")) << "fields re-read all the same";

  service.devices[0].failSetName = 5;
  service.devices[1].failInstanceId = 13;
  errors.texts.clear();
  EXPECT_FALSE(form->SetDeviceFriendlyName(*form->RecordAt(0), "x"));
  EXPECT_FALSE(form->SetDeviceFriendlyName(*form->RecordAt(1), "x"));
  EXPECT_EQ(errors.texts,
            Texts({"SetupDiSetDeviceRegistryProperty(): 5", "SetupDiGetDeviceInstanceId(): 13"}));
}

}  // namespace
}  // namespace quillon::ui::testing
