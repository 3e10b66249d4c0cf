// The application object: a QApplication that keeps exceptions from crossing
// Qt's event loop, and the box that shows them.
#pragma once

#include <QApplication>
#include <string_view>

#include "app/StartupRules.h"

namespace quillon::app {

class QuillonApplication final : public QApplication {
 public:
  QuillonApplication(int& argc, char** argv);

  // An exception raised by a handler is shown in the exception box and the
  // program goes on with the next message.
  bool notify(QObject* receiver, QEvent* event) override;
};

// Passes Qt's messages on to the previous handler, less those that say nothing
// about this program (IsIrrelevantQtMessage). Call before the application
// object is constructed.
void InstallMessageFilter();

// Shows an escaped exception: a modal box with the error icon, the
// application title as caption and one OK button; on a platform nobody can
// answer a box on (offscreen), one line on standard error instead. Works also
// when no application object could be made.
void ShowException(std::string_view message) noexcept;

}  // namespace quillon::app
