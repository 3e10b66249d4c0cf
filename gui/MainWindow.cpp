#include "gui/MainWindow.h"

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
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <functional>
#include <vector>

#include "form/MainFormUnit.h"

// Q_INIT_RESOURCE must be used outside any namespace; a static library's
// resources are otherwise dropped by the linker.
static void InitUiResources() {
  Q_INIT_RESOURCE(ui);
}

namespace quillon::ui {

namespace {

QString FromLocal(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToLocal(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

QRect ToRect(const TBounds& bounds) {
  return {bounds.left, bounds.top, bounds.width, bounds.height};
}

// Keeps children at fixed distances from the edges of their parent that they
// are anchored to: a child anchored left and right grows with the parent, one
// anchored only right moves with the right edge.
class Anchors final : public QObject {
 public:
  Anchors(QWidget* parent, QSize designSize) : QObject(parent), design_(designSize) {
    parent->installEventFilter(this);
  }

  void Place(QWidget* child, const TControl& control) {
    const QRect rect = ToRect(control.bounds);
    child->setGeometry(rect);
    items_.push_back({child, rect, control.anchors});
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
    unsigned anchors;
  };

  void Arrange() {
    const auto* owner = static_cast<QWidget*>(parent());
    const int dx = owner->width() - design_.width();
    const int dy = owner->height() - design_.height();
    for (const Item& item : items_) {
      QRect rect = item.rect;
      if ((item.anchors & kAnchorRight) != 0) {
        if ((item.anchors & kAnchorLeft) != 0) {
          rect.setWidth(std::max(0, rect.width() + dx));
        } else {
          rect.moveLeft(rect.left() + dx);
        }
      }
      if ((item.anchors & kAnchorBottom) != 0) {
        if ((item.anchors & kAnchorTop) != 0) {
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
// makes, by mouse or keyboard, from all others: `selectionChanged` learns
// which kind it was. The user cannot empty the selection: Ctrl+click,
// Ctrl+Space and clicks below the last entry leave it as it is.
class ListWidget final : public QListWidget {
 public:
  explicit ListWidget(QWidget* parent) : QListWidget(parent) {
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
      if (selectionChanged)
        selectionChanged(userInput_ > 0);
    });
  }

  std::function<void(bool byUser)> selectionChanged;

  int SelectedRow() const {
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.first().row();
  }

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

class Syncing {
 public:
  explicit Syncing(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
  ~Syncing() { flag_ = previous_; }
  Syncing(const Syncing&) = delete;
  Syncing& operator=(const Syncing&) = delete;

 private:
  bool& flag_;
  bool previous_;
};

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

QSize ClientSizeForFrame(QSize outer, QMargins frame) {
  return {std::max(0, outer.width() - frame.left() - frame.right()),
          std::max(0, outer.height() - frame.top() - frame.bottom())};
}

MainWindow::MainWindow(TMainForm& form, QWidget* parent) : QMainWindow(parent), form_(form) {
  InitUiResources();
  CreateWidgets();
  form_.AttachView(this);
  FillList();
  SelectFromForm();
}

MainWindow::~MainWindow() {
  form_.AttachView(nullptr);
}

void MainWindow::CreateWidgets() {
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
  setFont(QFont(FromLocal(form_.FontName), form_.FontSize));
  setWindowTitle(FromLocal(form_.Caption));
  setWindowIcon(ApplicationIcon());
  for (const std::string& name : form_.ImageList1.names) {
    images_.append(QIcon(QStringLiteral(":/quillon/images/%1.png").arg(FromLocal(name))));
  }

  // The design's client area; the window gets its outer size in FitFrame.
  GroupBox1 = new QGroupBox(FromLocal(form_.GroupBox1.caption), this);
  setCentralWidget(GroupBox1);
  auto* frameAnchors =
      new Anchors(GroupBox1, QSize(form_.GroupBox1.bounds.width, form_.GroupBox1.bounds.height));

  auto* listBox = new ListWidget(GroupBox1);
  listBox->selectionChanged = [this, listBox](bool byUser) {
    if (syncing_)
      return;
    form_.ListBox1.SelectFromView(listBox->SelectedRow());
    if (byUser)
      form_.ListBox1Click();
  };
  ListBox1 = listBox;
  ListBox1->setFrameShape(QFrame::NoFrame);
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setUniformItemSizes(true);
  ListBox1->setItemDelegate(new FixedHeightDelegate(form_.ListBox1.itemHeight, ListBox1));
  ListBox1->setSortingEnabled(false);
  frameAnchors->Place(ListBox1, form_.ListBox1);

  GroupBox2 = new QGroupBox(FromLocal(form_.GroupBox2.caption), GroupBox1);
  frameAnchors->Place(GroupBox2, form_.GroupBox2);
  auto* fieldAnchors =
      new Anchors(GroupBox2, QSize(form_.GroupBox2.bounds.width, form_.GroupBox2.bounds.height));

  const auto makeLabel = [this](const TLabel& model) {
    auto* label = new QLabel(FromLocal(model.caption), GroupBox2);
    label->adjustSize();
    label->move(model.bounds.left, model.bounds.top);
    return label;
  };
  const auto makeEdit = [this, fieldAnchors](TEdit& model) {
    auto* edit = new QLineEdit(GroupBox2);
    fieldAnchors->Place(edit, model);
    edits_[&model] = edit;
    connect(edit, &QLineEdit::textChanged, this,
            [&model](const QString& text) { model.SetTextFromView(ToLocal(text)); });
    EditChanged(model);
    return edit;
  };
  Label1 = makeLabel(form_.Label1);
  EditName = makeEdit(form_.EditName);
  Label2 = makeLabel(form_.Label2);
  EditKey = makeEdit(form_.EditKey);
  EditDevInfo = makeEdit(form_.EditDevInfo);
  Label3 = makeLabel(form_.Label3);
  Label4 = makeLabel(form_.Label4);
  EditStatus = makeEdit(form_.EditStatus);
  Label5 = makeLabel(form_.Label5);
  EditProblem = makeEdit(form_.EditProblem);
  EditProblemText = makeEdit(form_.EditProblemText);

  TAction& setAction = *form_.ButtonSetFriendlyName.action;
  ButtonSetFriendlyName = new QPushButton(FromLocal(setAction.Caption()), GroupBox2);
  ButtonSetFriendlyName->setEnabled(setAction.Enabled());
  fieldAnchors->Place(ButtonSetFriendlyName, form_.ButtonSetFriendlyName);
  connect(ButtonSetFriendlyName, &QPushButton::clicked, this,
          [&setAction] { setAction.Execute(); });

  setTabOrder(ListBox1, EditName);
  setTabOrder(EditName, EditKey);
  setTabOrder(EditKey, EditDevInfo);
  setTabOrder(EditDevInfo, EditStatus);
  setTabOrder(EditStatus, EditProblem);
  setTabOrder(EditProblem, EditProblemText);
  setTabOrder(EditProblemText, ButtonSetFriendlyName);

  CreateMenu();

  const TBounds& outer = form_.Bounds;
  resize(outer.width, outer.height);
  move(outer.left, outer.top);
  ListBox1->setFocus(Qt::OtherFocusReason);
}

void MainWindow::CreateMenu() {
  MainMenu1 = menuBar();
  QStringList menuCaptions;
  for (const TMenuItem* menu : form_.MainMenu1.items)
    menuCaptions.append(FromLocal(menu->caption));
  menuCaptions = AddAccessKeys(menuCaptions);

  // A menu item follows its action (caption with an access key, image,
  // shortcut, enabled state) and executes it when chosen.
  const auto fill = [this](QMenu* menu, const TMenuItem& model) {
    QStringList captions;
    for (const TMenuItem* item : model.items) {
      if (item->action != nullptr)
        captions.append(FromLocal(item->action->Caption()));
    }
    captions = AddAccessKeys(captions);
    std::vector<QAction*> created;
    qsizetype next = 0;
    for (const TMenuItem* item : model.items) {
      if (item->separator || item->action == nullptr) {
        created.push_back(menu->addSeparator());
        continue;
      }
      TAction& action = *item->action;
      auto* entry = menu->addAction(Image(action.ImageIndex()), captions[next++]);
      entry->setShortcut(QKeySequence(FromLocal(action.ShortCut())));
      entry->setEnabled(action.Enabled());
      connect(entry, &QAction::triggered, this, [&action] { action.Execute(); });
      items_.emplace(&action, entry);
      created.push_back(entry);
    }
    return created;
  };

  File1 = MainMenu1->addMenu(menuCaptions[0]);
  Device1 = MainMenu1->addMenu(menuCaptions[1]);
  Help1 = MainMenu1->addMenu(menuCaptions[2]);
  Close1 = fill(File1, form_.File1).at(0);
  const std::vector<QAction*> device = fill(Device1, form_.Device1);
  UpdateDeviceList1 = device.at(0);
  N1 = device.at(1);
  EnableDevice1 = device.at(2);
  DisableDevice1 = device.at(3);
  N2 = device.at(4);
  StartDevice1 = device.at(5);
  StopDevice1 = device.at(6);
  About1 = fill(Help1, form_.Help1).at(0);
  // Opening a menu lets its actions update themselves: About, which has no
  // handler, disables itself.
  connect(Help1, &QMenu::aboutToShow, this, [this] { form_.ActionAbout.Update(); });
}

void MainWindow::EditChanged(const TEdit& edit) {
  const auto found = edits_.find(&edit);
  if (found == edits_.end())
    return;
  // The form keeps the text it was given: bytes that are no text in the
  // locale would come back from the field altered.
  const QSignalBlocker fromCode(found->second);
  // From its start, as a long GUID or name reads best.
  found->second->setText(FromLocal(edit.Text()));
  found->second->setCursorPosition(0);
}

void MainWindow::ListChanged(const TListBox& list, ListChange change) {
  if (&list != &form_.ListBox1)
    return;
  if (change == ListChange::kItems)
    FillList();
  SelectFromForm();
}

void MainWindow::FillList() {
  const Syncing syncing(syncing_);
  ListBox1->setUpdatesEnabled(false);
  ListBox1->clear();
  for (const std::string& text : form_.ListBox1.Items()) {
    // Item first, then into the list: adding an item that already has the
    // list as parent gets slow for long lists.
    ListBox1->addItem(new QListWidgetItem(FromLocal(text)));
  }
  ListBox1->setUpdatesEnabled(true);
}

void MainWindow::SelectFromForm() {
  const Syncing syncing(syncing_);
  const int index = form_.ListBox1.ItemIndex();
  if (index >= 0 && index < ListBox1->count()) {
    ListBox1->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
    ListBox1->scrollToItem(ListBox1->item(index));
  } else {
    ListBox1->clearSelection();
  }
}

void MainWindow::ActionChanged(const TAction& action) {
  const auto [first, last] = items_.equal_range(&action);
  for (auto it = first; it != last; ++it)
    it->second->setEnabled(action.Enabled());
  if (&action == form_.ButtonSetFriendlyName.action)
    ButtonSetFriendlyName->setEnabled(action.Enabled());
}

void MainWindow::ProcessMessages() {
  QCoreApplication::processEvents();
}

void MainWindow::Close() {
  close();
}

bool MainWindow::event(QEvent* event) {
  const bool result = QMainWindow::event(event);
  switch (event->type()) {
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::Resize:
      FitFrame();
      break;
    default:
      break;
  }
  return result;
}

void MainWindow::FitFrame() {
  if (!isWindow() || !isVisible())
    return;
  const QRect frame = frameGeometry();
  const QRect client = geometry();
  const QMargins margins(client.left() - frame.left(), client.top() - frame.top(),
                         frame.right() - client.right(), frame.bottom() - client.bottom());
  if (margins == fittedFrame_)
    return;
  // Once per frame the window system reports, so that the user's own
  // resizing is never undone.
  fittedFrame_ = margins;
  resize(ClientSizeForFrame(QSize(form_.Bounds.width, form_.Bounds.height), margins));
}

}  // namespace quillon::ui
