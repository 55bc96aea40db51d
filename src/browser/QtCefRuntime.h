#pragma once
// The Chromium runtime realised by Qt WebEngine.
// Initialize maps the runtime settings onto what Qt WebEngine reads when it starts: the switches
// go to QTWEBENGINE_CHROMIUM_FLAGS (after any the environment holds already), the helper
// sub-process to QTWEBENGINEPROCESS_PATH, resources and locales to their Qt variables; remote
// debugging is switched off; logging is off (--disable-logging); the locale becomes --lang and
// the profile's accept-language. Scheme registration makes "ctrl-data" and "img" known with path
// syntax (the URL arrives at the handler as the page wrote it). Both must happen before the
// QApplication exists (Initialize refuses afterwards).
// It also installs the Qt side of the message pump (a 5 ms QTimer) and lets Qt's event loop
// serve the main thread's cross-thread call queue.
// Threads: main thread only.
#include <QString>
#include <memory>

#include "browser/core/CefRuntime.h"

class QWebEngineProfile;

namespace vexor {

class TQtCefRuntime : public ICefRuntime {
 public:
  TQtCefRuntime();
  ~TQtCefRuntime() override;

  bool Initialize(const TCefSettings& ASettings, const TOnBeforeCommandLineProcessing& ASwitches) override;
  void RegisterSchemeHandlerFactory(const std::string& AScheme, const std::string& ADomain) override;
  void EnableHighDpiSupport() override {}  // Qt 6 is always high-DPI aware
  void DoMessageLoopWork() override {}     // Qt's event loop drives Chromium itself
  void Shutdown() override;

  const TCefSettings& Settings() const { return FSettings; }
  // The settings' cache folder and locale applied to a profile (a persistent profile keeps its
  // storage in the cache folder).
  void ConfigureProfile(QWebEngineProfile& AProfile) const;
  // The program's browser profile, "Vexor", configured as above; made on first use, after the
  // QApplication exists, and owned by the runtime.
  QWebEngineProfile* Profile();
  // Frees the profile (before the QApplication goes, after its pages); Shutdown does it too.
  void ReleaseProfile();

 private:
  class TPumpTimer;
  // Main thread only.
  TCefSettings FSettings;
  std::unique_ptr<TPumpTimer> FPumpTimer;
  QWebEngineProfile* FProfile = nullptr;
};

// The program's runtime start-up: the main-thread task queue, then the runtime (settings,
// switches, schemes). Main thread, before the QApplication exists. False when the runtime was
// not started (the IDE's executable name). AUiLanguage is the configured UI language ("" none).
bool StartBrowserRuntime(const std::string& AUiLanguage = {});
// Program end, after the last browser is gone: queued browser tasks freed unrun, then the
// runtime shut down.
void StopBrowserRuntime();
// The runtime StartBrowserRuntime started (null before and after).
TQtCefRuntime* BrowserRuntime();

}  // namespace vexor
