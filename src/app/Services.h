#pragma once
// The program's services, started in one place in their fixed order and stopped in reverse:
// main thread, message log, statistics, thread registry, timers, the synchronizer pool, the packet
// conversions. The program and the tests that need the whole stack call these on the main thread.
#include <string>

namespace vexor {

void StartTarnwickServices();
void StopTarnwickServices();

}  // namespace vexor
