#include "rcon/qorRCON_Application.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>

#include "platform/MainThread.h"

void ShowApplicationException(std::exception_ptr aError) {
  QString text;
  try {
    std::rethrow_exception(aError);
  } catch (const std::exception& e) {
    text = QString::fromUtf8(e.what());
  } catch (...) {
    text = QStringLiteral("Unknown exception.");
  }
  QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), text);
}

void InstallMainThreadHooks() {
  // Called on the posting thread; a queued invocation is the thread-safe way into Qt's loop.
  SetWakeMainThread([] {
    QMetaObject::invokeMethod(
        qApp, [] { CheckSynchronize(); }, Qt::QueuedConnection);
  });
  SetMainThreadExceptionHandler(ShowApplicationException);
}

void RemoveMainThreadHooks() {
  SetWakeMainThread(nullptr);
  SetMainThreadExceptionHandler(nullptr);
}
