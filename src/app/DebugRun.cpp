#include "app/DebugRun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "app/EnvFile.h"
#include "platform/AppPaths.h"
#include "platform/CommandLine.h"
#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include "platform/SysError.h"
#include "nodejs/TypeScriptRunner.h"

namespace vexor {
namespace {

bool IsFolder(const std::string& APath) {
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string CurrentFolder() {
  char cwd[PATH_MAX];
  return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string("/");
}

// Lines that never say what went wrong: blanks, stack frames, node's version footer, the caret
// under a source line, the closing brace of an error's properties and the inspector's note that
// it waits for the front end to go.
bool TellsTheError(const std::string& ALine) {
  const size_t first = ALine.find_first_not_of(" \t\r");
  if (first == std::string::npos) return false;
  const std::string_view rest = std::string_view(ALine).substr(first);
  if (rest.rfind("at ", 0) == 0 && first > 0) return false;
  if (rest.find_first_not_of("^ \t") == std::string_view::npos) return false;
  if (rest == "}" || rest == "]") return false;
  if (ALine.rfind("Node.js v", 0) == 0) return false;
  if (ALine.rfind(TDebugRun::kWaitingForDisconnect, 0) == 0) return false;
  return true;
}

// "Error: ...", "TypeError: ...", "Error [ERR_MODULE_NOT_FOUND]: ...", "Uncaught SyntaxError ...":
// the line node's error report names the error with.
bool NamesAnError(const std::string& ALine) {
  std::string_view rest(ALine);
  // Test runners indent the report under the failing test.
  const size_t first = rest.find_first_not_of(" \t");
  if (first == std::string_view::npos) return false;
  rest.remove_prefix(first);
  if (rest.rfind("Uncaught ", 0) == 0) rest.remove_prefix(9);
  size_t i = 0;
  while (i < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[i])) || rest[i] == '_')) ++i;
  const std::string_view name = rest.substr(0, i);
  const bool errorName = name.size() >= 5 && (name.substr(name.size() - 5) == "Error" ||
                                              (name.size() >= 9 && name.substr(name.size() - 9) == "Exception"));
  if (!errorName || !std::isupper(static_cast<unsigned char>(name[0]))) return false;
  const std::string_view after = rest.substr(i);
  return after.empty() || after[0] == ':' || after.rfind(" [", 0) == 0;
}

// Forwards the script's output to the caller's sink and watches its error lines.
class TRunOutput : public TRefCntObject, public IChildProcessRequesterEvents {
 public:
  // AOneStream: output and error arrive together (a terminal, or error through the output pipe),
  // so every line may tell the error.
  TRunOutput(TRef<IChildProcessRequesterEvents> AOutput, std::shared_ptr<TRunErrorLines> AErrors, bool AOneStream,
             std::function<void()> AOnWaitingForDisconnect)
      : FOutput(std::move(AOutput)),
        FErrors(std::move(AErrors)),
        FOneStream(AOneStream),
        FOnWaiting(std::move(AOnWaitingForDisconnect)) {}

  void OnChunk(TChildStream AStream, const std::string& ABytes) override {
    if (FOutput) FOutput->OnChunk(AStream, ABytes);
  }
  void OnOutput(const std::string& ALine) override {
    if (FOneStream) TakeErrorLine(ALine);
    if (FOutput) FOutput->OnOutput(ALine);
  }
  void OnErrorOutput(const std::string& ALine) override {
    TakeErrorLine(ALine);
    if (FOutput) FOutput->OnErrorOutput(ALine);
  }
  void OnNotify(const std::string& AText) override {
    if (FOutput) FOutput->OnNotify(AText);
  }
  void OnTerminated() override {
    if (FOutput) FOutput->OnTerminated();
  }

 private:
  void TakeErrorLine(const std::string& ALine) {
    FErrors->Add(ALine);
    if (ALine.rfind(TDebugRun::kWaitingForDisconnect, 0) == 0) FOnWaiting();
  }

  const TRef<IChildProcessRequesterEvents> FOutput;
  const std::shared_ptr<TRunErrorLines> FErrors;
  const bool FOneStream;
  const std::function<void()> FOnWaiting;
};

}  // namespace

TDebugRunSettings RunSettingsFrom(const TTarnwickOptions& AOptions) {
  TDebugRunSettings settings;
  settings.Script = AOptions.Script.empty() ? std::string() : AbsolutePathFrom(AOptions.Script);
  settings.Program = AOptions.Program;
  settings.EnvFile = AOptions.EnvFile;
  settings.Node = AOptions.Node;
  settings.Port = AOptions.Port;
  settings.PortGiven = AOptions.PortGiven;
  settings.WatchdogMs = AOptions.WatchdogMs;
  settings.BreakOnLoad = AOptions.BreakOnLoad;
  ApplyScriptSettings(ScriptSettingsFrom(AOptions).value_or(TScriptSettings()), settings);
  return settings;
}

