#pragma once
// Shared by the browser-control test programs: waits that keep Qt's event loop running, a
// synchronous script call, and a main that starts the browser runtime the way the program does.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QVariant>
#include <QWebEnginePage>

#include "MainThread.h"
#include "PacketConversions.h"
#include "QtCefRuntime.h"
#include "TempDir.h"

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

// Offscreen, without GPU, with the runtime started before the application object exists.
inline int RunBrowserTests(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
          "--disable-gpu --disable-background-networking --disable-component-update --no-first-run");
  vexor::testing::TTempDir home;
  vexor::testing::TScopedEnv config("XDG_CONFIG_HOME", home / "config");
  vexor::testing::TScopedEnv machine("XDG_CONFIG_DIRS", home / "machine");
  vexor::testing::TScopedEnv cache("XDG_CACHE_HOME", home / "cache");
  InitMainThread();
  InitPacketConversions();
  if (!StartBrowserRuntime()) return 1;
  int status;
  {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    status = RUN_ALL_TESTS();
    BrowserRuntime()->ReleaseProfile();  // before the application object goes
  }
  StopBrowserRuntime();
  return status;
}

}  // namespace vexor::browsertest
