#include "Startup.h"

#include <exception>
#include <iostream>
#include <optional>

#include "ErrorPresenter.h"
#include "MainFormUnit.h"
#include "StartupRules.h"

namespace quillon::app {
namespace {

class HeadlessToolkit final : public Toolkit {
 public:
  ui::ErrorPresenter& Errors() override { return errors_; }
  ui::ScreenCursor* Cursor() override { return nullptr; }
  bool HasDisplay() const override { return false; }
  void CreateWindow(ui::TMainForm&) override {}
  void ShowWindow() override {}
  void RunMessageLoop() override {}
  void DestroyWindow() noexcept override {}
  void ShowException(std::string_view message) noexcept override { WriteExceptionLine(message); }

 private:
  ui::StandardErrorPresenter errors_;
};

}  // namespace

std::unique_ptr<Toolkit> MakeHeadlessToolkit() {
  return std::make_unique<HeadlessToolkit>();
}

int RunStartup(Toolkit& toolkit, devices::DeviceService& service, const Switches& switches,
               const std::string& executablePath) {
  const bool windowMode = switches.deviceCommand.empty();
  std::optional<ui::TMainForm> form;
  try {
    form.emplace(service, toolkit.Errors(), executablePath, toolkit.Cursor());
    toolkit.CreateWindow(*form);
    if (windowMode)
      toolkit.ShowWindow();
    form->SelectDeviceByName(switches.deviceName);
    form->ExecuteDeviceCommand(switches.deviceCommand, switches.value0);
    if (windowMode)
      toolkit.RunMessageLoop();
  } catch (const std::exception& exception) {
    toolkit.ShowException(exception.what());
  } catch (...) {
    toolkit.ShowException(kUnknownException);
  }
  toolkit.DestroyWindow();
  form.reset();
  // Failures of commands show in error boxes only; the exit code stays 0.
  return 0;
}

}  // namespace quillon::app