std::optional<TScriptSettings> ScriptSettingsFrom(const TTarnwickOptions& AOptions) {
  TScriptSettings settings;
  settings.Arguments = AOptions.Arguments;
  settings.NodeOptions = AOptions.NodeOptions;
  settings.Environment = AOptions.Environment;
  settings.WorkingFolder = AOptions.WorkingFolder;
  settings.Watch = AOptions.Watch;
  settings.Restart = AOptions.Restart;
  if (settings == TScriptSettings()) return std::nullopt;
  return settings;
}

void ApplyScriptSettings(const TScriptSettings& ASettings, TDebugRunSettings& ARun) {
  ARun.Arguments = ASettings.Arguments;
  ARun.NodeOptions = ASettings.NodeOptions;
  ARun.Environment = ASettings.Environment;
  ARun.WorkingFolder = ASettings.WorkingFolder;
  // An ended script waits for the next change in watch mode.
  ARun.Restart = ASettings.Restart && !ASettings.Watch;
}

std::string AbsolutePathFrom(const std::string& APath, const std::string& ABase) {
  std::string path = APath;
  if (path.empty() || path[0] != '/')
    path = IncludeTrailingPathDelimiter(ABase.empty() ? CurrentFolder() : ABase) + path;
  std::vector<std::string> parts;
  size_t pos = 1;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) {
    result += '/';
    result += part;
  }
  return result.empty() ? "/" : result;
}

std::string ProjectFolder(const std::string& AScript) {
  const std::string folder = NodeProjectFolder(AScript);
  return folder.empty() ? "/" : folder;
}

std::string RunTimeText(double ASeconds) {
  if (ASeconds < 0) ASeconds = 0;
  if (ASeconds < 10) {
    const long tenths = std::lround(ASeconds * 10);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
  }
  const long total = std::lround(ASeconds);
  if (total < 60) return std::to_string(total) + " s";
  if (total < 3600) return std::to_string(total / 60) + " min " + std::to_string(total % 60) + " s";
  return std::to_string(total / 3600) + " h " + std::to_string(total % 3600 / 60) + " min";
}

std::string DescribeRunEnd(const TRunEvent& AEvent) {
  if (AEvent.Finished) return "the script finished with exit code 0 after " + RunTimeText(AEvent.Seconds);
  return TBasicNodeJsRequester::DescribeExit(AEvent.Exit);
}

bool LoopbackPortTaken(uint16_t APort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  // No SO_REUSEADDR: a port with a listener, or one in use otherwise, does not bind.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(APort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
  ::close(fd);
  return taken;
}

uint16_t FreeInspectorPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

// ---- TRunErrorLines

void TRunErrorLines::Add(const std::string& ALine) {
  std::lock_guard<std::mutex> lock(FLock);
  if (ALine.rfind("Node.js v", 0) == 0) FCrashed = true;
  if (NamesAnError(ALine)) FErrorLine = ALine.substr(ALine.find_first_not_of(" \t"));
  if (TellsTheError(ALine)) FLastLine = ALine;
}

std::string TRunErrorLines::LastError() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FErrorLine.empty() ? FLastLine : FErrorLine;
}

bool TRunErrorLines::Crashed() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FCrashed;
}

void TRunErrorLines::Clear() {
  std::lock_guard<std::mutex> lock(FLock);
  FErrorLine.clear();
  FLastLine.clear();
  FCrashed = false;
}

// ---- TDebugRun

TDebugRun::TDebugRun(TDebugRunSettings ASettings, TRef<IChildProcessRequesterEvents> AOutput, int ARun,
                     TRunEventHandler AOnEvent)
    : FSettings(std::move(ASettings)), FRun(ARun), FOnEvent(std::move(AOnEvent)), FOutput(std::move(AOutput)) {}

TDebugRun::~TDebugRun() { FRequester.reset(); }

void TDebugRun::Report(TRunEvent AEvent) const {
  AEvent.Run = FRun;
  if (AEvent.LastError.empty()) AEvent.LastError = FErrors->LastError();
  if (FOnEvent) FOnEvent(AEvent);
}

void TDebugRun::CancelRestart() {
  if (FRequester) FRequester->SetAutoRestart(false);
}

