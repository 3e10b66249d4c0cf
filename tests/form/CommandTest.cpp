// Command mode inside the form: what only the form shows. The report
// texts themselves are checked end to end by the cli tests.
#include <gtest/gtest.h>

#include "tests/form/FormTestSupport.h"

namespace quillon::ui::testing {
namespace {

// enumDevices reads every device as the selection handler would, but fills
// the fields only once, at the end.
TEST_F(FormTest, EnumDevicesReadsEachDeviceInTurnAndLeavesTheLastInTheFields) {
  service.devices[0].failInstanceId = 13;
  service.devices[2].failInstanceId = 5;
  service.devices[2].problem = 22;
  Make();
  form->SelectDeviceByName("");
  errors.texts.clear();
  service.calls.clear();
  form->ExecuteDeviceCommand("enumDevices", "");

  EXPECT_EQ(errors.texts, (std::vector<std::string>{"SetupDiGetDeviceInstanceId(): 13",
                                                    "SetupDiGetDeviceInstanceId(): 5"}));
  EXPECT_EQ(service.calls, (std::vector<std::string>{"Status 3", "Status 7", "Status 2147483649"}));
  EXPECT_EQ(ReadFile(LogPath()),
            ": 0x0180200A(enabled)\r\n"
            "Virtio block device: 0x01802400(disabled)\r\n"
            ": 0x0180200A(disabled)\r\n");
  EXPECT_EQ(Field(form->EditName), "");
  EXPECT_EQ(Field(form->EditKey), "{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(Field(form->EditDevInfo), "-2147483647");
  EXPECT_EQ(Field(form->EditStatus), "0x0180200A");
  EXPECT_EQ(Field(form->EditProblem), "0x00000016");
  EXPECT_EQ(Field(form->EditProblemText), "disabled");
  EXPECT_GT(cursor.pushes, 0);
  EXPECT_EQ(cursor.depth, 0);  // the hourglass is gone
}

TEST_F(FormTest, EachReportLineIsOnDiskAsSoonAsItEnds) {
  Make();
  form->SelectDeviceByName("");
  form->ExecuteDeviceCommand("statusDevice", "");
  EXPECT_EQ(ReadFile(LogPath()).substr(136), "DeviceProblemText=enabled\r\n");  // window still open
}

// Lines are written out in batches, yet a box that waits for the user finds
// every line finished before it in the file.
TEST_F(FormTest, AnErrorBoxFindsEveryFinishedLineInTheLog) {
  class LogReadingPresenter final : public ErrorPresenter {
   public:
    explicit LogReadingPresenter(std::string path) : path_(std::move(path)) {}
    void ShowError(const std::string&) override { logs.push_back(ReadFile(path_)); }
    std::vector<std::string> logs;

   private:
    std::string path_;
  };
  service.devices[2].failInstanceId = 5;
  LogReadingPresenter boxes(LogPath());
  form = std::make_unique<TMainForm>(service, boxes, LogBesideExecutable(), &cursor);
  form->SelectDeviceByName("");
  form->ExecuteDeviceCommand("enumDevices", "");
  form.reset();
  EXPECT_EQ(boxes.logs, (std::vector<std::string>{
                            "",  // while the list was filled
                            "Uplink: 0x0180200A(enabled)\r\n"
                            "Virtio block device: 0x01802400(disabled)\r\n",
                        }));
}

TEST_F(FormTest, SetFriendlyNameStoresValue0OrTheEmptyText) {
  Make();
  form->SelectDeviceByName("Unknown");
  form->ExecuteDeviceCommand("setFriendlyName", "Spare port");
  EXPECT_EQ(service.devices[2].friendlyName, "Spare port");
  form->ExecuteDeviceCommand("setFriendlyName", "");
  EXPECT_EQ(service.calls.back(), "SetProperty 12 [] 0");
  EXPECT_EQ(service.devices[2].friendlyName, "");
}

}  // namespace
}  // namespace quillon::ui::testing
