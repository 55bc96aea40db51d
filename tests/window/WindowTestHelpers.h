#pragma once
// Helpers of the window tests: waits that let the window go idle, the output pane's lines, and
// screenshots for the documentation. Main thread only.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstdlib>

#include "window/TerminalView.h"

namespace vexor::testing {

constexpr int kLongMs = 60000;

// Waits for APredicate while letting the event loop go idle now and then (the window brings its
// actions up to date when the application is about to wait for events).
template <typename P>
bool WaitIdle(P APredicate, int ATimeoutMs = kLongMs) {
  return QTest::qWaitFor(
      [&] {
        QTimer::singleShot(5, [] {});
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return APredicate();
      },
      ATimeoutMs);
}

// Everything the pane's terminal shows, one line per entry.
inline QStringList PaneLines(const TTerminalView& APane) {
  QStringList lines;
  for (int i = 0; i < APane.LineCount(); ++i) lines << APane.LineText(i);
  return lines;
}

// With TW_SCREENSHOT_DIR set, AWidget goes there as <AName>.png for the documentation.
inline void SaveScreenshot(QWidget& AWidget, const char* AName) {
  const char* dir = std::getenv("TW_SCREENSHOT_DIR");
  if (!dir || !*dir) return;
  // A frame of the current page from the browser's compositor, and the actions brought up to date.
  QElapsedTimer settle;
  settle.start();
  WaitIdle([&] { return settle.elapsed() > 200; });
  QTest::qWait(3000);
  EXPECT_TRUE(AWidget.grab().save(QString::fromLocal8Bit(dir) + "/" + AName + ".png"));
}

}  // namespace vexor::testing
