#pragma once
// Shared by the browser test programs: a main that starts the browser runtime the way the program
// does (once per program), and a synchronous script call. Main thread only.
#include <gtest/gtest.h>

#include <QApplication>
#include <QVariant>
#include <QWebEnginePage>
#include <functional>

#include "platform/MainThread.h"
#include "packets/json/PacketConversions.h"
#include "browser/QtCefRuntime.h"
#include "common/TempDir.h"
#include "common/Wait.h"

namespace vexor::browsertest {

// Offscreen, without GPU, in a private home, with the runtime started before the application object
// exists. ABeforeStart runs in that home just before the runtime starts (registry values the start
// reads, for example).
inline int RunBrowserTests(int argc, char** argv, const std::function<void()>& ABeforeStart = {}) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
          "--disable-gpu --disable-background-networking --disable-component-update --no-first-run");
  vexor::testing::TTempDir home;
  vexor::testing::TScopedEnv config("XDG_CONFIG_HOME", home / "config");
  vexor::testing::TScopedEnv machine("XDG_CONFIG_DIRS", home / "machine");
  vexor::testing::TScopedEnv cache("XDG_CACHE_HOME", home / "cache");
  if (ABeforeStart) ABeforeStart();
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

// Runs a script in the page's main world and waits for its value (invalid after 30 s).
inline QVariant Js(QWebEnginePage* APage, const QString& AScript) {
  QVariant result;
  bool done = false;
  APage->runJavaScript(AScript, [&](const QVariant& AValue) {
    result = AValue;
    done = true;
  });
  vexor::testing::WaitFor([&] { return done; }, 30000);
  return result;
}
inline QVariant Js(QWebEnginePage* APage, const char* AScript) { return Js(APage, QString::fromUtf8(AScript)); }

}  // namespace vexor::browsertest
