#pragma once
// The program's services, started in one place in their fixed order and stopped in reverse:
// main thread, message log, statistics, thread registry, timers, the synchronizer pool, the packet
// conversions and, for the window, the browser (last, so that it goes first). The program and the
// tests that need the whole stack call these on the main thread; with the browser, before any
// QApplication exists.
namespace vexor {

void StartTarnwickServices(bool AWithBrowser = false);
void StopTarnwickServices();

}  // namespace vexor
