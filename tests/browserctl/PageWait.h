#pragma once
// Waits that keep Qt's event loop (and the main thread's call queue) running, and a synchronous
// script call; for browser tests and benchmarks. Main thread only.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QVariant>
#include <QWebEnginePage>

#include "platform/MainThread.h"

namespace vexor::browsertest {

// Runs Qt's event loop (and the main thread's call queue) until APredicate holds or the time is up.
template <typename P>
bool WaitFor(P APredicate, int ATimeoutMs = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!APredicate() && clock.elapsed() < ATimeoutMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    CheckSynchronize(0);
  }
  return APredicate();
}

// Runs a script in the page's main world and waits for its value (invalid after 30 s).
inline QVariant Js(QWebEnginePage* APage, const QString& AScript) {
  QVariant result;
  bool done = false;
  APage->runJavaScript(AScript, [&](const QVariant& AValue) {
    result = AValue;
    done = true;
  });
  WaitFor([&] { return done; }, 30000);
  return result;
}
inline QVariant Js(QWebEnginePage* APage, const char* AScript) { return Js(APage, QString::fromUtf8(AScript)); }

}  // namespace vexor::browsertest
