#include "Services.h"

#include <unistd.h>

#include <cstdlib>

#include "DataSynchronizer.h"
#include "PacketConversions.h"
#include "ServiceStartup.h"

namespace vexor {
namespace {

bool gBrowserStarted = false;  // main thread only

void StartBrowserServices() {
  // BROWSER RUNTIME START-UP GOES HERE: the JavaScript-value variant kind (291), the main-thread
  // task queue, then the browser runtime (switches, "ctrl-data" and "img" schemes, cache folder),
  // all before the QApplication exists. Until the runtime's own start-up is in, Qt WebEngine
  // starts itself with the window; only the sandbox needs a word here: it cannot start as root.
  if (::geteuid() == 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
  gBrowserStarted = true;
}

void StopBrowserServices() {
  // BROWSER RUNTIME SHUT-DOWN GOES HERE (queued browser tasks freed unrun, then the runtime).
  gBrowserStarted = false;
}

}  // namespace

void StartTarnwickServices(bool AWithBrowser) {
  StartConcurrencyServices();  // main thread, message log, statistics, threads, timers, locale
  StartSynchronizerPool();
  InitPacketConversions();
  if (AWithBrowser) StartBrowserServices();
}

void StopTarnwickServices() {
  if (gBrowserStarted) StopBrowserServices();
  StopSynchronizerPool();
  StopConcurrencyServices();
}

}  // namespace vexor
