// The window over a real device file: changes reach the file, injected
// failures give their boxes, and a long list stays quick to fill.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>
#include <fstream>
#include <sstream>

#include "DeviceFileService.h"
#include "TestSupport.h"

namespace quillon::ui::testing {
namespace {

const char* const kMachine = R"({
  "devices": [
    { "instanceId": "PCI\\VEN_8086&DEV_15BC\\3", "description": "Ethernet Connection",
      "classGuid": "{4D36E972-E325-11CE-BFC1-08002BE10318}", "devInst": 5 },
    { "instanceId": "USB\\VID_046D&PID_C077\\1", "friendlyName": "Mouse",
      "devInst": "0xFFFFFFFE", "problem": 22, "status": "0x01802400",
      "fail": { "setClassInstallParams": 5 } },
    { "instanceId": "USB\\VID_0BDA&PID_8153\\2", "description": "USB Ethernet",
      "fail": { "callClassInstaller": -536870389, "setFriendlyName": 5 } }
  ]
})";

class DeviceFileWindowTest : public WindowTest {
 protected:
  void SetUp() override { WriteMachine(kMachine); }
  void TearDown() override { form.reset(); }  // before the service it uses

  void WriteMachine(const std::string& json) {
    std::ofstream(MachinePath(), std::ios::binary) << json;
  }
  std::string MachinePath() const { return dir.filePath("machine.json").toStdString(); }
  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  TMainForm& MakeOverFile() {
    file = devices::MakeDeviceFileService(MachinePath(), diagnostics);
    form = std::make_unique<TMainForm>(*file, errors, ExecutablePath());
    return *form;
  }

  std::ostringstream diagnostics;
  std::unique_ptr<devices::DeviceService> file;
};

TEST_F(DeviceFileWindowTest, ListsAndShowsTheFilesDevices) {
  MakeOverFile();
  form->SelectDeviceByName("mouse");
  ASSERT_EQ(form->ListBox1->count(), 3);
  EXPECT_EQ(Entry(0), "Ethernet Connection");
  EXPECT_EQ(Field(form->EditDevInfo), "-2");
  EXPECT_EQ(Field(form->EditProblem), "0x00000016");
  EXPECT_EQ(Field(form->EditProblemText), "disabled");
  EXPECT_TRUE(errors.texts.empty());
}

TEST_F(DeviceFileWindowTest, DisableThenEnableIsWrittenToTheFile) {
  MakeOverFile();
  form->SelectDeviceByName("");
  form->ExecuteAction(*form->ActionDisableDevice);
  EXPECT_EQ(Field(form->EditProblemText), "disabled");
  EXPECT_NE(ReadFile(MachinePath()).find("22"), std::string::npos);
  form->ExecuteAction(*form->ActionEnableDevice);
  EXPECT_EQ(Field(form->EditProblemText), "enabled");
  EXPECT_EQ(form->SelectedIndex(), 0);
  EXPECT_EQ(Entry(0), "Ethernet Connection");
  EXPECT_TRUE(errors.texts.empty());
}

TEST_F(DeviceFileWindowTest, InjectedFailuresGiveTheirBoxes) {
  MakeOverFile();
  form->SelectDeviceByName("Mouse");
  form->ExecuteDeviceCommand("enableDevice", "");
  EXPECT_EQ(Field(form->EditProblemText), "disabled");
  form->SelectDeviceByName("USB Ethernet");
  form->ExecuteDeviceCommand("startDevice", "");
  form->ExecuteDeviceCommand("setFriendlyName", "Dock");
  EXPECT_EQ(errors.texts,
            (std::vector<std::string>{"SetupDiSetClassInstallParams(): HANDLE error 5",
                                      "SetupDiCallClassInstaller(): HANDLE error -536870389",
                                      "SetupDiSetDeviceRegistryProperty(): 5"}));
}

TEST_F(DeviceFileWindowTest, UnopenableFileGivesOneBoxAndAnEmptyList) {
  WriteMachine(R"({ "openError": 50, "devices": [] })");
  MakeOverFile();
  EXPECT_EQ(form->ListBox1->count(), 0);
  EXPECT_EQ(errors.texts, std::vector<std::string>{"SetupDiGetClassDevs(): 50"});
}

TEST_F(DeviceFileWindowTest, NewFriendlyNameAppearsAfterF5) {
  MakeOverFile();
  form->show();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->SelectDeviceByName("Ethernet Connection");
  form->EditName->setText("Office LAN");
  QTest::mouseClick(form->ButtonSetFriendlyName, Qt::LeftButton);
  EXPECT_EQ(Entry(0), "Ethernet Connection");
  QTest::keyClick(form.get(), Qt::Key_F5);
  EXPECT_EQ(Entry(0), "Office LAN");
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(Field(form->EditName), "Office LAN");
}

TEST_F(WindowTest, AHundredThousandEntriesFillQuickly) {
  service.devices.assign(100000, FakeDevice{});
  for (std::size_t i = 0; i < service.devices.size(); ++i) {
    service.devices[i].description = "Device " + std::to_string(i);
    service.devices[i].devInst = static_cast<std::uint32_t>(i + 1);
  }
  QElapsedTimer timer;
  timer.start();
  Make();
  form->SelectDeviceByName("Device 99999");
  const qint64 elapsed = timer.elapsed();
  EXPECT_EQ(form->SelectedIndex(), 99999);
  // About 0.2 s here; a list that grows quadratically takes many seconds.
  EXPECT_LT(elapsed, 5000) << "filling took " << elapsed << " ms";
  std::cout << "[ measured ] 100000 entries filled and searched in " << elapsed << " ms\n";
}

}  // namespace
}  // namespace quillon::ui::testing
