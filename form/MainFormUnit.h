// TMainForm: the one window. It owns the open device information set, the
// device list with one record per entry, the six property fields, the
// actions and the report log, and holds every handler. It needs no window
// toolkit: command mode drives it through ExecuteDeviceCommand, with or
// without a display, and window mode shows it through a view (MainWindow)
// attached to it.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "devices/DeviceService.h"
#include "form/ExWaitCursor.h"
#include "form/FormComponents.h"
#include "form/ReportLogFile.h"

namespace quillon::ui {

class ErrorPresenter;

// One list entry's copy of its member's SP_DEVINFO_DATA; valid while the set
// it came from is open.
using DeviceRecord = devices::SP_DEVINFO_DATA;

// The window's caption, which is also the application's title.
inline constexpr char kMainFormCaption[] = "Quillon - Varnholt";

// The window's outer size and position in pixels, frame included.
inline constexpr TBounds kMainFormBounds{303, 136, 540, 276};

// What the six property fields show for one device, as read; the texts are
// made only when the fields are filled (enumDevices needs few of them).
struct DeviceProperties {
  // False when there was no device to read: the fields then show nothing,
  // except that status and problem keep their previous texts.
  bool read = false;
  std::string name;
  devices::GUID classGuid{};
  std::uint32_t devInst = 0;
  std::uint32_t status = 0;
  std::uint32_t problem = 0;
};

class TMainForm : public TForm {
 public:
  // `reportLog` is created or truncated now; `cursor` is the screen's cursor
  // for the hourglass, none without a window system.
  TMainForm(devices::DeviceService& service, ErrorPresenter& errors,
            const ReportLogTarget& reportLog, ScreenCursor* cursor = nullptr);
  ~TMainForm() override;

  // Selects the first entry whose text equals `name` ignoring case (entry 0
  // for an empty name), fills the fields and handles waiting messages.
  bool SelectDeviceByName(const std::string& name);
  // Carries out one command of command mode against the selected entry.
  void ExecuteDeviceCommand(const std::string& command, const std::string& value0);

  // Device list.
  void UpdateDeviceList(const std::string& filter);
  void ClearDeviceList();
  std::string GetDeviceDisplayName(DeviceRecord& record);
  // Index of the selected entry, -1 when none is selected.
  int SelectedIndex() const { return ListBox1.ItemIndex(); }
  // The record of entry `index`, nullptr when there is no such entry.
  DeviceRecord* RecordAt(int index);
  int RecordCount() const { return static_cast<int>(records_.size()); }

  // Properties and state changes; `record` may be nullptr (no device).
  void ListBox1Click();
  void ShowDeviceProperties(DeviceRecord* record);
  // The service calls and error boxes of ShowDeviceProperties, without
  // touching the fields.
  DeviceProperties ReadDeviceProperties(DeviceRecord* record);
  // Writes what ReadDeviceProperties read into the six fields.
  void ShowProperties(const DeviceProperties& properties);
  void EnableDevice(DeviceRecord& record);
  void DisableDevice(DeviceRecord& record);
  void StartDevice(DeviceRecord& record);
  void StopDevice(DeviceRecord& record);
  bool SetDeviceFriendlyName(DeviceRecord& record, const std::string& text);

  // Action handlers.
  void ActionUpdateDeviceListExecute();
  void ActionUpdateActionsExecute();
  void ActionEnableDeviceExecute();
  void ActionDisableDeviceExecute();
  void ActionStartDeviceExecute();
  void ActionStopDeviceExecute();
  void ActionCloseExecute();
  void ActionSetFriendlyNameExecute();
  void FormCreate();

  // Lets the action update itself, then runs it only while it is enabled.
  void ExecuteAction(TAction& action) { action.Execute(); }

  bool ReportLogOpen() const { return ReportLog.IsOpen(); }
  // The log's file, or "(standard output)".
  const std::string& ReportLogFileName() const { return reportLogPath_; }

  // Components, in the order of the window's design.
  std::string Caption;
  TBounds Bounds = kMainFormBounds;
  std::string FontName;
  int FontSize = 0;
  std::vector<TAction*> ActionList1;
  TAction ActionUpdateDeviceList{*this};
  TGroupBox GroupBox1;
  TListBox ListBox1{*this};
  TGroupBox GroupBox2;
  TLabel Label1;
  TEdit EditName{*this};
  TLabel Label2;
  TEdit EditKey{*this};
  TAction ActionDisableDevice{*this};
  TAction ActionUpdateActions{*this};
  TAction ActionEnableDevice{*this};
  TEdit EditDevInfo{*this};
  TLabel Label3;
  TLabel Label4;
  TEdit EditStatus{*this};
  TLabel Label5;
  TEdit EditProblem{*this};
  TEdit EditProblemText{*this};
  TImageList ImageList1;
  TMainMenu MainMenu1;
  TMenuItem File1;
  TAction ActionClose{*this};
  TMenuItem Close1;
  TMenuItem Device1;
  TMenuItem UpdateDeviceList1;
  TMenuItem EnableDevice1;
  TMenuItem DisableDevice1;
  TMenuItem N1;
  TMenuItem Help1;
  TAction ActionAbout{*this};
  TMenuItem About1;
  TAction ActionStartDevice{*this};
  TAction ActionStopDevice{*this};
  TMenuItem N2;
  TMenuItem StartDevice1;
  TMenuItem StopDevice1;
  TButton ButtonSetFriendlyName;
  TAction ActionSetFriendlyName{*this};

 private:
  void CreateComponents();
  // GetDeviceDisplayName into `name`, whose storage is reused.
  void ReadDisplayName(DeviceRecord& record, std::string& name);
  // ReadDeviceProperties into `properties`, whose name's storage is reused.
  void ReadDeviceProperties(DeviceRecord* record, DeviceProperties& properties);
  void ChangeState(DeviceRecord& record, std::uint32_t stateChange, std::uint32_t scope);
  // One line on standard error saying why the source refused a change.
  void ExplainRefusal(DeviceRecord& record, std::uint32_t stateChange, const std::string& reason);
  void RunStateChange(void (TMainForm::*method)(DeviceRecord&));
  // An error box with `prefix` and the service's last error code.
  void ShowLastError(const char* prefix);
  // Whether reports can be written; says on standard error when not.
  bool ReportLogReady() const;
  // Says on standard error when lines could not be written to the log.
  void ReportLostLines() const;
  ScreenCursor& Screen() { return cursor_ != nullptr ? *cursor_ : noCursor_; }

  devices::DeviceService& service_;
  ErrorPresenter& errors_;
  ScreenCursor* cursor_;
  NoScreenCursor noCursor_;
  std::string reportLogPath_;
  std::string refusal_;  // why the log was not opened, when it was refused
  // Parallel to ListBox1's entries; only ever filled whole or cleared, so a
  // record's address holds until the next refresh. A deque, as the entries.
  std::deque<DeviceRecord> records_;

 public:
  ReportLogFile ReportLog;
  devices::DeviceInfoSetPtr DeviceInfoSet;
};

}  // namespace quillon::ui
