// The list, the property fields, the actions and the state changes.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/form/FormTestSupport.h"

namespace quillon::ui::testing {
namespace {

using Texts = std::vector<std::string>;

bool Called(const FakeDeviceService& service, const std::string& call) {
  return std::find(service.calls.begin(), service.calls.end(), call) != service.calls.end();
}

class DeviceListTest : public FormTest {};

TEST_F(DeviceListTest, DisplayNamesFallBackAndAnUnreadableInstanceIdGivesAnEmptyEntry) {
  service.devices.push_back(FakeDevice{});
  service.devices.back().friendlyName = "Hidden";
  service.devices.back().failInstanceId = 13;
  Make();
  EXPECT_EQ(service.calls.front(), "Open (all) 6");
  ASSERT_EQ(form->ListBox1.Count(), 4);
  EXPECT_EQ(Texts({Entry(0), Entry(1), Entry(2), Entry(3)}),
            Texts({"Uplink", "Virtio block device", "Unknown", ""}));
  EXPECT_EQ(errors.texts, Texts({"SetupDiGetDeviceInstanceId(): 13"}));
}

TEST_F(DeviceListTest, FailedOpenShowsTheCodeAndLeavesOnlyRefreshCloseAndSet) {
  service.openError = 50;
  Make();
  form->SelectDeviceByName("");
  EXPECT_EQ(form->ListBox1.Count(), 0);
  EXPECT_FALSE(form->DeviceInfoSet);
  EXPECT_EQ(errors.texts, Texts({"SetupDiGetClassDevs(): 50"}));
  EXPECT_TRUE(form->ActionUpdateDeviceList.Enabled());
  EXPECT_TRUE(form->ActionClose.Enabled());
  EXPECT_TRUE(form->ActionSetFriendlyName.Enabled());
  for (const TAction* action : {&form->ActionEnableDevice, &form->ActionDisableDevice,
                                &form->ActionStartDevice, &form->ActionStopDevice}) {
    EXPECT_FALSE(action->Enabled()) << action->Caption();
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
    entriesAtDestroy = window->ListBox1.Count();
  };
  form->ExecuteAction(form->ActionUpdateDeviceList);
  service.onDestroy = nullptr;
  EXPECT_EQ(recordsAtDestroy, 0);
  EXPECT_EQ(entriesAtDestroy, 0);
  EXPECT_EQ(service.openSets, 1);
  EXPECT_EQ(form->ListBox1.Count(), 3);
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(Field(form->EditName), "Virtio block device");  // fields keep their texts
  EXPECT_FALSE(form->ActionDisableDevice.Enabled());

  // Closing the window frees the records before the set, too.
  recordsAtDestroy = -1;
  service.onDestroy = [&, window = form.get()] { recordsAtDestroy = window->RecordCount(); };
  form.reset();
  EXPECT_EQ(recordsAtDestroy, 0);
  EXPECT_EQ(service.openSets, 0);
  service.onDestroy = nullptr;
}

TEST_F(DeviceListTest, StateChangesSendTheirParametersAndRereadTheFields) {
  const std::pair<TAction TMainForm::*, const char*> rows[] = {
      {&TMainForm::ActionEnableDevice, "1 1 0"},  // StateChange, Scope, HwProfile
      {&TMainForm::ActionDisableDevice, "2 1 0"},
      {&TMainForm::ActionStartDevice, "4 2 0"},
      {&TMainForm::ActionStopDevice, "5 2 0"},
  };
  Make();
  for (const auto& [action, params] : rows) {
    form->SelectDeviceByName("Virtio block device");
    service.calls.clear();
    form->ExecuteAction(form.get()->*action);
    EXPECT_EQ(service.calls, Texts({std::string("SetClassInstallParams ") + params,
                                    "CallClassInstaller 18", "Status 7"}));
    EXPECT_EQ(form->SelectedIndex(), 1);
  }
  EXPECT_TRUE(errors.texts.empty());

  form->SelectDeviceByName("nothing");
  service.calls.clear();
  form->ActionDisableDeviceExecute();  // without a selection, even the handler does nothing
  form->ExecuteAction(form->ActionSetFriendlyName);
  EXPECT_TRUE(service.calls.empty());
}

TEST_F(DeviceListTest, FailuresNameTheirFunction) {
  service.devices[0].failSetParams = 5;
  Make();
  form->SelectDeviceByName("");
  service.calls.clear();
  form->ExecuteAction(form->ActionDisableDevice);
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
