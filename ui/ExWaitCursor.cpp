#include "ExWaitCursor.h"

#include <QApplication>

namespace quillon::ui {

ExWaitCursor::ExWaitCursor() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
}

ExWaitCursor::~ExWaitCursor() {
  QApplication::restoreOverrideCursor();
}

}  // namespace quillon::ui
