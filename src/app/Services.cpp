#include "Services.h"

#include "PacketConversions.h"
#include "ServiceStartup.h"
#include "DataSynchronizer.h"

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
