#include "window/WindowRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>

#include "window/ExceptionDisplay.h"
#include "window/MainForm.h"
#include "browser/QtCefRuntime.h"

namespace vexor {
namespace {

// Self-pipe: the signal handler only writes a byte; the event loop reads it.
int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

}  // namespace

int RunWindow(const TTarnwickOptions& AOptions, int& argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tarnwick"));
  QApplication::setApplicationDisplayName(QString::fromLatin1(TMainForm::kCaption));
  TExceptionDisplay display;

  std::unique_ptr<QSocketNotifier> stopNotifier;
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    stopNotifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
  }
  {
    TMainForm form(AOptions);
    if (stopNotifier)
      QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &form, [&form] {
        char buffer[16];
        while (::read(gSignalPipe[0], buffer, sizeof buffer) > 0) {
        }
        form.close();
        QApplication::quit();  // also ends a modal dialog's loop
      });
    form.show();
    QApplication::exec();
  }  // the requester and the browser go with the window, before the application
  if (TQtCefRuntime* runtime = BrowserRuntime()) runtime->ReleaseProfile();
  if (stopNotifier) {
    stopNotifier.reset();
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::close(gSignalPipe[0]);
    ::close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
  }
  return 0;
}

}  // namespace vexor
