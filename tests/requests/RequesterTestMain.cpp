// Start-up and shut-down of the services the requesters run on, in the program's order.
#include <gtest/gtest.h>

#include "packets/json/PacketConversions.h"
#include "concurrency/ServiceStartup.h"
#include "concurrency/DataSynchronizer.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  vexor::StartConcurrencyServices();
  vexor::StartSynchronizerPool();
  vexor::InitPacketConversions();
  int rc = RUN_ALL_TESTS();
  vexor::StopSynchronizerPool();
  vexor::StopConcurrencyServices();
  return rc;
}
