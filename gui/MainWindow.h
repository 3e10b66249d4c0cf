// The window of TMainForm: Qt widgets that show the form's components as
// they change and hand the user's input to the form's handlers. The form
// holds all state; this view holds none beyond what Qt needs to show it.
#pragma once

#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QMargins>
#include <QSize>
#include <QStringList>
#include <map>

#include "form/FormComponents.h"

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QMenuBar;
class QPushButton;

namespace quillon::ui {

class TMainForm;

// The application's icon (from the library's resources).
QIcon ApplicationIcon();

// Captions with an access key each ("&File"), unique within the list where
// letters allow: the first letter of a word not yet taken, else any letter.
QStringList AddAccessKeys(const QStringList& captions);

// The client size that gives a window of `outer` size with this frame.
QSize ClientSizeForFrame(QSize outer, QMargins frame);

class MainWindow final : public QMainWindow, private FormView {
 public:
  // Shows `form` from now on; the form must outlive the window.
  explicit MainWindow(TMainForm& form, QWidget* parent = nullptr);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  TMainForm& Form() const { return form_; }
  // An image of the form's image list.
  QIcon Image(int index) const { return images_.value(index); }

  // Widgets, named after the form's components they show.
  QGroupBox* GroupBox1 = nullptr;
  QListWidget* ListBox1 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* EditName = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* EditKey = nullptr;
  QLineEdit* EditDevInfo = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* EditStatus = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* EditProblem = nullptr;
  QLineEdit* EditProblemText = nullptr;
  QMenuBar* MainMenu1 = nullptr;
  QMenu* File1 = nullptr;
  QAction* Close1 = nullptr;
  QMenu* Device1 = nullptr;
  QAction* UpdateDeviceList1 = nullptr;
  QAction* EnableDevice1 = nullptr;
  QAction* DisableDevice1 = nullptr;
  QAction* N1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* About1 = nullptr;
  QAction* N2 = nullptr;
  QAction* StartDevice1 = nullptr;
  QAction* StopDevice1 = nullptr;
  QPushButton* ButtonSetFriendlyName = nullptr;

 protected:
  bool event(QEvent* event) override;

 private:
  // FormView
  void EditChanged(const TEdit& edit) override;
  void ListChanged(const TListBox& list, ListChange change) override;
  void ActionChanged(const TAction& action) override;
  void ProcessMessages() override;
  void Close() override;

  void CreateWidgets();
  void CreateMenu();
  void FillList();
  void SelectFromForm();
  // Gives the window its outer size once the window system tells its frame.
  void FitFrame();

  TMainForm& form_;
  QList<QIcon> images_;
  std::map<const TEdit*, QLineEdit*> edits_;
  // Menu items and buttons that follow each action.
  std::multimap<const TAction*, QAction*> items_;
  // Set while the list shows a change of the form, so that Qt's signals
  // about it are not taken for the user's.
  bool syncing_ = false;
  QMargins fittedFrame_;
};

}  // namespace quillon::ui
