#pragma once
// Start-up and shut-down of the embedded Chromium runtime, once per process, on the main thread
// before any window (and before the application object) exists; shut-down at program end after
// the last browser is gone.
// Start-up decides where the runtime's files and its helper sub-process are, fills the settings,
// gives Chromium its switches (seven built in, then the "CefParameters" items an installation
// keeps in the registry store), makes the "ctrl-data" and "img" schemes known, and publishes the
// runtime locale code and the legacy flag that the browser control reads.
// The published values are written once during Start (main thread, before other threads use
// them) and may be read from any thread afterwards.
#include <string>

#include "browser/core/CefRuntime.h"

namespace vexor {

// What start-up looks at; Current() reads the running program and the environment.
struct TCefStartupEnvironment {
  std::string ExeDir;        // with a trailing '/'
  std::string ExeName;       // the executable's file name
  std::string LocalAppData;  // the local application-data folder; empty when it cannot be had
  std::string UiLanguage;    // the configured UI language code; empty for none

  static TCefStartupEnvironment Current(const std::string& AUiLanguage = {});
};

class TCefRuntimeStartup {
 public:
  TCefRuntimeStartup() = delete;

  // The runtime's shared library as the preferred layout ships it in <exe dir>/CEF, and the
  // helper sub-process's name.
  static constexpr const char* kRuntimeLibrary = "libQt6WebEngineCore.so.6";
  static constexpr const char* kHelperName = "VexorCEFHelper";
  static constexpr const char* kRegistryKey = "SOFTWARE\\Vexor";
  static constexpr const char* kRegistryValue = "CefParameters";

  // The settings for AEnv (start-up steps 1 to 8).
  static TCefSettings BuildSettings(const TCefStartupEnvironment& AEnv);
  // <local app data>/Vexor/Cef/Data/ (the local app-data folder created if missing), or the
  // executable's folder when there is no such folder.
  static std::string BrowserCacheDir(const TCefStartupEnvironment& AEnv);
  // "CefParameters" from the machine hive, or from the user hive when the machine gives no text.
  static std::string ReadCefParameters();
  // Appends the items of a "CefParameters" text: "a;b=1;c=2=3" gives a, b=1, c=2. Empty items
  // are skipped; items SwitchRefusal refuses are skipped and said on the debug output.
  static void AppendCefParameters(const std::string& AText, TCefCommandLine& ACommandLine);
  // Why switch AName (without "--") with AValue may not reach Chromium, "" when it may: a name
  // of other than lower-case letters, digits, '-' and '_', a value with a blank or control
  // character, remote debugging, or a switch that makes the browser start another program.
  static std::string SwitchRefusal(const std::string& AName, const std::string& AValue);
  // The switches of an inherited QTWEBENGINE_CHROMIUM_FLAGS text that SwitchRefusal accepts; every
  // other item is dropped and said on the debug output.
  static std::vector<std::string> SafeEnvironmentFlags(const std::string& AFlags);
  // The switch procedure: the seven built-in switches, then the "CefParameters" items.
  static void OnBeforeCommandLineProcessing(TCefCommandLine& ACommandLine, const std::string& ACefParameters);
  // True for the IDE's own executable name, "bds" (or "bds.exe"), in any letter case.
  static bool IsIdeExecutable(const std::string& AExeName);

  // Runs the whole start-up against ARuntime (not owned; kept until Shutdown). False when nothing
  // was started (the IDE's executable) or this process was the runtime's sub-process. Errors of
  // the runtime's loading are raised.
  static bool Start(ICefRuntime& ARuntime, const TCefStartupEnvironment& AEnv);
  // Shuts the runtime down if Start initialised it; the published values stay.
  static void Shutdown();
  static bool Initialized();

  // The published values.
  static std::string RuntimeLocale();
  static bool IsLegacyWindows();
};

}  // namespace vexor
