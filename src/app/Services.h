#pragma once
// The program's services, started in one place in their fixed order and stopped in reverse:
// main thread, message log, statistics, thread registry, timers, the synchronizer pool, the packet
// conversions. The program and the tests that need the whole stack call these on the main thread.
#include <string>

namespace vexor {

void StartTarnwickServices();
void StopTarnwickServices();

// The embedded browser's start-up, for the window: after StartTarnwickServices (the browser is the
// last service before the window) and before the QApplication exists; false when the browser
// runtime was not started. Stopped first after the window and its browsers are gone, before
// StopTarnwickServices. Without Qt WebEngine both do nothing (and Start returns false).
bool StartBrowserServices(const std::string& AUiLanguage = {});
void StopBrowserServices();

}  // namespace vexor
