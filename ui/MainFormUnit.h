// TMainForm: the one window. It owns the open device information set, the
// device list with one record per entry, the six property fields, the
// actions and the report log. Window mode shows it; command mode drives the
// same object hidden, through ExecuteDeviceCommand.
#pragma once

#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <string>
#include <vector>

#include "DeviceService.h"
#include "ReportLogFile.h"

class QAction;
class QActionGroup;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QMenuBar;
class QPushButton;

namespace quillon::ui {

class ErrorPresenter;

// One list entry's copy of its member's SP_DEVINFO_DATA; valid while the set
// it came from is open.
using DeviceRecord = devices::SP_DEVINFO_DATA;

// The three menu images, by index: 0 enable, 1 disable, 2 refresh.
class TImageList {
 public:
  void Add(const QIcon& icon) { images_.append(icon); }
  QIcon Image(int index) const { return images_.value(index); }
  int Count() const { return static_cast<int>(images_.size()); }

 private:
  QList<QIcon> images_;
};

// The application's icon (from the library's resources).
QIcon ApplicationIcon();

// Captions with an access key each ("&File"), unique within the list where
// letters allow: the first letter of a word not yet taken, else any letter.
QStringList AddAccessKeys(const QStringList& captions);

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

class TMainForm : public QMainWindow {
  Q_OBJECT

 public:
  TMainForm(devices::DeviceService& service, ErrorPresenter& errors,
            const std::string& executablePath, QWidget* owner = nullptr);
  ~TMainForm() override;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Selects the first entry whose text equals `name` ignoring case (entry 0
  // for an empty name), fills the fields and handles waiting events.
  bool SelectDeviceByName(const std::string& name);
  // Carries out one command of command mode against the selected entry.
  void ExecuteDeviceCommand(const std::string& command, const std::string& value0);

  // Device list.
  void UpdateDeviceList(const std::string& filter);
  void ClearDeviceList();
  std::string GetDeviceDisplayName(DeviceRecord& record);
  // Index of the selected entry, -1 when none is selected.
  int SelectedIndex() const;
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
  void ExecuteAction(QAction& action);

  bool ReportLogOpen() const { return ReportLog.IsOpen(); }
  const std::string& ReportLogFileName() const { return reportLogPath_; }

  // Components, owned by the window through Qt's parent chain.
  QActionGroup* ActionList1 = nullptr;
  QAction* ActionUpdateDeviceList = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QListWidget* ListBox1 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* EditName = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* EditKey = nullptr;
  QAction* ActionDisableDevice = nullptr;
  QAction* ActionUpdateActions = nullptr;
  QAction* ActionEnableDevice = nullptr;
  QLineEdit* EditDevInfo = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* EditStatus = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* EditProblem = nullptr;
  QLineEdit* EditProblemText = nullptr;
  TImageList ImageList1;
  QMenuBar* MainMenu1 = nullptr;
  QMenu* File1 = nullptr;
  QAction* ActionClose = nullptr;
  QAction* Close1 = nullptr;
  QMenu* Device1 = nullptr;
  QAction* UpdateDeviceList1 = nullptr;
  QAction* EnableDevice1 = nullptr;
  QAction* DisableDevice1 = nullptr;
  QAction* N1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* ActionAbout = nullptr;
  QAction* About1 = nullptr;
  QAction* ActionStartDevice = nullptr;
  QAction* ActionStopDevice = nullptr;
  QAction* N2 = nullptr;
  QAction* StartDevice1 = nullptr;
  QAction* StopDevice1 = nullptr;
  QPushButton* ButtonSetFriendlyName = nullptr;
  QAction* ActionSetFriendlyName = nullptr;

 private:
  void CreateComponents();
  void CreateActions();
  void CreateMenu();
  void ChangeState(DeviceRecord& record, std::uint32_t stateChange, std::uint32_t scope);
  void RunStateChange(void (TMainForm::*method)(DeviceRecord&));
  void SelectIndexFromCode(int index);
  // An error box with `prefix` and the service's last error code.
  void ShowLastError(const char* prefix);
  // Whether reports can be written; says on standard error when not.
  bool ReportLogReady() const;

  devices::DeviceService& service_;
  ErrorPresenter& errors_;
  std::string reportLogPath_;
  // Parallel to ListBox1's rows; only ever filled whole or cleared, so a
  // record's address holds until the next refresh.
  std::vector<DeviceRecord> records_;

 public:
  ReportLogFile ReportLog;
  devices::DeviceInfoSetPtr DeviceInfoSet;
};

}  // namespace quillon::ui
