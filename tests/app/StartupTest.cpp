// The start-up sequence over a recording toolkit: what is shown in which
// mode, and an escaping exception shown while the window still stands.
#include "app/Startup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "form/ErrorPresenter.h"
#include "form/MainFormUnit.h"
#include "tests/form/FakeDeviceService.h"

namespace quillon::app {
namespace {

using Events = std::vector<std::string>;
using ui::testing::FakeDevice;
using ui::testing::FakeDeviceService;

class RecordingToolkit final : public Toolkit, private ui::ErrorPresenter {
 public:
  explicit RecordingToolkit(const FakeDeviceService& service) : service_(service) {}

  ui::ErrorPresenter& Errors() override { return *this; }
  ui::ScreenCursor* Cursor() override { return nullptr; }
  bool HasDisplay() const override { return true; }
  void CreateWindow(ui::TMainForm& form) override {
    form_ = &form;
    events.push_back("create window");
  }
  void ShowWindow() override { events.push_back("show window"); }
  void RunMessageLoop() override { events.push_back("message loop"); }
  void DestroyWindow() noexcept override {
    events.push_back("destroy window");
    form_ = nullptr;
  }
  void ShowException(std::string_view message) noexcept override {
    // What still stands while the box is open.
    events.push_back("exception " + std::string(message) + ": window " +
                     (form_ != nullptr ? "up" : "gone") + ", log " +
                     (form_ != nullptr && form_->ReportLogOpen() ? "open" : "closed") + ", sets " +
                     std::to_string(service_.openSets));
  }

  bool throwFromBox = false;
  Events events;

 private:
  void ShowError(const std::string& text) override {
    events.push_back("box " + text);
    if (throwFromBox)
      throw std::runtime_error("Box broke");
  }

  const FakeDeviceService& service_;
  ui::TMainForm* form_ = nullptr;
};

class StartupTest : public testing::Test {
 protected:
  void SetUp() override {
    FakeDevice device;
    device.friendlyName = "Disk";
    device.failSetParams = 5;
    service.devices = {device};
    dir = std::filesystem::temp_directory_path() /
          ("quillon-startup-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  int Run(const Switches& switches) {
    return RunStartup(toolkit, service, switches, (dir / "quillon").string());
  }

  FakeDeviceService service;
  RecordingToolkit toolkit{service};
  std::filesystem::path dir;
};

TEST_F(StartupTest, WindowModeShowsAndRunsCommandModeDoesNeither) {
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(toolkit.events,
            (Events{"create window", "show window", "message loop", "destroy window"}));
  toolkit.events.clear();
  EXPECT_EQ(Run({"", "disableDevice", "", "", ""}), 0);
  EXPECT_EQ(toolkit.events,
            (Events{"create window", "box SetupDiSetClassInstallParams(): HANDLE error 5",
                    "destroy window"}));
  EXPECT_EQ(service.openSets, 0);
}

TEST_F(StartupTest, AnEscapingExceptionIsShownBeforeTheWindowGoes) {
  toolkit.throwFromBox = true;
  EXPECT_EQ(Run({"", "disableDevice", "", "", ""}), 0);
  EXPECT_EQ(toolkit.events,
            (Events{"create window", "box SetupDiSetClassInstallParams(): HANDLE error 5",
                    "exception Box broke: window up, log open, sets 1", "destroy window"}));
  EXPECT_EQ(service.openSets, 0);  // then torn down all the same
}

}  // namespace
}  // namespace quillon::app
