#include "window/ExceptionDisplay.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>

#include "concurrency/ExThread.h"
#include "platform/MainThread.h"

namespace vexor {
namespace {

// Main thread: the box is modal to the active window, if any.
void ShowExceptionBox(const QString& AText) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), AText, QMessageBox::Ok,
                  QApplication::activeWindow());
  box.exec();
}

}  // namespace

TExceptionDisplay::TExceptionDisplay() {
  SetAppExceptionHandler([](std::exception_ptr AException, const char*) {
    if (IsAbortException(AException)) return;
    QString text = QString::fromStdString(ExceptionMessage(AException));
    if (IsMainThread())
      ShowExceptionBox(text);
    else
      QMetaObject::invokeMethod(
          qApp, [text] { ShowExceptionBox(text); }, Qt::QueuedConnection);
  });
}

TExceptionDisplay::~TExceptionDisplay() { SetAppExceptionHandler(nullptr); }

}  // namespace vexor
