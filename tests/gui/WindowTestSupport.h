// The window tests' fixture: a form as in the form tests, with its window
// over it. Fields and entries are read from the widgets, so that what the
// form holds is checked as the user sees it.
#pragma once

#include <QLineEdit>
#include <QListWidget>

#include "gui/MainWindow.h"
#include "tests/form/FormTestSupport.h"

namespace quillon::ui::testing {

class WindowTest : public FormTest {
 protected:
  void TearDown() override { window.reset(); }  // before the form it shows

  TMainForm& Make() override {
    window.reset();
    FormTest::Make();
    window = std::make_unique<MainWindow>(*form);
    return *form;
  }

  std::string Field(const QLineEdit* edit) const { return edit->text().toStdString(); }
  std::string Entry(int row) const { return window->ListBox1->item(row)->text().toStdString(); }

  std::unique_ptr<MainWindow> window;
};

}  // namespace quillon::ui::testing
