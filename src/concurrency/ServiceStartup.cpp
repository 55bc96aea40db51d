#include "ServiceStartup.h"

#include "ExThread.h"
#include "MainThread.h"
#include "AppStats.h"
#include "MessageLog.h"
#include "TxTimer.h"

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
