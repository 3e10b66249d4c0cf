#include "gui/QuillonApplication.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QString>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "app/StartupRules.h"

namespace quillon::app {
namespace {

bool CanShowBoxes() {
  if (QGuiApplication::instance() == nullptr) {
    return false;
  }
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

QtMessageHandler previousHandler = nullptr;

void FilterMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (IsIrrelevantQtMessage(message.toStdString())) {
    return;
  }
  if (previousHandler != nullptr) {
    previousHandler(type, context, message);
  }
}

}  // namespace

void InstallMessageFilter() {
  previousHandler = qInstallMessageHandler(FilterMessage);
}

QuillonApplication::QuillonApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool QuillonApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& exception) {
    ShowException(exception.what());
  } catch (...) {
    ShowException(kUnknownException);
  }
  return false;
}

void ShowException(std::string_view message) noexcept {
  try {
    if (!CanShowBoxes()) {
      WriteExceptionLine(message);
      return;
    }
    const std::string text = ExceptionBoxText(message);
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kApplicationTitle),
                    QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok);
    box.exec();
  } catch (...) {
    // Showing failed too (out of memory, most likely): say what we can.
    std::fputs(kApplicationTitle, stderr);
    std::fputs(": an exception could not be shown\n", stderr);
  }
}

}  // namespace quillon::app
