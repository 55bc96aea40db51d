// Test runner for the synchronizer and pool tests: the services start as in the program, and the
// message log keeps every level so that the tests can look for trace lines.
#include <gtest/gtest.h>

#include "concurrency/ServiceStartup.h"
#include "concurrency/DataSynchronizer.h"
#include "diagnostics/MessageLog.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  vexor::StartConcurrencyServices();
  vexor::StartSynchronizerPool();
  if (vexor::MessagesList()) vexor::MessagesList()->SetLogLevel(vexor::tmsProgress);
  int result = RUN_ALL_TESTS();
  vexor::StopSynchronizerPool();
  vexor::StopConcurrencyServices();
  return result;
}
