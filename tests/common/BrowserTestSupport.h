#pragma once
// Shared by the browser test programs: a main that starts the browser runtime the way the program
// does. Main thread only, once per program.
#include <gtest/gtest.h>

#include <QApplication>
#include <functional>

#include "platform/MainThread.h"
#include "packets/json/PacketConversions.h"
#include "browser/QtCefRuntime.h"
#include "common/TempDir.h"

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

}  // namespace vexor::browsertest
