#include "MainFormUnit.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QEvent>
#include <QGroupBox>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <array>
#include <functional>
#include <iostream>

#include "DeviceText.h"
#include "ErrorPresenter.h"
#include "ExWaitCursor.h"

// Q_INIT_RESOURCE must be used outside any namespace; a static library's
// resources are otherwise dropped by the linker.
static void InitUiResources() {
  Q_INIT_RESOURCE(ui);
}

namespace quillon::ui {

namespace {

using devices::FormatSigned;

const char* const kCaption = "Quillon - Varnholt";

enum Anchor { kLeft = 1, kTop = 2, kRight = 4, kBottom = 8 };

// Keeps children at fixed distances from the edges of their parent that they
// are anchored to: a child anchored left and right grows with the parent, one
// anchored only right moves with the right edge.
class Anchors final : public QObject {
 public:
  Anchors(QWidget* parent, QSize designSize) : QObject(parent), design_(designSize) {
    parent->installEventFilter(this);
  }

  void Place(QWidget* child, const QRect& rect, int anchors) {
    child->setGeometry(rect);
    items_.push_back({child, rect, anchors});
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == parent() && event->type() == QEvent::Resize)
      Arrange();
    return false;
  }

 private:
  struct Item {
    QWidget* widget;
    QRect rect;
    int anchors;
  };

  void Arrange() {
    const auto* owner = static_cast<QWidget*>(parent());
    const int dx = owner->width() - design_.width();
    const int dy = owner->height() - design_.height();
    for (const Item& item : items_) {
      QRect rect = item.rect;
      if ((item.anchors & kRight) != 0) {
        if ((item.anchors & kLeft) != 0) {
          rect.setWidth(std::max(0, rect.width() + dx));
        } else {
          rect.moveLeft(rect.left() + dx);
        }
      }
      if ((item.anchors & kBottom) != 0) {
        if ((item.anchors & kTop) != 0) {
          rect.setHeight(std::max(0, rect.height() + dy));
        } else {
          rect.moveTop(rect.top() + dy);
        }
      }
      item.widget->setGeometry(rect);
    }
  }

  QSize design_;
  std::vector<Item> items_;
};

// Rows of a fixed height, so that a list of any length is laid out at once.
class FixedHeightDelegate final : public QStyledItemDelegate {
 public:
  FixedHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return {QStyledItemDelegate::sizeHint(option, index).width(), height_};
  }

 private:
  int height_;
};

// A single-selection list that tells apart the selection changes the user
// makes, by mouse or keyboard, from those made by code: only the first kind
// runs `userSelectionChanged`. The user cannot empty the selection: Ctrl+click,
// Ctrl+Space and clicks below the last entry leave it as it is.
class TListBox final : public QListWidget {
 public:
  explicit TListBox(QWidget* parent) : QListWidget(parent) {
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
      if (userInput_ > 0 && userSelectionChanged)
        userSelectionChanged();
    });
  }

  std::function<void()> userSelectionChanged;

 protected:
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override {
    const auto command = QListWidget::selectionCommand(index, event);
    if (!index.isValid() || (command & QItemSelectionModel::Deselect) != 0) {
      return QItemSelectionModel::NoUpdate;
    }
    return command;
  }

  // Keys reach the list itself; mouse events reach its handlers through the
  // viewport.
  void keyPressEvent(QKeyEvent* event) override {
    const UserInput input(userInput_);
    QListWidget::keyPressEvent(event);
  }
  bool viewportEvent(QEvent* event) override {
    const UserInput input(userInput_);
    return QListWidget::viewportEvent(event);
  }

 private:
  class UserInput {
   public:
    explicit UserInput(int& depth) : depth_(depth) { ++depth_; }
    ~UserInput() { --depth_; }
    UserInput(const UserInput&) = delete;
    UserInput& operator=(const UserInput&) = delete;

   private:
    int& depth_;
  };

  int userInput_ = 0;
};

