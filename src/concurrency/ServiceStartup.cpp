#include "concurrency/ServiceStartup.h"

#include "concurrency/ExThread.h"
#include "platform/MainThread.h"
#include "diagnostics/AppStats.h"
#include "diagnostics/MessageLog.h"
#include "concurrency/TxTimer.h"

namespace vexor {

void StartConcurrencyServices(const TServiceOptions& AOptions) {
  InitMainThread();
  StartMessageLog();
  StartAppStats();
  StartThreadRegistry();
  StartTimerService();
  InitThreadLocale(AOptions.UiLanguage);
}

void StopConcurrencyServices() {
  StopTimerService();
  StopThreadRegistry();
  StopAppStats();
  StopMessageLog();
}

}  // namespace vexor
