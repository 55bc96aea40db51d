#pragma once
// The embedded browser's start-up, for the window: after StartTarnwickServices (the browser is the
// last service before the window) and before the QApplication exists; false when the browser
// runtime was not started. Stopped first after the window and its browsers are gone, before
// StopTarnwickServices.
// Main thread only.
#include <string>

namespace vexor {

bool StartBrowserServices(const std::string& AUiLanguage = {});
void StopBrowserServices();

}  // namespace vexor
