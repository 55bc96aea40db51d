#pragma once
// The debugger window's run: creates the application, shows TMainForm and runs the event loop
// until the window closes. SIGINT and SIGTERM close the window (which ends the script), so the
// program ends as after a close: no node and no browser process is left.
// Main thread only; the services and the browser's services must be running (started before any
// QApplication exists); the browser's profile is released before the application goes.
#include "app/TarnwickOptions.h"

namespace vexor {

// Returns the process exit status (0).
int RunWindow(const TTarnwickOptions& AOptions, int& argc, char** argv);

}  // namespace vexor
