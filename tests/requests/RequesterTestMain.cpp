// Start-up and shut-down of the services the requesters run on, in the program's order.
#include <gtest/gtest.h>

#include "ExThread.h"
#include "MainThread.h"
#include "PacketConversions.h"
#include "uAppStats.h"
#include "uDataSynchronizer.h"
#include "uMessageLog.h"
#include "uTxTimer.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  vexor::InitMainThread();
  vexor::StartMessageLog();
  vexor::StartAppStats();
  vexor::StartThreadRegistry();
  vexor::StartTimerService();
  vexor::StartSynchronizerPool();
  vexor::InitPacketConversions();
  int rc = RUN_ALL_TESTS();
  vexor::StopSynchronizerPool();
  vexor::StopTimerService();
  vexor::StopThreadRegistry();
  vexor::StopAppStats();
  vexor::StopMessageLog();
  return rc;
}
