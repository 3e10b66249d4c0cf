#include "app/Startup.h"

#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>

#include "app/StartupRules.h"
#include "form/ErrorPresenter.h"
#include "form/MainFormUnit.h"
#include "os/LocaleText.h"

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

ui::ReportLogTarget ChooseReportLog(const Switches& switches, const std::string& executablePath) {
  if (switches.reportLog == "-")
    return ui::ReportLogTarget::StandardOutput();
  ui::ReportLogTarget target = switches.reportLog.empty()
                                   ? ui::ReportLogTarget::BesideExecutable(executablePath)
                                   : ui::ReportLogTarget::File(switches.reportLog);
  // The device file is read after the log is opened: truncating it would
  // lose the machine it describes.
  std::error_code error;
  if (!switches.deviceSource.empty() &&
      std::filesystem::equivalent(devices::PathFromNarrow(target.path),
                                  devices::PathFromNarrow(switches.deviceSource), error)) {
    // Said by the reporting commands, in their one line about the log.
    target = ui::ReportLogTarget::Refused(target.path, "it is the device source");
  }
  return target;
}

// The report's finished lines are in the file while an exception is shown.
void FlushReport(std::optional<ui::TMainForm>& form) {
  if (form)
    form->ReportLog.Flush();
}

}  // namespace

std::unique_ptr<Toolkit> MakeHeadlessToolkit() {
  return std::make_unique<HeadlessToolkit>();
}

int RunStartup(Toolkit& toolkit, devices::DeviceService& service, const Switches& switches,
               const std::string& executablePath) {
  const bool windowMode = switches.deviceCommand.empty();
  std::optional<ui::TMainForm> form;
  try {
    form.emplace(service, toolkit.Errors(), ChooseReportLog(switches, executablePath),
                 toolkit.Cursor());
    toolkit.CreateWindow(*form);
    if (windowMode)
      toolkit.ShowWindow();
    form->SelectDeviceByName(switches.deviceName);
    form->ExecuteDeviceCommand(switches.deviceCommand, switches.value0);
    if (windowMode)
      toolkit.RunMessageLoop();
  } catch (const std::exception& exception) {
    FlushReport(form);
    toolkit.ShowException(exception.what());
  } catch (...) {
    FlushReport(form);
    toolkit.ShowException(kUnknownException);
  }
  toolkit.DestroyWindow();
  form.reset();
  // Failures of commands show in error boxes only; the exit code stays 0.
  return 0;
}

}  // namespace quillon::app