void TDebugRun::Start() {
  const bool program = !FSettings.Program.empty();
  FWorkingFolder = !FSettings.WorkingFolder.empty() ? AbsolutePathFrom(FSettings.WorkingFolder)
                   : program                        ? CurrentFolder()
                                                    : ProjectFolder(FSettings.Script);
  if (!IsFolder(FWorkingFolder)) throw Exception("the working folder '" + FWorkingFolder + "' does not exist");

  TChildProcessStart start;
  start.WorkingDirectory = FWorkingFolder;
  if (!FSettings.EnvFile.empty()) {
    TEnvParseResult env = ReadEnvFile(AbsolutePathFrom(FSettings.EnvFile));
    if (!env.Error.empty()) throw Exception("the environment file " + env.Error);
    start.Environment = std::move(env.Entries);
  }
  start.Environment.insert(start.Environment.end(), FSettings.Environment.begin(), FSettings.Environment.end());

  FPort = FSettings.Port;
  FPortNote.clear();
  if (FPort != 0 && !program && !FSettings.PortGiven && LoopbackPortTaken(FPort)) {
    if (const uint16_t free = FreeInspectorPort(); free != 0) {
      FPortNote = "the inspector port " + std::to_string(FPort) + " is in use by another program; using port " +
                  std::to_string(free) + " instead";
      FPort = free;
    }
  }

  std::vector<std::string> arguments = FSettings.Arguments;
  if (program) {
    arguments.assign(FSettings.Program.begin() + 1, FSettings.Program.end());
    // Node options reach every node the program starts.
    if (!FSettings.NodeOptions.empty()) {
      std::string options;
      for (const std::string& option : FSettings.NodeOptions) {
        if (!options.empty()) options += ' ';
        options += QuoteArgument(option);
      }
      start.Environment.push_back("NODE_OPTIONS=" + options);
    }
  }

  auto errors = FErrors;
  errors->Clear();
  auto output = MakeRef<TRunOutput>(FOutput, errors, FSettings.Terminal.has_value() || FSettings.ErrorsWithOutput, [this, errors] {
    TRunEvent event;
    event.Kind = rekWaitingForDisconnect;
    event.Finished = !errors->Crashed();
    Report(event);
  });
  FRequester = TCustomAsyncRequester::New<TBasicNodeJsRequester>(TRef<IChildProcessRequesterEvents>(output),
                                                                 program ? std::string() : FSettings.Script, FPort,
                                                                 FSettings.WatchdogMs,
                                                                 program ? FSettings.Program.front() : FSettings.Node);
  TBasicNodeJsRequester* requester = FRequester.get();
  requester->SetStopOnStart(FSettings.BreakOnLoad);
  requester->SetStartOptions(std::move(start));
  requester->SetScriptArguments(std::move(arguments));
  if (!program) requester->SetNodeOptions(FSettings.NodeOptions);
  requester->SetInspectThroughEnvironment(program);
  requester->SetAutoRestart(FSettings.Restart);
  if (FSettings.Terminal)
    requester->SetTerminal(*FSettings.Terminal);
  else
    requester->SetErrorsWithOutput(FSettings.ErrorsWithOutput);
  requester->SetOnDebugger([this](TBasicNodeJsRequester* ASender) {
    TRunEvent event;
    event.Kind = rekDebugger;
    event.Url = ASender->DebuggerUrl();
    Report(event);
  });
  requester->SetOnStartFailed([this](const std::string& AProgram, const std::string& AReason) {
    TRunEvent event;
    event.Kind = rekStartFailed;
    event.Program = AProgram;
    event.Reason = AReason;
    Report(event);
  });
  requester->SetOnChildExit([this, requester, errors](const TChildExit& AExit) {
    TRunEvent event;
    event.Kind = rekEnded;
    event.Exit = AExit;
    // The start time belongs to the worker; a watchdog end is reported on the timer's thread.
    if (AExit.Reason != cerWatchdog) event.Seconds = (Now() - requester->LastStartTime()) * 86400.0;
    // A natural end with exit code 0: finished, not a failure, and not run again.
    if (AExit.Reason == cerExited && AExit.ExitCode == 0) {
      requester->SetAutoRestart(false);
      event.Exit.RestartInSeconds = -1;
      event.Finished = true;
    }
    Report(event);
  });
  requester->SetOnInspectorFailed([this](int32_t APort, const std::string&) {
    TRunEvent event;
    event.Kind = rekInspectorFailed;
    event.Port = APort;
    Report(event);
  });
  // The requester has said it on standard error already.
  requester->SetOnFrontEndRefused([this](const std::string& AText) {
    TRunEvent event;
    event.Kind = rekFrontEndRefused;
    event.Reason = AText;
    Report(event);
  });
  requester->Run();
}

}  // namespace vexor
