#include "AppEventLoop.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>

#include <atomic>

#include "ExThread.h"
#include "MainThread.h"

namespace vexor {
namespace {

// One drain event in flight at a time; a wake that finds one pending adds nothing.
std::atomic<bool> gDrainPosted{false};

void PostDrain() {
  if (gDrainPosted.exchange(true)) return;
  QMetaObject::invokeMethod(
      qApp,
      [] {
        gDrainPosted.store(false);
        CheckSynchronize(0);
      },
      Qt::QueuedConnection);
}

// Main thread: the box is modal to the active window, if any.
void ShowExceptionBox(const QString& AText) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), AText, QMessageBox::Ok,
                  QApplication::activeWindow());
  box.exec();
}

}  // namespace

TAppEventLoop::TAppEventLoop() {
  SetMainThreadWakeHook(PostDrain);
  PostDrain();  // whatever was queued before the loop existed
  SetAppExceptionHandler([](std::exception_ptr AException, const char*) {
    if (IsAbortException(AException)) return;
    QString text = QString::fromStdString(ExceptionMessage(AException));
    if (IsMainThread())
      ShowExceptionBox(text);
    else
      QMetaObject::invokeMethod(qApp, [text] { ShowExceptionBox(text); }, Qt::QueuedConnection);
  });
}

TAppEventLoop::~TAppEventLoop() {
  SetAppExceptionHandler(nullptr);
  SetMainThreadWakeHook(nullptr);
  CheckSynchronize(0);
}

}  // namespace vexor
