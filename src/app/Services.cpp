#include "app/Services.h"

#include "concurrency/DataSynchronizer.h"
#include "packets/json/PacketConversions.h"
#include "concurrency/ServiceStartup.h"

namespace vexor {

void StartTarnwickServices() {
  StartConcurrencyServices();  // main thread, message log, statistics, threads, timers, locale
  StartSynchronizerPool();
  InitPacketConversions();
}

void StopTarnwickServices() {
  StopSynchronizerPool();
  StopConcurrencyServices();
}

}  // namespace vexor
