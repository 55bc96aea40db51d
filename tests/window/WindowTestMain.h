#pragma once
// What the window test programs' main does: the window offscreen, the program's services and the
// browser runtime started as the program starts them, the stored values and the browser profile in
// folders of the test's own. Main thread only, once per program.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "platform/CommandLine.h"
#include "window/ExceptionDisplay.h"
#include "window/MainForm.h"
#include "browser/QtCefRuntime.h"
#include "app/Services.h"
#include "window/WindowServices.h"
#include "common/TempDir.h"
#include "common/WebEngineSanitizer.h"  // Qt WebEngine's own findings under the sanitizers

namespace vexor::testing {

inline int RunWindowTests(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
  vexor::testing::TTempDir config, cache;
  ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  ::setenv("XDG_CACHE_HOME", cache.Path().c_str(), 1);
  ::testing::InitGoogleTest(&argc, argv);
  SetProcessArgs(argc, argv);
  StartTarnwickServices();
  if (!StartBrowserServices()) return 1;
  int status = 1;
  {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QString::fromLatin1(TMainForm::kCaption));
    TExceptionDisplay display;
    status = RUN_ALL_TESTS();
    BrowserRuntime()->ReleaseProfile();  // before the application object goes
  }
  StopBrowserServices();
  StopTarnwickServices();
  return status;
}

}  // namespace vexor::testing
