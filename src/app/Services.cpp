#include "app/Services.h"

#include "concurrency/DataSynchronizer.h"
#include "packets/PacketConversions.h"
#include "concurrency/ServiceStartup.h"
#ifdef TARNWICK_WITH_BROWSER
#include "browser/QtCefRuntime.h"
#endif

namespace vexor {

void StartTarnwickServices() {
  StartConcurrencyServices();  // main thread, message log, statistics, threads, timers, locale
  StartSynchronizerPool();
  InitPacketConversions();
}

bool StartBrowserServices(const std::string& AUiLanguage) {
#ifdef TARNWICK_WITH_BROWSER
  // Order: the page bridge's variant kind, the main-thread task queue, the runtime.
  return StartBrowserRuntime(AUiLanguage);
#else
  (void)AUiLanguage;
  return false;
#endif
}

void StopBrowserServices() {
#ifdef TARNWICK_WITH_BROWSER
  StopBrowserRuntime();  // queued browser tasks freed unrun, then the runtime shut down
#endif
}

void StopTarnwickServices() {
  StopSynchronizerPool();
  StopConcurrencyServices();
}

}  // namespace vexor
