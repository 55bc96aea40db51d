#pragma once
// The headless debug run: starts the script under the inspector, prints "DevTools: <address>"
// each time the address becomes known, forwards the script's output, and ends on SIGINT/SIGTERM.
// Main thread only; the services must be running.
#include "TarnwickOptions.h"

namespace vexor {

// Returns the process exit status: 0 after a signal, 1 when the script could not be started.
int RunHeadless(const TTarnwickOptions& AOptions);

}  // namespace vexor
