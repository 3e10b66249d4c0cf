#include "form/MainFormUnit.h"

#include <array>
#include <cerrno>
#include <iostream>

#include "devices/DeviceText.h"
#include "form/ErrorPresenter.h"
#include "os/LocaleText.h"
#include "os/StandardStreams.h"

namespace quillon::ui {

using devices::FormatSigned;

namespace {

// A field's text as it goes into the report log: one record per line, so a
// line break (or any control character) in a name from the device source
// shows as a blank instead of starting a line of its own.
std::string OnOneLine(std::string text) {
  devices::BlankControlCharacters(text);
  return text;
}

// The commands of command mode, for the line that names them.
constexpr const char* kCommands[] = {"enumDevices",    "statusDevice", "enableDevice",
                                     "disableDevice",  "startDevice",  "stopDevice",
                                     "setFriendlyName"};

}  // namespace

TMainForm::TMainForm(devices::DeviceService& service, ErrorPresenter& errors,
                     const ReportLogTarget& reportLog, ScreenCursor* cursor)
    : service_(service), errors_(errors), cursor_(cursor) {
  CreateComponents();
  DeviceInfoSet = devices::DeviceInfoSetPtr(nullptr, devices::DeviceInfoSetCloser(service_));
  switch (reportLog.kind) {
    case ReportLogTarget::Kind::kFile:
      reportLogPath_ = reportLog.path;
      ReportLog.Open(reportLogPath_);
      break;
    case ReportLogTarget::Kind::kStandardOutput:
      reportLogPath_ = "(standard output)";
      ReportLog.AttachStandardOutput();
      break;
    case ReportLogTarget::Kind::kRefused:
      reportLogPath_ = reportLog.path;  // left closed: reports are dropped
      refusal_ = reportLog.reason;
      break;
  }
  FormCreate();
  ExecuteAction(ActionUpdateDeviceList);
}

TMainForm::~TMainForm() {
  // Records before the set they belong to, the set before the log.
  ClearDeviceList();
  DeviceInfoSet.reset();
  ReportLog.Close();
}

void TMainForm::CreateComponents() {
  Caption = kMainFormCaption;
  FontName = "MS Sans Serif";
  FontSize = 8;

  ActionUpdateDeviceList.Define("Refresh Device List", "Update Device List", 2, "F5",
                                [this] { ActionUpdateDeviceListExecute(); });
  GroupBox1 = {{" Device List ", {0, 0, 532, 230}, kAnchorLeft | kAnchorTop}};
  static_cast<TControl&>(ListBox1) = {
      {}, {2, 15, 247, 213}, kAnchorLeft | kAnchorTop | kAnchorBottom};
  GroupBox2 = {{" Properties ",
                {256, 16, 267, 203},
                kAnchorLeft | kAnchorTop | kAnchorRight | kAnchorBottom}};
  constexpr unsigned kField = kAnchorLeft | kAnchorTop | kAnchorRight;
  Label1 = {{"Name: ", {8, 56, 0, 0}}};
  static_cast<TControl&>(EditName) = {{}, {72, 48, 161, 21}, kField};
  Label2 = {{"Class GUID: ", {8, 24, 0, 0}}};
  static_cast<TControl&>(EditKey) = {{}, {72, 16, 189, 21}, kField};
  ActionDisableDevice.Define("Disable Device", "Disable Device", 1, {},
                             [this] { ActionDisableDeviceExecute(); });
  ActionUpdateActions.Define("Update Actions", {}, -1, {},
                             [this] { ActionUpdateActionsExecute(); });
  ActionEnableDevice.Define("Enable Device", "Enable Device", 0, {},
                            [this] { ActionEnableDeviceExecute(); });
  static_cast<TControl&>(EditDevInfo) = {{}, {72, 80, 189, 21}, kField};
  Label3 = {{"Handle: ", {8, 88, 0, 0}}};
  Label4 = {{"Status: ", {8, 120, 0, 0}}};
  static_cast<TControl&>(EditStatus) = {{}, {72, 112, 189, 21}, kField};
  Label5 = {{"Problem: ", {8, 152, 0, 0}}};
  static_cast<TControl&>(EditProblem) = {{}, {72, 144, 189, 21}, kField};
  static_cast<TControl&>(EditProblemText) = {{}, {72, 176, 189, 21}, kField};
  ImageList1.names = {"enable", "disable", "refresh"};

  File1.caption = "File";
  ActionClose.Define("Close", "Close", -1, {}, [this] { ActionCloseExecute(); });
  Close1.action = &ActionClose;
  Device1.caption = "Device";
  UpdateDeviceList1.action = &ActionUpdateDeviceList;
  EnableDevice1.action = &ActionEnableDevice;
  DisableDevice1.action = &ActionDisableDevice;
  N1.separator = true;
  Help1.caption = "Help";
  // No handler: its update disables it whenever its menu opens.
  ActionAbout.Define("About...", "About...", -1, {}, {});
  About1.action = &ActionAbout;
  ActionStartDevice.Define("Start Device", "Start Device", -1, {},
                           [this] { ActionStartDeviceExecute(); });
  ActionStopDevice.Define("Stop Device", "Stop Device", -1, {},
                          [this] { ActionStopDeviceExecute(); });
  N2.separator = true;
  StartDevice1.action = &ActionStartDevice;
  StopDevice1.action = &ActionStopDevice;
  static_cast<TControl&>(ButtonSetFriendlyName) = {
      {}, {237, 50, 25, 17}, kAnchorTop | kAnchorRight};
  ButtonSetFriendlyName.action = &ActionSetFriendlyName;
  ActionSetFriendlyName.Define("Set", "Set Friendly Name", -1, {},
                               [this] { ActionSetFriendlyNameExecute(); });

  ActionList1 = {&ActionUpdateDeviceList, &ActionDisableDevice, &ActionUpdateActions,
                 &ActionEnableDevice,     &ActionClose,         &ActionAbout,
                 &ActionStartDevice,      &ActionStopDevice,    &ActionSetFriendlyName};
  MainMenu1.items = {&File1, &Device1, &Help1};
  File1.items = {&Close1};
  Device1.items = {&UpdateDeviceList1, &N1,         &EnableDevice1, &DisableDevice1, &N2,
                   &StartDevice1,      &StopDevice1};
  Help1.items = {&About1};
}

void TMainForm::FormCreate() {}

void TMainForm::ShowLastError(const char* prefix) {
  const std::string text = prefix + FormatSigned(service_.GetLastError());
  // Every finished line is in the file while the box waits.
  ReportLog.Flush();
  errors_.ShowError(text);
}

// ---- Device list -----------------------------------------------------------

void TMainForm::UpdateDeviceList(const std::string& filter) {
  const ExWaitCursor wait(Screen());
  ClearDeviceList();
  DeviceInfoSet.reset();
  DeviceInfoSet = devices::OpenPresentDevices(service_, filter.c_str());
  if (!DeviceInfoSet) {
    ShowLastError("SetupDiGetClassDevs(): ");
    return;
  }
  DeviceRecord member{};
  member.cbSize = sizeof(DeviceRecord);
  ListBox1.BeginUpdate();
  for (std::uint32_t index = 0;; ++index) {
    if (!service_.SetupDiEnumDeviceInfo(DeviceInfoSet.get(), index, &member))
      break;
    ListBox1.Add(GetDeviceDisplayName(member));
    records_.push_back(member);
  }
  ListBox1.EndUpdate();
}

void TMainForm::ClearDeviceList() {
  records_.clear();
  ListBox1.Clear();
}

std::string TMainForm::GetDeviceDisplayName(DeviceRecord& record) {
  std::string name;
  ReadDisplayName(record, name);
  return name;
}

void TMainForm::ReadDisplayName(DeviceRecord& record, std::string& name) {
  // The name is emptied when the device cannot be read.
  if (devices::ReadDisplayName(service_, DeviceInfoSet.get(), record, name) ==
      devices::DisplayNameResult::kInstanceIdFailed) {
    ShowLastError("SetupDiGetDeviceInstanceId(): ");
  }
}

DeviceRecord* TMainForm::RecordAt(int index) {
  if (index < 0 || index >= RecordCount())
    return nullptr;
  return &records_[static_cast<std::size_t>(index)];
}

bool TMainForm::SelectDeviceByName(const std::string& name) {
  int index = -1;
  if (name.empty()) {
    if (ListBox1.Count() > 0)
      index = 0;
  } else {
    for (int row = 0; row < ListBox1.Count(); ++row) {
      if (devices::EqualsIgnoringCaseInLocale(ListBox1.Item(row), name)) {
        index = row;
        break;
      }
    }
  }
  ListBox1.SetItemIndex(index);
  ListBox1Click();
  if (FormView* view = View())
    view->ProcessMessages();
  return true;
}

// ---- Properties ------------------------------------------------------------

void TMainForm::ListBox1Click() {
  ShowDeviceProperties(RecordAt(SelectedIndex()));
  ExecuteAction(ActionUpdateActions);
}

void TMainForm::ShowDeviceProperties(DeviceRecord* record) {
  const ExWaitCursor wait(Screen());
  // Emptied before the read, so that an error box during it does not stand
  // beside the previous device's texts.
  EditName.Clear();
  EditKey.Clear();
  EditDevInfo.Clear();
  EditProblemText.Clear();
  ShowProperties(ReadDeviceProperties(record));
}

DeviceProperties TMainForm::ReadDeviceProperties(DeviceRecord* record) {
  DeviceProperties properties;
  ReadDeviceProperties(record, properties);
  return properties;
}

void TMainForm::ReadDeviceProperties(DeviceRecord* record, DeviceProperties& properties) {
  // Field by field, so that the name keeps its storage from one device to the next.
  properties.read = DeviceInfoSet && record != nullptr;
  properties.classGuid = {};
  properties.devInst = 0;
  // The query may leave both untouched when it fails: they start at zero.
  properties.status = 0;
  properties.problem = 0;
  if (!properties.read) {
    properties.name.clear();
    return;
  }
  ReadDisplayName(*record, properties.name);
  properties.classGuid = record->ClassGuid;
  properties.devInst = record->DevInst;
  service_.CM_Get_DevNode_Status(&properties.status, &properties.problem, record->DevInst, 0);
}

void TMainForm::ShowProperties(const DeviceProperties& properties) {
  if (!properties.read) {
    EditName.Clear();
    EditKey.Clear();
    EditDevInfo.Clear();
    EditProblemText.Clear();
    return;
  }
  EditName.SetText(properties.name);
  EditKey.SetText(devices::FormatGuid(properties.classGuid));
  EditDevInfo.SetText(FormatSigned(properties.devInst));
  EditStatus.SetText(devices::FormatHex8(properties.status));
  EditProblem.SetText(devices::FormatHex8(properties.problem));
  EditProblemText.SetText(devices::ProblemText(properties.problem));
}

// ---- State changes and friendly name ---------------------------------------

void TMainForm::ChangeState(DeviceRecord& record, std::uint32_t stateChange, std::uint32_t scope) {
  devices::SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(devices::SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = devices::DIF_PROPERTYCHANGE;
  params.StateChange = stateChange;
  params.Scope = scope;
  params.HwProfile = 0;
  if (!service_.SetupDiSetClassInstallParamsA(DeviceInfoSet.get(), &record,
                                              &params.ClassInstallHeader, sizeof(params))) {
    ShowLastError("SetupDiSetClassInstallParams(): HANDLE error ");
    return;
  }
  if (!service_.SetupDiCallClassInstaller(devices::DIF_PROPERTYCHANGE, DeviceInfoSet.get(),
                                          &record)) {
    const std::uint32_t code = service_.GetLastError();
    const std::string reason = service_.LastRefusalReason();
    if (code == devices::error::kNotDisableable && !reason.empty())
      ExplainRefusal(record, stateChange, reason);
    ShowLastError("SetupDiCallClassInstaller(): HANDLE error ");
  }
}

void TMainForm::ExplainRefusal(DeviceRecord& record, std::uint32_t stateChange,
                               const std::string& reason) {
  std::array<char, devices::kTextBufferSize> id{};
  std::uint32_t required = 0;
  if (!service_.SetupDiGetDeviceInstanceIdA(DeviceInfoSet.get(), &record, id.data(),
                                            devices::kTextBufferSize, &required)) {
    return;
  }
  const char* verb = stateChange == devices::DICS_DISABLE  ? "disabled"
                     : stateChange == devices::DICS_STOP   ? "stopped"
                     : stateChange == devices::DICS_ENABLE ? "enabled"
                                                           : "started";
  std::cerr << "quillon: " << OnOneLine(id.data()) << " was not " << verb << ": "
            << OnOneLine(reason) << '\n'
            << std::flush;
}

void TMainForm::EnableDevice(DeviceRecord& record) {
  ChangeState(record, devices::DICS_ENABLE, devices::DICS_FLAG_GLOBAL);
}

void TMainForm::DisableDevice(DeviceRecord& record) {
  ChangeState(record, devices::DICS_DISABLE, devices::DICS_FLAG_GLOBAL);
}

void TMainForm::StartDevice(DeviceRecord& record) {
  ChangeState(record, devices::DICS_START, devices::DICS_FLAG_CONFIGSPECIFIC);
}

void TMainForm::StopDevice(DeviceRecord& record) {
  ChangeState(record, devices::DICS_STOP, devices::DICS_FLAG_CONFIGSPECIFIC);
}

bool TMainForm::SetDeviceFriendlyName(DeviceRecord& record, const std::string& text) {
  std::array<char, devices::kTextBufferSize> buffer{};
  std::uint32_t required = 0;
  if (!service_.SetupDiGetDeviceInstanceIdA(DeviceInfoSet.get(), &record, buffer.data(),
                                            devices::kTextBufferSize, &required)) {
    ShowLastError("SetupDiGetDeviceInstanceId(): ");
    return false;
  }
  if (!service_.SetupDiSetDeviceRegistryPropertyA(
          DeviceInfoSet.get(), &record, devices::SPDRP_FRIENDLYNAME,
          reinterpret_cast<const std::uint8_t*>(text.data()),
          static_cast<std::uint32_t>(text.size()))) {
    ShowLastError("SetupDiSetDeviceRegistryProperty(): ");
    return false;
  }
  return true;
}

// ---- Action handlers -------------------------------------------------------

void TMainForm::ActionUpdateDeviceListExecute() {
  UpdateDeviceList({});
  ExecuteAction(ActionUpdateActions);
}

void TMainForm::ActionUpdateActionsExecute() {
  ActionUpdateDeviceList.SetEnabled(true);
  const bool selected = SelectedIndex() >= 0;
  ActionDisableDevice.SetEnabled(selected);
  ActionEnableDevice.SetEnabled(selected);
  ActionStartDevice.SetEnabled(selected);
  ActionStopDevice.SetEnabled(selected);
}

void TMainForm::RunStateChange(void (TMainForm::*method)(DeviceRecord&)) {
  const ExWaitCursor wait(Screen());
  if (DeviceRecord* record = RecordAt(SelectedIndex())) {
    (this->*method)(*record);
    ShowDeviceProperties(record);
  }
  ExecuteAction(ActionUpdateActions);
}

void TMainForm::ActionEnableDeviceExecute() {
  RunStateChange(&TMainForm::EnableDevice);
}
void TMainForm::ActionDisableDeviceExecute() {
  RunStateChange(&TMainForm::DisableDevice);
}
void TMainForm::ActionStartDeviceExecute() {
  RunStateChange(&TMainForm::StartDevice);
}
void TMainForm::ActionStopDeviceExecute() {
  RunStateChange(&TMainForm::StopDevice);
}

void TMainForm::ActionCloseExecute() {
  if (FormView* view = View())
    view->Close();
}

void TMainForm::ActionSetFriendlyNameExecute() {
  const ExWaitCursor wait(Screen());
  if (DeviceRecord* record = RecordAt(SelectedIndex())) {
    SetDeviceFriendlyName(*record, EditName.Text());
  }
}

// ---- Command mode ----------------------------------------------------------

bool TMainForm::ReportLogReady() const {
  if (ReportLog.IsOpen())
    return true;
  std::cerr << "quillon: the report log " << reportLogPath_ << " could not be opened for writing ("
            << (refusal_.empty() ? ReportLog.Failure() : refusal_) << "); nothing was reported\n"
            << std::flush;
  return false;
}

void TMainForm::ReportLostLines() const {
  // A reader that has gone (a pipe into head) wanted no more: no fault.
  const int error = ReportLog.WriteError();
  if (error == 0 || error == EPIPE)
    return;
  const std::size_t lost = ReportLog.LostLines();
  std::cerr << "quillon: the report log " << reportLogPath_ << " could not be written ("
            << devices::ErrorText(error) << "); " << lost
            << (lost == 1 ? " line was lost\n" : " lines were lost\n") << std::flush;
}

void TMainForm::ExecuteDeviceCommand(const std::string& command, const std::string& value0) {
  if (command == "enableDevice") {
    ExecuteAction(ActionEnableDevice);
  } else if (command == "disableDevice") {
    ExecuteAction(ActionDisableDevice);
  } else if (command == "startDevice") {
    ExecuteAction(ActionStartDevice);
  } else if (command == "stopDevice") {
    ExecuteAction(ActionStopDevice);
  } else if (command == "enumDevices") {
    // Without a log every device is still read, so that its error boxes
    // appear; the lines alone are dropped.
    ReportLogReady();
    // Entry 0 selected counts as no choice: every device is reported.
    const int selected = SelectedIndex();
    const int first = selected >= 1 ? selected : 0;
    const int last = selected >= 1 ? selected : ListBox1.Count() - 1;
    // Each device is read as ShowDeviceProperties would, but only the last
    // one goes into the fields, which a view would lay out each time. Every
    // entry has a record of the open set, so every read gives a status.
    const ExWaitCursor wait(Screen());
    DeviceProperties properties;
    std::string line;
    for (int index = first; index <= last; ++index) {
      ReadDeviceProperties(RecordAt(index), properties);
      line.clear();
      devices::AppendEnumDevicesLine(line, ListBox1.Item(index), properties.status,
                                     properties.problem);
      ReportLog.Write(line);
      ReportLog.EndLine();
    }
    if (first <= last)
      ShowProperties(properties);  // as if each device had been shown in turn
    ReportLog.Flush();
    ReportLostLines();
  } else if (command == "statusDevice") {
    if (!ReportLogReady())
      return;
    const std::pair<const char*, const TEdit*> lines[] = {
        {"ClassGUID=", &EditKey},         {"DeviceName=", &EditName},
        {"DeviceHandle=", &EditDevInfo},  {"DeviceStatus=", &EditStatus},
        {"DeviceProblem=", &EditProblem}, {"DeviceProblemText=", &EditProblemText}};
    for (const auto& [key, field] : lines) {
      ReportLog.Write(key + OnOneLine(field->Text()));
      ReportLog.EndLine();
    }
    ReportLog.Flush();
    ReportLostLines();
  } else if (command == "setFriendlyName") {
    EditName.SetText(value0);
    ExecuteAction(ActionSetFriendlyName);
  } else if (!command.empty()) {
    // Still nothing is done, as scripts may rely on; but a misspelt command
    // no longer passes unnoticed.
    std::cerr << "quillon: unknown command " << OnOneLine(command) << " (letter case counts); "
              << "the commands are";
    const char* separator = " ";
    for (const char* known : kCommands) {
      std::cerr << separator << known;
      separator = ", ";
    }
    std::cerr << '\n' << std::flush;
  }
}

}  // namespace quillon::ui
