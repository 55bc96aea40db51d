#pragma once
// The headless debug run: starts the script (or the user's program) under the inspector through
// the one TDebugRun, prints "DevTools: <address>" each time the address becomes known, forwards
// the script's output (and our standard input to the script, ending its input when ours ends),
// says on standard error how each run of the script ended and what comes next, restarts it on a
// change of a project file with --watch, and ends on SIGINT/SIGTERM, on a failed start, when the
// inspector port is taken by another program, when the script finished (not with --watch), or
// when it failed and is not started again (--no-restart).
// Main thread only; the services must be running.
#include "app/TarnwickOptions.h"

namespace vexor {

// Returns the process exit status: 0 after a signal or when the script finished with exit code 0
// (not in watch mode), the script's exit status when it failed and is not started again
// (--no-restart), 1 when the script could not be started or debugged.
int RunHeadless(const TTarnwickOptions& AOptions);

}  // namespace vexor
