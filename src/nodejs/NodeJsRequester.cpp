#include "nodejs/NodeJsRequester.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

#include "platform/CommandLine.h"
#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "platform/StrFormat.h"
#include "concurrency/DataSynchronizer.h"
#include "http/HttpClient.h"
#include "diagnostics/MessageLog.h"
#include "packets/Packets.h"
#include "nodejs/TypeScriptRunner.h"

namespace vexor {

// ---- TDebuggerClient ----

TDebuggerClient::TDebuggerClient(int32_t APort) : FPort(APort) { IdHTTP().SetReadTimeout(kReadTimeoutMs); }

IPacketPtr TDebuggerClient::GetSettings() {
  TJSONClientResponse response;
  HttpGet(std::string("http://") + kHost + ":" + std::to_string(FPort) + "/json", response);
  return response.Status == 200 ? response.Data : nullptr;
}

// ---- TBasicNodeJsRequester ----

TBasicNodeJsRequester::TBasicNodeJsRequester(TRef<IChildProcessRequesterEvents> AEvents, const std::string& AScript,
                                             uint16_t DebugPort, int32_t AWatchDogTime, const std::string& ANodeJs)
    : TChildProcessRequester(std::move(AEvents), ANodeJs, AScript),
      FWatchdogInterval(AWatchDogTime),
      FScript(QuoteScript(AScript)),
      FDebug(DebugPort),
      FBannerFilter([](std::string_view ALine) { return IsInspectorBanner(ALine); },
                    [](std::string_view AStart) { return MayBeInspectorBanner(AStart); }, kPartialLineMs) {
  if (FDebug != 0) {
    FClient = std::make_unique<TDebuggerClient>(FDebug);
    FTimer = NewTimer("Debugger Checker Thread");
  }
}

TBasicNodeJsRequester::~TBasicNodeJsRequester() = default;

std::string TBasicNodeJsRequester::QuoteScript(const std::string& AScript) {
  // Quoted so that node receives exactly this path as one argument, quotes and all; a path
  // already in quotes is a path whose name holds quotes.
  return AScript.empty() ? AScript : QuoteArgument(AScript);
}

void TBasicNodeJsRequester::AfterConstruction() {
  TChildProcessRequester::AfterConstruction();
  // The events start once the object is whole: their callbacks use its virtual operations.
  if (FTimer) {
    TRef<ITxTimerEvent> check = FTimer->AddEvent(
        kDebuggerCheckInterval, "Debugger Checker Event",
        [this](ITxTimerEvent* ASender) { OnCheckDebuggerSettings(ASender); }, false);
    {
      std::lock_guard<std::mutex> lock(FDiscoveryLock);
      FClientTimer = check;
    }
    check->Activate();
  }
  if (FWatchdogInterval > 0) {
    if (TRef<ITxTimer> appTimer = AppTimer()) {
      TRef<ITxTimerEvent> watchdog = appTimer->AddEvent(
          FWatchdogInterval, "Process Watchdog", [this](ITxTimerEvent* ASender) { OnWatchdog(ASender); }, false);
      {
        std::lock_guard<std::mutex> lock(FWatchdogLock);
        FWatchdog = watchdog;
      }
      watchdog->Activate();
    }
  }
}

void TBasicNodeJsRequester::BeforeDestruction() {
  // Discovery first: its callback reaches the worker and the main thread, both still alive here.
  TRef<ITxTimerEvent> check;
  TRef<IBasicTxTimer> timer;
  {
    std::lock_guard<std::mutex> lock(FDiscoveryLock);
    check = std::move(FClientTimer);
    timer = std::move(FTimer);
    FClientTimer = nullptr;
    FTimer = nullptr;
  }
  if (check) check->Delete();
  timer = nullptr;
  FClient.reset();
  TChildProcessRequester::BeforeDestruction();  // Finalize (also drops the watchdog), then the worker
  DeleteWatchdog();
}

std::string TBasicNodeJsRequester::GetParams() {
  {
    std::lock_guard<std::mutex> lock(FUrlLock);
    FDebuggerUrl.clear();  // the owner is told again after every start
    FTargetId.clear();
    FTargetPort = 0;
    FInspectorFailed = false;
  }
  std::string params;
  auto add = [&](const std::string& AArgument) {
    if (!params.empty()) params += ' ';
    params += QuoteArgument(AArgument);
  };
  // A TypeScript script runs through its project's runner, or node's own type stripping.
  if (TTypeScriptRunner::IsTypeScript(FScript)) {
    std::string project = GetStartOptions().WorkingDirectory;
    std::error_code ec;
    if (project.empty()) project = std::filesystem::current_path(ec).string();
    const TTypeScriptRunner r = TTypeScriptRunner::Choose(FScript, project, TNodeVersion::Query(Process()));
    if (r.Kind == TTypeScriptRunnerKind::tsrMissing) throw Exception(r.Message);
    for (const std::string& arg : r.NodeArgs) add(arg);
  }
  if (FDebug != 0 && !FInspectThroughEnvironment) params += (params.empty() ? "" : " ") + InspectSwitch(StopOnStart(), FDebug);
  for (const std::string& option : FNodeOptions) add(option);
  // The script keeps its quoting (program, switch, quoted script).
  if (!FScript.empty()) params += (params.empty() || params.back() == ' ' ? "" : " ") + FScript;
  for (const std::string& argument : FScriptArguments) add(argument);
  return params;
}

std::string TBasicNodeJsRequester::InspectSwitch(bool AStopOnStart, int32_t APort) {
  return AStopOnStart ? Format("--inspect-brk=127.0.0.1:%d", APort) : Format("--inspect=127.0.0.1:%d", APort);
}

TChildProcessStart TBasicNodeJsRequester::GetStartOptions() {
  TChildProcessStart start = TChildProcessRequester::GetStartOptions();
  if (FDebug == 0 || !FInspectThroughEnvironment) return start;
  // Port 0: each node the program starts listens on a free port of its own and announces it, so
  // that a parent node (npm itself) and its children do not fight over one port.
  std::string options;
  const char* inherited = std::getenv("NODE_OPTIONS");
  if (inherited) options = inherited;
  for (auto it = start.Environment.begin(); it != start.Environment.end();) {
    if (it->rfind("NODE_OPTIONS=", 0) == 0) {
      options = it->substr(13);
      it = start.Environment.erase(it);
    } else {
      ++it;
    }
  }
  if (!options.empty()) options += ' ';
  start.Environment.push_back("NODE_OPTIONS=" + options + InspectSwitch(StopOnStart(), 0));
  return start;
}

namespace {

// How the banner's lines start.
constexpr std::string_view kBannerStarts[] = {"Warning: This is an experimental", "Debugger ",
                                              "For help see https://nodejs.org/en/docs/inspector",
                                              // Node 8 and later print the help line with a comma and a colon.
                                              "For help, see: https://nodejs.org/en/docs/inspector",
                                              "To start debuggin"};

}  // namespace

bool TBasicNodeJsRequester::IsInspectorBanner(std::string_view ALine) {
  for (std::string_view start : kBannerStarts)
    if (ALine.substr(0, start.size()) == start) return true;
  return ALine.find("chrome-devtools://") != std::string_view::npos;
}

bool TBasicNodeJsRequester::MayBeInspectorBanner(std::string_view AStart) {
  for (std::string_view start : kBannerStarts) {
    const size_t common = std::min(start.size(), AStart.size());
    if (AStart.substr(0, common) == start.substr(0, common)) return true;
  }
  return false;
}

std::string TBasicNodeJsRequester::AnnouncedTargetId(const std::string& ALine) {
  static constexpr std::string_view kListening = "Debugger listening on ws://";
  if (ALine.rfind(kListening, 0) != 0) return std::string();
  const size_t slash = ALine.find('/', kListening.size());
  if (slash == std::string::npos) return std::string();
  std::string id = ALine.substr(slash + 1);
  while (!id.empty() && (id.back() == '\r' || id.back() == ' ')) id.pop_back();
  return id;
}

int32_t TBasicNodeJsRequester::AnnouncedPort(const std::string& ALine) {
  static constexpr std::string_view kListening = "Debugger listening on ws://";
  if (ALine.rfind(kListening, 0) != 0) return 0;
  const size_t slash = ALine.find('/', kListening.size());
  const size_t colon = ALine.rfind(':', slash);
  if (slash == std::string::npos || colon == std::string::npos || colon < kListening.size()) return 0;
  int32_t port = 0;
  for (size_t i = colon + 1; i < slash; ++i) {
    if (ALine[i] < '0' || ALine[i] > '9') return 0;
    port = port * 10 + (ALine[i] - '0');
    if (port > 65535) return 0;
  }
  return port;
}

bool TBasicNodeJsRequester::IsInspectorFailure(const std::string& ALine) {
  return ALine.rfind("Starting inspector on ", 0) == 0 && ALine.find(" failed") != std::string::npos;
}

std::string TBasicNodeJsRequester::DescribeExit(const TChildExit& AExit) {
  std::string text;
  switch (AExit.Reason) {
    case cerWatchdog: text = "the script was ended by the watchdog (silent too long on standard output)"; break;
    case cerTerminated: text = "the script was ended"; break;
    case cerExited: text = "the script ended"; break;
  }
  text += " with exit code " + std::to_string(AExit.ExitCode) + "; ";
  if (AExit.RestartInSeconds < 0)
    text += "it is not started again";
  else if (AExit.RestartInSeconds == 0)
    text += "it starts again now";
  else
    text += "it starts again in " + std::to_string(AExit.RestartInSeconds) + " s";
  return text;
}

bool TBasicNodeJsRequester::ProcessListensOn(pid_t APid, int32_t APort) {
  if (APid <= 0) return false;
  // Inodes of the sockets listening on the port (state 0A), IPv4 and IPv6.
  std::set<std::string> inodes;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
        continue;
      const size_t colon = local.rfind(':');
      if (state != "0A" || colon == std::string::npos) continue;
      if (std::strtol(local.c_str() + colon + 1, nullptr, 16) == APort) inodes.insert(inode);
    }
  }
  if (inodes.empty()) return false;
  const std::string fds = "/proc/" + std::to_string(APid) + "/fd";
  DIR* dir = ::opendir(fds.c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* entry = ::readdir(dir)) {
    char target[128];
    const std::string link = fds + "/" + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string_view text(target, static_cast<size_t>(n));
    if (text.rfind("socket:[", 0) == 0 && inodes.count(std::string(text.substr(8, text.size() - 9)))) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

void TBasicNodeJsRequester::SetOnInspectorFailed(TInspectorFailedEvent AValue) {
  FOnInspectorFailed = std::move(AValue);
}

void TBasicNodeJsRequester::NoteBannerLine(const std::string& ALine) {
  std::string id = AnnouncedTargetId(ALine);
  if (id.empty()) return;
  {
    std::lock_guard<std::mutex> lock(FUrlLock);
    FTargetId = id;
    FTargetPort = AnnouncedPort(ALine);
  }
  CheckDebuggerNow();
}

bool TBasicNodeJsRequester::TakeInspectorLine(const std::string& ALine) {
  if (IsInspectorBanner(ALine)) {
    NoteBannerLine(ALine);
    return true;
  }
  if (FDebug != 0 && !FInspectThroughEnvironment && IsInspectorFailure(ALine)) {
    {
      std::lock_guard<std::mutex> lock(FUrlLock);
      FInspectorFailed = true;
    }
    if (FOnInspectorFailed) FOnInspectorFailed(FDebug, ALine);
  }
  return false;
}

void TBasicNodeJsRequester::DoErrorOutput(const std::string& ALine) {
  if (!TakeInspectorLine(ALine)) TChildProcessRequester::DoErrorOutput(ALine);
}

void TBasicNodeJsRequester::DoOutput(const std::string& ALine) {
  // A terminal (or one pipe for both) carries standard error too, the inspector's lines with it.
  if (ErrorsOnOutput() && TakeInspectorLine(ALine)) return;
  TChildProcessRequester::DoOutput(ALine);
}

void TBasicNodeJsRequester::DoChunk(TChildStream AStream, const std::string& ABytes) {
  const bool banner = AStream == csError || ErrorsOnOutput();
  if (!banner) {
    TChildProcessRequester::DoChunk(AStream, ABytes);
    return;
  }
  FBannerFilter.SetDropAtChunkStart(ErrorsOnOutput());
  const std::string passed = FBannerFilter.Take(ABytes);
  if (!passed.empty()) TChildProcessRequester::DoChunk(AStream, passed);
}

void TBasicNodeJsRequester::DoChunksRead(bool AEnded) {
  const std::string held = FBannerFilter.Flush(AEnded);
  if (!held.empty()) TChildProcessRequester::DoChunk(ErrorsOnOutput() ? csOutput : csError, held);
  TChildProcessRequester::DoChunksRead(AEnded);
}

void TBasicNodeJsRequester::CheckDebuggerNow() {
  TRef<ITxTimerEvent> check;
  TRef<IBasicTxTimer> timer;
  {
    std::lock_guard<std::mutex> lock(FDiscoveryLock);
    check = FClientTimer;
    timer = FTimer;
  }
  if (!check || !timer) return;
  // The inspector has just announced itself: the discovery event is made due now, and an empty
  // one-shot wakes the timer thread so that it does not sleep out the rest of its 250 ms pause.
  check->Restart();
  timer->PostEvent(TTimerProc([] {}), 0, false);
}

bool TBasicNodeJsRequester::IsActive() {
  bool active = false;
  TDataSynchronizerTask::RunAndWait(Synchronizer(), [this, &active] { active = IsChildProcesssActive(); });
  return active;
}

void TBasicNodeJsRequester::Close() { TerminateChild(); }

void TBasicNodeJsRequester::SendRequest(const IPacketPtr& ARequest) {
  IPacketPtr request = ARequest;
  Synchronizer()->Synchronize([this, request] {
    Variant id;
    DoSendRequest(request, id);  // the id is dropped: no reply is awaited
  });
}

std::string TBasicNodeJsRequester::DebuggerUrl() const {
  std::lock_guard<std::mutex> lock(FUrlLock);
  return FDebuggerUrl;
}

void TBasicNodeJsRequester::SetOnDebugger(TNotifyEvent AValue) { FOnDebugger = std::move(AValue); }

void TBasicNodeJsRequester::OnCheckDebuggerSettings(ITxTimerEvent*) {
  try {
    bool noUrl;
    std::string ownId;
    int32_t port;
    {
      std::lock_guard<std::mutex> lock(FUrlLock);
      noUrl = FDebuggerUrl.empty();
      ownId = FTargetId;
      port = FTargetPort != 0 ? FTargetPort : FDebug;
      // Whatever listens on the port now is not our child's inspector.
      if (FInspectorFailed) return;
    }
    // Unannounced, the port's targets are ours only while our child holds the listening socket.
    if (ownId.empty() && !ProcessListensOn(ChildProcessId(), FDebug)) return;
    if (!noUrl && !IsActive()) return;  // delivered, and the child has ended: wait for a restart
    if (!FClient) return;
    if (FClient->Port() != port) FClient = std::make_unique<TDebuggerClient>(port);
    IPacketPtr targets = FClient->GetSettings();
    if (!targets) return;
    IPacketPtr target;
    if (!ownId.empty()) {
      // Our child announced its target: only that one is ours, however many are listed.
      for (int32_t i = 0; i < targets->GetCount() && !target; ++i) {
        IPacketPtr candidate = VarToPacket(targets->GetVar(i));
        if (!candidate) continue;
        Variant id = candidate->GetProperties()->GetPropValue("id");
        if (!id.IsEmptyOrNull() && id.AsString() == ownId) target = candidate;
      }
    } else if (targets->GetCount() == 1) {
      target = VarToPacket(targets->GetVar(0));
    }
    if (!target) return;
    Variant value = target->GetProperties()->GetPropValue("devtoolsFrontendUrl");
    std::string url = value.IsEmptyOrNull() ? std::string() : value.AsString();
    if (url.empty()) return;
    SynchronizeMain([this, &url] {
      if (!FOnDebugger) return;
      {
        std::lock_guard<std::mutex> lock(FUrlLock);
        if (FDebuggerUrl == url) return;
        FDebuggerUrl = url;
      }
      FOnDebugger(this);
    });
  } catch (const Exception&) {
    // A malformed target list: the next tick asks again.
  }
}

void TBasicNodeJsRequester::OnWatchdog(ITxTimerEvent*) {
  TDateTime last = LastMessageTime();
  if (last == 0) return;
  double silentMs = std::floor((Now() - last) * 86400000.0);
  if (silentMs >= FWatchdogInterval) TerminateByWatchdog();
}

void TBasicNodeJsRequester::TerminateByWatchdog() {
  LogMessage(tmsError, kLogSource, "Process terminated by watchdog");
  SetEndReason(cerWatchdog);
  Finalize();
  // The worker may have seen the end first; it then reported it, as a watchdog end.
  if (!ClaimExitReport()) return;
  TChildExit exit;
  exit.ExitCode = TChildProcessController::FORCED_EXIT_CODE;
  exit.Reason = cerWatchdog;
  exit.RestartInSeconds = -1;  // Finalize leaves nothing to restart
  DoChildExit(exit);
}

void TBasicNodeJsRequester::Finalize() {
  TChildProcessRequester::Finalize();
  DeleteWatchdog();
}

void TBasicNodeJsRequester::DeleteWatchdog() {
  TRef<ITxTimerEvent> watchdog;
  {
    std::lock_guard<std::mutex> lock(FWatchdogLock);
    watchdog = std::move(FWatchdog);
    FWatchdog = nullptr;
  }
  if (watchdog) watchdog->Delete();
}

}  // namespace vexor
