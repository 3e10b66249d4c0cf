// The window over a real device file: a new name shows after a refresh, and a
// long list stays quick to fill. Changes and injected failures over a device
// file are checked end to end by the cli tests.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <sstream>

#include "devices/devicefile/DeviceFileService.h"
#include "tests/gui/WindowTestSupport.h"

namespace quillon::ui::testing {
namespace {

class DeviceFileWindowTest : public WindowTest {
 protected:
  void TearDown() override {  // before the service they use
    window.reset();
    form.reset();
  }

  TMainForm& MakeOverFile(const std::string& json) {
    const std::string path = dir.filePath("machine.json");
    WriteFile(path, json);
    file = devices::MakeDeviceFileService(path, diagnostics);
    form = std::make_unique<TMainForm>(*file, errors, LogBesideExecutable());
    window = std::make_unique<MainWindow>(*form);
    return *form;
  }

  std::ostringstream diagnostics;
  std::unique_ptr<devices::DeviceService> file;
};

TEST_F(DeviceFileWindowTest, NewFriendlyNameAppearsAfterF5) {
  MakeOverFile(R"({"devices": [{"description": "Ethernet Connection"}, {}]})");
  window->show();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  form->SelectDeviceByName("Ethernet Connection");
  window->EditName->setText("Office LAN");
  QTest::mouseClick(window->ButtonSetFriendlyName, Qt::LeftButton);
  EXPECT_EQ(Entry(0), "Ethernet Connection");
  QTest::keyClick(window.get(), Qt::Key_F5);
  EXPECT_EQ(Entry(0), "Office LAN");
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(Field(window->EditName), "Office LAN");
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
