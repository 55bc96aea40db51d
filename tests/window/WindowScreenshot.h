#pragma once
// Pictures of the window for the documentation: with TW_SCREENSHOT_DIR set, SaveScreenshot writes
// the window there as <AName>.png; without it, it does nothing. Main thread only.
#include <gtest/gtest.h>

#include <QString>
#include <QWidget>
#include <cstdlib>

#include "common/Wait.h"

namespace vexor::testing {

inline void SaveScreenshot(QWidget& AForm, const char* AName) {
  const char* dir = std::getenv("TW_SCREENSHOT_DIR");
  if (!dir || !*dir) return;
  // A frame of the current page from the browser's compositor, and the actions brought up to date.
  PumpFor(3200);
  EXPECT_TRUE(AForm.grab().save(QString::fromLocal8Bit(dir) + "/" + AName + ".png"));
}

}  // namespace vexor::testing
