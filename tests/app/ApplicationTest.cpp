// The application object on the offscreen platform: exceptions raised by
// handlers are shown and the event loop goes on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuillonApplication.h"

namespace quillon::app {
namespace {

// Captures std::cerr, where the exception box goes on offscreen.
class CapturedStandardError {
 public:
  CapturedStandardError() : previous_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CapturedStandardError() { std::cerr.rdbuf(previous_); }
  CapturedStandardError(const CapturedStandardError&) = delete;
  CapturedStandardError& operator=(const CapturedStandardError&) = delete;
  std::string Text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* previous_;
};

constexpr QEvent::Type kThrowStd = QEvent::User;
constexpr QEvent::Type kThrowOther = static_cast<QEvent::Type>(QEvent::User + 1);
constexpr QEvent::Type kCount = static_cast<QEvent::Type>(QEvent::User + 2);

class Handler final : public QObject {
 public:
  int handled = 0;

 protected:
  bool event(QEvent* event) override {
    if (event->type() == kThrowStd) {
      throw std::runtime_error("Device list\nbroke");
    }
    if (event->type() == kThrowOther) {
      throw 42;
    }
    if (event->type() == kCount) {
      ++handled;
      return true;
    }
    return QObject::event(event);
  }
};

// Shown on one line, with the box's full stop.
TEST(QuillonApplicationTest, HandlerExceptionsAreShownAndTheLoopGoesOn) {
  Handler handler;
  const CapturedStandardError captured;
  QCoreApplication::postEvent(&handler, new QEvent(kThrowStd));
  QCoreApplication::postEvent(&handler, new QEvent(kCount));
  QCoreApplication::postEvent(&handler, new QEvent(kThrowOther));
  QCoreApplication::postEvent(&handler, new QEvent(kCount));
  QCoreApplication::processEvents();
  EXPECT_EQ(handler.handled, 2);
  EXPECT_EQ(captured.Text(),
            "Quillon - Varnholt: Device list broke.\n"
            "Quillon - Varnholt: Unknown exception.\n");
}

std::vector<std::string> recorded;

void Record(QtMsgType, const QMessageLogContext&, const QString& message) {
  recorded.push_back(message.toStdString());
}

TEST(MessageFilterTest, DropsOnlyIrrelevantMessages) {
  const QtMessageHandler original = qInstallMessageHandler(Record);
  InstallMessageFilter();
  qWarning("QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'");
  qWarning("qt.qpa.xcb: could not connect to display :9876");
  qInstallMessageHandler(original);
  EXPECT_EQ(recorded, std::vector<std::string>{"qt.qpa.xcb: could not connect to display :9876"});
}

}  // namespace
}  // namespace quillon::app

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
  quillon::app::QuillonApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
