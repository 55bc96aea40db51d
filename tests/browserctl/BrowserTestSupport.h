#pragma once
// Shared by the browser-control test programs: a main that starts the browser runtime the way the
// program does (and the waits of PageWait.h).
#include <gtest/gtest.h>

#include <QApplication>

#include "MainThread.h"
#include "PacketConversions.h"
#include "PageWait.h"
#include "QtCefRuntime.h"
#include "TempDir.h"

namespace vexor::browsertest {

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