QString FromLocal(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToLocal(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

// Shows a field's text from its start, as a long GUID or name reads best.
void SetField(QLineEdit* edit, const std::string& text) {
  edit->setText(FromLocal(text));
  edit->setCursorPosition(0);
}

}  // namespace

QIcon ApplicationIcon() {
  InitUiResources();
  QIcon icon(QStringLiteral(":/quillon/icons/quillon-256.png"));
  icon.addFile(QStringLiteral(":/quillon/icons/quillon.png"));
  icon.addFile(QStringLiteral(":/quillon/icons/quillon-32.png"));
  icon.addFile(QStringLiteral(":/quillon/icons/quillon-16.png"));
  return icon;
}

QStringList AddAccessKeys(const QStringList& captions) {
  QString taken;
  QStringList result;
  for (const QString& caption : captions) {
    qsizetype chosen = -1;
    // First letters of words first, then any letter or digit.
    for (qsizetype i = 0; i < caption.size() && chosen < 0; ++i) {
      const bool wordStart = i == 0 || caption[i - 1].isSpace();
      if (wordStart && caption[i].isLetterOrNumber() &&
          !taken.contains(caption[i], Qt::CaseInsensitive)) {
        chosen = i;
      }
    }
    for (qsizetype i = 0; i < caption.size() && chosen < 0; ++i) {
      if (caption[i].isLetterOrNumber() && !taken.contains(caption[i], Qt::CaseInsensitive)) {
        chosen = i;
      }
    }
    QString keyed = caption;
    keyed.replace(QLatin1Char('&'), QStringLiteral("&&"));
    if (chosen >= 0) {
      taken += caption[chosen];
      // Every "&" before the chosen letter was doubled.
      const qsizetype shift = caption.left(chosen).count(QLatin1Char('&'));
      keyed.insert(chosen + shift, QLatin1Char('&'));
    }
    result.append(keyed);
  }
  return result;
}

TMainForm::TMainForm(devices::DeviceService& service, ErrorPresenter& errors,
                     const std::string& executablePath, QWidget* owner)
    : QMainWindow(owner), service_(service), errors_(errors) {
  InitUiResources();
  CreateComponents();
  DeviceInfoSet = devices::DeviceInfoSetPtr(nullptr, devices::DeviceInfoSetCloser(service_));
  reportLogPath_ = ReportLogPath(executablePath);
  ReportLog.Open(reportLogPath_);
  FormCreate();
  ExecuteAction(*ActionUpdateDeviceList);
}

TMainForm::~TMainForm() {
  // Records before the set they belong to, the set before the log.
  ClearDeviceList();
  DeviceInfoSet.reset();
  ReportLog.Close();
}

void TMainForm::CreateComponents() {
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
  setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
  setWindowTitle(QString::fromLatin1(kCaption));
  setWindowIcon(ApplicationIcon());

  ImageList1.Add(QIcon(QStringLiteral(":/quillon/images/enable.png")));
  ImageList1.Add(QIcon(QStringLiteral(":/quillon/images/disable.png")));
  ImageList1.Add(QIcon(QStringLiteral(":/quillon/images/refresh.png")));
  CreateActions();

  // The client area is 532 x 230, as inside a 540 x 276 window with a
  // 4-pixel frame, a caption and a menu bar.
  GroupBox1 = new QGroupBox(QStringLiteral(" Device List "), this);
  setCentralWidget(GroupBox1);
  auto* frameAnchors = new Anchors(GroupBox1, QSize(532, 230));

  auto* listBox = new TListBox(GroupBox1);
  listBox->userSelectionChanged = [this] { ListBox1Click(); };
  ListBox1 = listBox;
  ListBox1->setFrameShape(QFrame::NoFrame);
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setUniformItemSizes(true);
  ListBox1->setItemDelegate(new FixedHeightDelegate(13, ListBox1));
  ListBox1->setSortingEnabled(false);
  frameAnchors->Place(ListBox1, QRect(2, 15, 247, 213), kLeft | kTop | kBottom);

  GroupBox2 = new QGroupBox(QStringLiteral(" Properties "), GroupBox1);
  frameAnchors->Place(GroupBox2, QRect(256, 16, 267, 203), kLeft | kTop | kRight | kBottom);
  auto* fieldAnchors = new Anchors(GroupBox2, QSize(267, 203));

  const auto makeLabel = [this](const char* caption, int top) {
    auto* label = new QLabel(QString::fromLatin1(caption), GroupBox2);
    label->adjustSize();
    label->move(8, top);
    return label;
  };
  const auto makeEdit = [this, fieldAnchors](int top, int width) {
    auto* edit = new QLineEdit(GroupBox2);
    fieldAnchors->Place(edit, QRect(72, top, width, 21), kLeft | kTop | kRight);
    return edit;
  };
  Label1 = makeLabel("Name: ", 56);
  EditName = makeEdit(48, 161);
  Label2 = makeLabel("Class GUID: ", 24);
  EditKey = makeEdit(16, 189);
  EditDevInfo = makeEdit(80, 189);
  Label3 = makeLabel("Handle: ", 88);
  Label4 = makeLabel("Status: ", 120);
  EditStatus = makeEdit(112, 189);
  Label5 = makeLabel("Problem: ", 152);
  EditProblem = makeEdit(144, 189);
  EditProblemText = makeEdit(176, 189);

  ButtonSetFriendlyName = new QPushButton(ActionSetFriendlyName->text(), GroupBox2);
  fieldAnchors->Place(ButtonSetFriendlyName, QRect(237, 50, 25, 17), kTop | kRight);
  connect(ButtonSetFriendlyName, &QPushButton::clicked, this,
          [this] { ExecuteAction(*ActionSetFriendlyName); });
  connect(ActionSetFriendlyName, &QAction::changed, this, [this] {
    ButtonSetFriendlyName->setText(ActionSetFriendlyName->text());
    ButtonSetFriendlyName->setEnabled(ActionSetFriendlyName->isEnabled());
  });

  setTabOrder(ListBox1, EditName);
  setTabOrder(EditName, EditKey);
  setTabOrder(EditKey, EditDevInfo);
  setTabOrder(EditDevInfo, EditStatus);
  setTabOrder(EditStatus, EditProblem);
  setTabOrder(EditProblem, EditProblemText);
  setTabOrder(EditProblemText, ButtonSetFriendlyName);

  CreateMenu();

  resize(532, 230 + MainMenu1->sizeHint().height());
  move(303, 136);
  ListBox1->setFocus(Qt::OtherFocusReason);
}

void TMainForm::CreateActions() {
  ActionList1 = new QActionGroup(this);
  ActionList1->setExclusionPolicy(QActionGroup::ExclusionPolicy::None);
  const auto makeAction = [this](const char* caption, const char* hint, int image) {
    auto* action = new QAction(QString::fromLatin1(caption), ActionList1);
    if (hint != nullptr)
      action->setToolTip(QString::fromLatin1(hint));
    if (image >= 0)
      action->setIcon(ImageList1.Image(image));
    return action;
  };
  ActionUpdateDeviceList = makeAction("Refresh Device List", "Update Device List", 2);
  // The shortcut takes effect through the menu item that shows it.
  ActionUpdateDeviceList->setShortcut(QKeySequence(Qt::Key_F5));
  ActionDisableDevice = makeAction("Disable Device", "Disable Device", 1);
  ActionUpdateActions = makeAction("Update Actions", nullptr, -1);
  ActionEnableDevice = makeAction("Enable Device", "Enable Device", 0);
  ActionClose = makeAction("Close", "Close", -1);
  ActionAbout = makeAction("About...", "About...", -1);
  ActionStartDevice = makeAction("Start Device", "Start Device", -1);
  ActionStopDevice = makeAction("Stop Device", "Stop Device", -1);
  ActionSetFriendlyName = makeAction("Set", "Set Friendly Name", -1);

  connect(ActionUpdateDeviceList, &QAction::triggered, this,
          &TMainForm::ActionUpdateDeviceListExecute);
  connect(ActionUpdateActions, &QAction::triggered, this, &TMainForm::ActionUpdateActionsExecute);
  connect(ActionEnableDevice, &QAction::triggered, this, &TMainForm::ActionEnableDeviceExecute);
  connect(ActionDisableDevice, &QAction::triggered, this, &TMainForm::ActionDisableDeviceExecute);
  connect(ActionStartDevice, &QAction::triggered, this, &TMainForm::ActionStartDeviceExecute);
  connect(ActionStopDevice, &QAction::triggered, this, &TMainForm::ActionStopDeviceExecute);
  connect(ActionClose, &QAction::triggered, this, &TMainForm::ActionCloseExecute);
  connect(ActionSetFriendlyName, &QAction::triggered, this,
          &TMainForm::ActionSetFriendlyNameExecute);
}

void TMainForm::CreateMenu() {
  MainMenu1 = menuBar();
  const QStringList menuCaptions =
      AddAccessKeys({QStringLiteral("File"), QStringLiteral("Device"), QStringLiteral("Help")});
  File1 = MainMenu1->addMenu(menuCaptions[0]);
  Device1 = MainMenu1->addMenu(menuCaptions[1]);
  Help1 = MainMenu1->addMenu(menuCaptions[2]);

  // A menu item follows its action (caption with an access key, image,
  // shortcut, enabled state) and executes it when chosen.
  const auto bind = [this](QMenu* menu, QAction* action, const QString& caption) {
    auto* item = menu->addAction(action->icon(), caption);
    item->setShortcut(action->shortcut());
    item->setEnabled(action->isEnabled());
    connect(action, &QAction::changed, item, [item, action] {
      item->setEnabled(action->isEnabled());
      item->setIcon(action->icon());
    });
    connect(item, &QAction::triggered, this, [this, action] { ExecuteAction(*action); });
    return item;
  };
  const auto captions = [](std::initializer_list<QAction*> actions) {
    QStringList list;
    for (QAction* action : actions)
      list.append(action->text());
    return AddAccessKeys(list);
  };

  const QStringList fileCaptions = captions({ActionClose});
  Close1 = bind(File1, ActionClose, fileCaptions[0]);

  const QStringList deviceCaptions =
      captions({ActionUpdateDeviceList, ActionEnableDevice, ActionDisableDevice, ActionStartDevice,
                ActionStopDevice});
  UpdateDeviceList1 = bind(Device1, ActionUpdateDeviceList, deviceCaptions[0]);
  N1 = Device1->addSeparator();
  EnableDevice1 = bind(Device1, ActionEnableDevice, deviceCaptions[1]);
  DisableDevice1 = bind(Device1, ActionDisableDevice, deviceCaptions[2]);
  N2 = Device1->addSeparator();
  StartDevice1 = bind(Device1, ActionStartDevice, deviceCaptions[3]);
  StopDevice1 = bind(Device1, ActionStopDevice, deviceCaptions[4]);

  const QStringList helpCaptions = captions({ActionAbout});
  About1 = bind(Help1, ActionAbout, helpCaptions[0]);
  // About has no handler, so its update disables it whenever its menu opens.
  connect(Help1, &QMenu::aboutToShow, this, [this] { ActionAbout->setEnabled(false); });
}

void TMainForm::FormCreate() {}

void TMainForm::ExecuteAction(QAction& action) {
  // The only update any action has: one without a handler disables itself.
  if (&action == ActionAbout)
    action.setEnabled(false);
  if (action.isEnabled())
    action.trigger();
}

void TMainForm::ShowLastError(const char* prefix) {
  errors_.ShowError(prefix + FormatSigned(service_.GetLastError()));
}

// ---- Device list -----------------------------------------------------------

void TMainForm::UpdateDeviceList(const std::string& filter) {
  const ExWaitCursor wait;
  ClearDeviceList();
  DeviceInfoSet.reset();
  DeviceInfoSet = devices::OpenPresentDevices(service_, filter.c_str());
  if (!DeviceInfoSet) {
    ShowLastError("SetupDiGetClassDevs(): ");
    return;
  }
  DeviceRecord member{};
  member.cbSize = sizeof(DeviceRecord);
  ListBox1->setUpdatesEnabled(false);
  for (std::uint32_t index = 0;; ++index) {
    if (!service_.SetupDiEnumDeviceInfo(DeviceInfoSet.get(), index, &member))
      break;
    const std::string name = GetDeviceDisplayName(member);
    // Item first, then into the list: adding an item that already has the
    // list as parent gets slow for long lists.
    auto* item = new QListWidgetItem(FromLocal(name));
    records_.push_back(member);
    ListBox1->addItem(item);
  }
  ListBox1->setUpdatesEnabled(true);
}

void TMainForm::ClearDeviceList() {
  records_.clear();
  ListBox1->clear();
}

std::string TMainForm::GetDeviceDisplayName(DeviceRecord& record) {
  std::string name;
  if (devices::ReadDisplayName(service_, DeviceInfoSet.get(), record, name) ==
      devices::DisplayNameResult::kInstanceIdFailed) {
    ShowLastError("SetupDiGetDeviceInstanceId(): ");
    return {};
  }
  return name;
}

int TMainForm::SelectedIndex() const {
  const QModelIndexList selected = ListBox1->selectionModel()->selectedIndexes();
  return selected.isEmpty() ? -1 : selected.first().row();
}

DeviceRecord* TMainForm::RecordAt(int index) {
  if (index < 0 || index >= RecordCount())
    return nullptr;
  return &records_[static_cast<std::size_t>(index)];
}

void TMainForm::SelectIndexFromCode(int index) {
  if (index >= 0 && index < ListBox1->count()) {
    ListBox1->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
    ListBox1->scrollToItem(ListBox1->item(index));
  } else {
    ListBox1->clearSelection();
  }
}

bool TMainForm::SelectDeviceByName(const std::string& name) {
  int index = -1;
  if (name.empty()) {
    if (ListBox1->count() > 0)
      index = 0;
  } else {
    const QString wanted = FromLocal(name);
    for (int row = 0; row < ListBox1->count(); ++row) {
      if (ListBox1->item(row)->text().compare(wanted, Qt::CaseInsensitive) == 0) {
        index = row;
        break;
      }
    }
  }
  SelectIndexFromCode(index);
  ListBox1Click();
  QCoreApplication::processEvents();
  return true;
}

// ---- Properties ------------------------------------------------------------

void TMainForm::ListBox1Click() {
  ShowDeviceProperties(RecordAt(SelectedIndex()));
  ExecuteAction(*ActionUpdateActions);
}

void TMainForm::ShowDeviceProperties(DeviceRecord* record) {
  const ExWaitCursor wait;
  // Emptied before the read, so that an error box during it does not stand
  // beside the previous device's texts.
  EditName->clear();
  EditKey->clear();
  EditDevInfo->clear();
  EditProblemText->clear();
  ShowProperties(ReadDeviceProperties(record));
}

DeviceProperties TMainForm::ReadDeviceProperties(DeviceRecord* record) {
  DeviceProperties properties;
  if (!DeviceInfoSet || record == nullptr)
    return properties;
  properties.read = true;
  properties.name = GetDeviceDisplayName(*record);
  properties.classGuid = record->ClassGuid;
  properties.devInst = record->DevInst;
  // The query may leave both untouched when it fails: they start at zero.
  service_.CM_Get_DevNode_Status(&properties.status, &properties.problem, record->DevInst, 0);
  return properties;
}

void TMainForm::ShowProperties(const DeviceProperties& properties) {
  if (!properties.read) {
    EditName->clear();
    EditKey->clear();
    EditDevInfo->clear();
    EditProblemText->clear();
    return;
  }
  SetField(EditName, properties.name);
  SetField(EditKey, devices::FormatGuid(properties.classGuid));
  SetField(EditDevInfo, FormatSigned(properties.devInst));
  SetField(EditStatus, devices::FormatHex8(properties.status));
  SetField(EditProblem, devices::FormatHex8(properties.problem));
  SetField(EditProblemText, devices::ProblemText(properties.problem));
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
    ShowLastError("SetupDiCallClassInstaller(): HANDLE error ");
  }
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
  ExecuteAction(*ActionUpdateActions);
}

