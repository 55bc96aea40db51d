#include "ServiceStartup.h"

#include "ExThread.h"
#include "MainThread.h"
#include "uAppStats.h"
#include "uMessageLog.h"
#include "uTxTimer.h"

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
