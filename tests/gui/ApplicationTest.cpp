// The application object on the offscreen platform: exceptions raised by
// handlers are shown and the event loop goes on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <stdexcept>
#include <string>
#include <vector>

#include "gui/QuillonApplication.h"

namespace quillon::app {
namespace {

constexpr QEvent::Type kThrowStd = QEvent::User;
constexpr QEvent::Type kThrowOther = static_cast<QEvent::Type>(QEvent::User + 1);
constexpr QEvent::Type kCount = static_cast<QEvent::Type>(QEvent::User + 2);

class Handler final : public QObject {
 public:
  int handled = 0;

 protected:
  bool event(QEvent* event) override {
    if (event->type() == kThrowStd)
      throw std::runtime_error("Device list\nbroke");
    if (event->type() == kThrowOther)
      throw 42;
    if (event->type() != kCount)
      return QObject::event(event);
    ++handled;
    return true;
  }
};

// Shown on one line, with the box's full stop, where offscreen shows boxes.
TEST(QuillonApplicationTest, HandlerExceptionsAreShownAndTheLoopGoesOn) {
  Handler handler;
  testing::internal::CaptureStderr();
  for (const QEvent::Type type : {kThrowStd, kCount, kThrowOther, kCount})
    QCoreApplication::postEvent(&handler, new QEvent(type));
  QCoreApplication::processEvents();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Quillon - Varnholt: Device list broke.\n"
            "Quillon - Varnholt: Unknown exception.\n");
  EXPECT_EQ(handler.handled, 2);
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