void TMainForm::ActionUpdateActionsExecute() {
  ActionUpdateDeviceList->setEnabled(true);
  const bool selected = SelectedIndex() >= 0;
  ActionDisableDevice->setEnabled(selected);
  ActionEnableDevice->setEnabled(selected);
  ActionStartDevice->setEnabled(selected);
  ActionStopDevice->setEnabled(selected);
}

void TMainForm::RunStateChange(void (TMainForm::*method)(DeviceRecord&)) {
  const ExWaitCursor wait;
  if (DeviceRecord* record = RecordAt(SelectedIndex())) {
    (this->*method)(*record);
    ShowDeviceProperties(record);
  }
  ExecuteAction(*ActionUpdateActions);
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
  close();
}

void TMainForm::ActionSetFriendlyNameExecute() {
  const ExWaitCursor wait;
  if (DeviceRecord* record = RecordAt(SelectedIndex())) {
    SetDeviceFriendlyName(*record, ToLocal(EditName->text()));
  }
}

// ---- Command mode ----------------------------------------------------------

bool TMainForm::ReportLogReady() const {
  if (ReportLog.IsOpen())
    return true;
  std::cerr << "quillon: the report log " << reportLogPath_
            << " could not be opened for writing; nothing was reported\n"
            << std::flush;
  return false;
}

