#include "browser/core/CefRuntimeStartup.h"

#include <atomic>
#include <cctype>
#include <mutex>

#include "platform/AppPaths.h"
#include "browser/core/ExCefClientHandler.h"
#include "platform/Registry.h"

namespace vexor {
namespace {

// Written by Start and Shutdown on the main thread; FLock lets other threads read the texts.
struct TRuntimeState {
  std::mutex Lock;
  std::string RuntimeLocale;       // guarded by Lock
  std::string CefParameters;       // guarded by Lock
  ICefRuntime* Runtime = nullptr;  // main thread only
  std::atomic<bool> Initialized{false};
};

TRuntimeState& State() {
  static TRuntimeState* state = new TRuntimeState;  // read by threads that may outlive statics
  return *state;
}

bool SameTextIgnoringCase(const std::string& A, const char* B) {
  size_t i = 0;
  for (; i < A.size() && B[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(A[i])) != std::tolower(static_cast<unsigned char>(B[i]))) return false;
  return i == A.size() && !B[i];
}

}  // namespace

std::vector<std::string> TCefCommandLine::AsArguments() const {
  std::vector<std::string> args;
  args.reserve(FSwitches.size());
  for (const TCefSwitch& s : FSwitches) args.push_back("--" + s.Name + (s.HasValue ? "=" + s.Value : ""));
  return args;
}

TCefStartupEnvironment TCefStartupEnvironment::Current(const std::string& AUiLanguage) {
  TCefStartupEnvironment env;
  env.ExeDir = ProgramFolder();
  env.ExeName = ProgramFileName();
  env.LocalAppData = XdgCacheHome();
  // "~/.cache" without a home folder is no folder at all.
  if (!env.LocalAppData.empty() && env.LocalAppData[0] != '/') env.LocalAppData.clear();
  env.UiLanguage = AUiLanguage;
  return env;
}

std::string TCefRuntimeStartup::BrowserCacheDir(const TCefStartupEnvironment& AEnv) {
  if (AEnv.LocalAppData.empty() || !ForceDirectories(AEnv.LocalAppData)) return AEnv.ExeDir;
  return IncludeTrailingPathDelimiter(AEnv.LocalAppData) + "Vexor/Cef/Data/";
}

TCefSettings TCefRuntimeStartup::BuildSettings(const TCefStartupEnvironment& AEnv) {
  TCefSettings settings;
  const std::string cefDir = AEnv.ExeDir + "CEF";
  std::string helper;
  if (FileExists(cefDir + "/" + kRuntimeLibrary)) {
    settings.locales_dir_path = cefDir + "/locales";
    settings.resources_dir_path = cefDir;
    helper = cefDir + "/" + kHelperName;
  } else {
    helper = AEnv.ExeDir + kHelperName;
  }
  if (FileExists(helper)) settings.browser_subprocess_path = helper;
  settings.single_process = false;
  settings.remote_debugging_port = 0;
  settings.no_sandbox = true;
  settings.cache_path = BrowserCacheDir(AEnv);
  settings.locale = AEnv.UiLanguage;
  settings.log_severity = LOGSEVERITY_DISABLE;
  return settings;
}

std::string TCefRuntimeStartup::ReadCefParameters() {
  for (TRegistryHive hive : {TRegistryHive::rhLocalMachine, TRegistryHive::rhCurrentUser}) {
    TRegistry reg(hive);
    if (!reg.OpenKeyReadOnly(kRegistryKey)) continue;
    std::optional<std::string> text = reg.ReadString(kRegistryValue);
    if (text && !text->empty()) return *text;
  }
  return {};
}

void TCefRuntimeStartup::AppendCefParameters(const std::string& AText, TCefCommandLine& ACommandLine) {
  size_t start = 0;
  while (start <= AText.size()) {
    size_t end = AText.find(';', start);
    if (end == std::string::npos) end = AText.size();
    std::string item = AText.substr(start, end - start);
    start = end + 1;
    size_t eq = item.find('=');
    std::string name = item.substr(0, eq);
    // An empty item names no switch, and nobody may open the embedded browser to remote
    // debugging from outside the program.
    if (name.empty() || name.rfind("remote-debugging", 0) == 0) continue;
    if (eq == std::string::npos) {
      ACommandLine.AppendSwitch(name);
    } else {
      size_t second = item.find('=', eq + 1);
      ACommandLine.AppendSwitchWithValue(name, item.substr(eq + 1, second == std::string::npos ? std::string::npos
                                                                                               : second - eq - 1));
    }
  }
}

void TCefRuntimeStartup::OnBeforeCommandLineProcessing(TCefCommandLine& ACommandLine,
                                                       const std::string& ACefParameters) {
  ACommandLine.AppendSwitch("enable-experimental-web-platform-features");
  ACommandLine.AppendSwitch("disable-pinch");
  ACommandLine.AppendSwitch("enable-overlay-scrollbar");
  ACommandLine.AppendSwitchWithValue("ipc-connection-timeout", "60");
  ACommandLine.AppendSwitchWithValue("disable-spell-checking", "1");
  ACommandLine.AppendSwitchWithValue("device-scale-factor", "1");
  ACommandLine.AppendSwitchWithValue("enable-aggressive-domstorage-flushing", "1");
  AppendCefParameters(ACefParameters, ACommandLine);
}

bool TCefRuntimeStartup::IsIdeExecutable(const std::string& AExeName) {
  return SameTextIgnoringCase(AExeName, "bds") || SameTextIgnoringCase(AExeName, "bds.exe");
}

bool TCefRuntimeStartup::Start(ICefRuntime& ARuntime, const TCefStartupEnvironment& AEnv) {
  TRuntimeState& state = State();
  if (state.Initialized) return true;
  TCefSettings settings = BuildSettings(AEnv);
  {
    std::lock_guard<std::mutex> lock(state.Lock);
    state.RuntimeLocale = AEnv.UiLanguage;
    state.CefParameters = ReadCefParameters();
  }
  if (IsIdeExecutable(AEnv.ExeName)) return false;
  auto switches = [&state](TCefCommandLine& ACommandLine) {
    std::string params;
    {
      std::lock_guard<std::mutex> lock(state.Lock);
      params = state.CefParameters;
    }
    OnBeforeCommandLineProcessing(ACommandLine, params);
  };
  if (!ARuntime.Initialize(settings, switches)) return false;
  state.Runtime = &ARuntime;
  state.Initialized = true;
  ARuntime.RegisterSchemeHandlerFactory("ctrl-data", "");
  ARuntime.RegisterSchemeHandlerFactory("img", "");
  ARuntime.EnableHighDpiSupport();
  TExCefClientHandler::SetMessageLoopWork([&ARuntime] { ARuntime.DoMessageLoopWork(); });
  return true;
}

void TCefRuntimeStartup::Shutdown() {
  TRuntimeState& state = State();
  if (!state.Initialized) return;
  TExCefClientHandler::SetMessageLoopWork(nullptr);
  state.Runtime->Shutdown();
  state.Runtime = nullptr;
  state.Initialized = false;
}

bool TCefRuntimeStartup::Initialized() { return State().Initialized; }

std::string TCefRuntimeStartup::RuntimeLocale() {
  std::lock_guard<std::mutex> lock(State().Lock);
  return State().RuntimeLocale;
}

bool TCefRuntimeStartup::IsLegacyWindows() { return false; }

}  // namespace vexor
