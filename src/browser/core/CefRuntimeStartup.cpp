#include "browser/core/CefRuntimeStartup.h"

#include <atomic>
#include <cctype>
#include <mutex>

#include "platform/AppPaths.h"
#include "browser/core/ExCefClientHandler.h"
#include "platform/Registry.h"
#include "platform/DebugOutput.h"

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
    if (name.empty()) continue;  // an empty item names no switch
    std::string value;
    if (eq != std::string::npos) {
      size_t second = item.find('=', eq + 1);
      value = item.substr(eq + 1, second == std::string::npos ? std::string::npos : second - eq - 1);
    }
    const std::string refusal = SwitchRefusal(name, value);
    if (!refusal.empty()) {
      OutputDebugString(std::string(kRegistryValue) + ": the item \"" + item + "\" is refused: " + refusal);
      continue;
    }
    if (eq == std::string::npos)
      ACommandLine.AppendSwitch(name);
    else
      ACommandLine.AppendSwitchWithValue(name, value);
  }
}

std::string TCefRuntimeStartup::SwitchRefusal(const std::string& AName, const std::string& AValue) {
  if (AName.empty() || !std::isalnum(static_cast<unsigned char>(AName[0]))) return "not a plain switch name";
  for (char c : AName)
    if (!std::islower(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)) && c != '-' &&
        c != '_')
      return "not a plain switch name";
  // The switches are handed to Chromium joined by blanks: a blank would start another switch.
  for (char c : AValue)
    if (std::isspace(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) < 0x20)
      return "the value holds a blank";
  // Nobody may open the embedded browser to remote debugging, or have it start another program.
  auto endsWith = [&](const char* ASuffix) {
    const std::string suffix(ASuffix);
    return AName.size() >= suffix.size() && AName.compare(AName.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (AName.rfind("remote-debugging", 0) == 0 || AName == "remote-allow-origins")
    return "remote debugging of the embedded browser is never allowed";
  if (endsWith("cmd-prefix") || endsWith("launcher") || endsWith("subprocess-path"))
    return "it would make the browser start another program";
  return std::string();
}

std::vector<std::string> TCefRuntimeStartup::SafeEnvironmentFlags(const std::string& AFlags) {
  std::vector<std::string> kept;
  size_t start = 0;
  while (start < AFlags.size()) {
    if (std::isspace(static_cast<unsigned char>(AFlags[start]))) {
      ++start;
      continue;
    }
    size_t end = start;
    while (end < AFlags.size() && !std::isspace(static_cast<unsigned char>(AFlags[end]))) ++end;
    const std::string flag = AFlags.substr(start, end - start);
    start = end;
    std::string refusal = "not a switch";
    if (flag.size() > 2 && flag.compare(0, 2, "--") == 0) {
      const size_t eq = flag.find('=');
      refusal = SwitchRefusal(flag.substr(2, eq == std::string::npos ? std::string::npos : eq - 2),
                              eq == std::string::npos ? std::string() : flag.substr(eq + 1));
    }
    if (refusal.empty())
      kept.push_back(flag);
    else
      OutputDebugString("QTWEBENGINE_CHROMIUM_FLAGS: \"" + flag + "\" is refused: " + refusal);
  }
  return kept;
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