void TMainForm::ExecuteDeviceCommand(const std::string& command, const std::string& value0) {
  if (command == "enableDevice") {
    ExecuteAction(*ActionEnableDevice);
  } else if (command == "disableDevice") {
    ExecuteAction(*ActionDisableDevice);
  } else if (command == "startDevice") {
    ExecuteAction(*ActionStartDevice);
  } else if (command == "stopDevice") {
    ExecuteAction(*ActionStopDevice);
  } else if (command == "enumDevices") {
    if (!ReportLogReady())
      return;
    // Entry 0 selected counts as no choice: every device is reported.
    const int selected = SelectedIndex();
    const int first = selected >= 1 ? selected : 0;
    const int last = selected >= 1 ? selected : ListBox1->count() - 1;
    // Each device is read as ShowDeviceProperties would, but only the last
    // one goes into the fields: setting a field lays out its text, which
    // would cost more than the rest of a line. Every entry has a record of
    // the open set, so every read gives a status.
    const ExWaitCursor wait;
    DeviceProperties properties;
    std::string line;
    for (int index = first; index <= last; ++index) {
      properties = ReadDeviceProperties(RecordAt(index));
      line.assign(ToLocal(ListBox1->item(index)->text()))
          .append(": ")
          .append(devices::FormatHex8(properties.status))
          .append("(")
          .append(devices::ProblemText(properties.problem))
          .append(")");
      ReportLog.Write(line);
      ReportLog.EndLine();
    }
    if (first <= last)
      ShowProperties(properties);  // as if each device had been shown in turn
    ReportLog.Flush();
  } else if (command == "statusDevice") {
    if (!ReportLogReady())
      return;
    const std::pair<const char*, QLineEdit*> lines[] = {
        {"ClassGUID=", EditKey},         {"DeviceName=", EditName},
        {"DeviceHandle=", EditDevInfo},  {"DeviceStatus=", EditStatus},
        {"DeviceProblem=", EditProblem}, {"DeviceProblemText=", EditProblemText}};
    for (const auto& [key, field] : lines) {
      ReportLog.Write(key + ToLocal(field->text()));
      ReportLog.EndLine();
    }
    ReportLog.Flush();
  } else if (command == "setFriendlyName") {
    SetField(EditName, value0);
    ExecuteAction(*ActionSetFriendlyName);
  }
}

}  // namespace quillon::ui
