#include "window/WindowServices.h"

#include "browser/QtCefRuntime.h"

namespace vexor {

bool StartBrowserServices(const std::string& AUiLanguage) {
  // Order: the page bridge's variant kind, the main-thread task queue, the runtime.
  return StartBrowserRuntime(AUiLanguage);
}

void StopBrowserServices() {
  StopBrowserRuntime();  // queued browser tasks freed unrun, then the runtime shut down
}

}  // namespace vexor
