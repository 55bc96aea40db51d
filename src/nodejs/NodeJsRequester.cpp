#include "nodejs/NodeJsRequester.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string_view>

#include "platform/CommandLine.h"
#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "platform/StrFormat.h"
#include "platform/TextUtf.h"
#include "platform/ProcFiles.h"
#include "concurrency/DataSynchronizer.h"
#include "http/HttpClient.h"
#include "diagnostics/MessageLog.h"
#include "packets/Packets.h"
#include "nodejs/TypeScriptRunner.h"

namespace vexor {

// ---- TDebuggerClient ----

TDebuggerClient::TDebuggerClient(int32_t APort) : FPort(APort) {
  IdHTTP().SetReadTimeout(kReadTimeoutMs);
  IdHTTP().SetTotalTimeout(kTotalTimeoutMs);
  IdHTTP().SetMaxBodySize(kMaxBodyBytes);
}

void TDebuggerClient::Cancel() { IdHTTP().Cancel(); }

IPacketPtr TDebuggerClient::GetSettings() {
  TJSONClientResponse response;
  HttpGet(std::string("http://") + kHost + ":" + std::to_string(FPort) + "/json", response);
  return response.Status == 200 ? response.Data : nullptr;
}

// ---- TBasicNodeJsRequester ----

TBasicNodeJsRequester::TBasicNodeJsRequester(TRef<IChildProcessRequesterEvents> AEvents, const std::string& AScript,
                                             uint16_t DebugPort, int32_t AWatchDogTime, const std::string& ANodeJs)
    // The program is one path, blanks and all: quoted, it can neither split nor add arguments.
    : TChildProcessRequester(std::move(AEvents), QuoteScript(ANodeJs), AScript),
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
  // A poll in progress may be waiting on a stalled inspector: it ends at once, so the event's
  // deletion (which waits for the callback) does not wait for it.
  if (FClient) FClient->Cancel();
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
    FRefusal.clear();
    FInspectorFailed = false;
  }
  if (FDebug != 0 && InspectorPortTaken(FDebug)) {
    // Node would print its failure and run the script without a debugger, past "Break on load":
    // the child is started on an empty program instead, and the owner told as node would tell it.
    {
      std::lock_guard<std::mutex> lock(FUrlLock);
      FInspectorFailed = true;
    }
    const std::string line = Format("Starting inspector on %s:%d failed: address already in use",
                                    TDebuggerClient::kHost, FDebug);
    LogMessage(tmsError, kLogSource, line);
    if (FOnInspectorFailed) FOnInspectorFailed(FDebug, line);
    return "-e \"process.exitCode = 1\"";
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

bool TBasicNodeJsRequester::InspectorPortTaken(int32_t APort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // As node binds: a port some connection still lingers on (TIME_WAIT) is free.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(APort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
  ::close(fd);
  return taken;
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

std::string TBasicNodeJsRequester::FrontEndRefusal(const std::string& AUrl, int32_t APort,
                                                   const std::string& ATargetId) {
  static constexpr std::string_view kPrefix = "devtools://devtools/";
  if (AUrl.rfind(kPrefix, 0) != 0) return "it is not a devtools://devtools/ address";
  const size_t query = AUrl.find('?');
  if (query == std::string::npos) return "it names no inspector (no ws= parameter)";
  for (size_t i = kPrefix.size(); i < query; ++i) {
    const char c = AUrl[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.' && c != '/')
      return "its page path holds characters a DevTools page has not";
  }
  if (AUrl.find("..", kPrefix.size()) < query || AUrl.find('#') != std::string::npos)
    return "its page path is not a plain DevTools page";
  if (ATargetId.empty()) return "the target has no id";
  const std::string expected = std::string(TDebuggerClient::kHost) + ":" + std::to_string(APort) + "/" + ATargetId;
  bool ours = false;
  std::string_view rest = std::string_view(AUrl).substr(query + 1);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view param = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const std::string_view name = param.substr(0, param.find('='));
    // The parameters node gives; any other could point the front end elsewhere (wss=, a
    // remote front end) and is refused.
    if (name == "ws") {
      if (ours || param.substr(3) != expected)
        return "its ws= parameter does not name our inspector (" + expected + ") alone";
      ours = true;
    } else if (name != "experiments" && name != "v8only" && name != "panel") {
      return "it holds the parameter \"" + Utf8StripControls(name.substr(0, 40)) +
             "\" a DevTools address of node has not";
    }
  }
  if (!ours) return "its ws= parameter does not name our inspector (" + expected + ")";
  return std::string();
}

std::string TBasicNodeJsRequester::SelectFrontEndUrl(const IPacketPtr& ATargets, const std::string& AOwnId,
                                                     int32_t APort, std::string& ARefusal) {
  ARefusal.clear();
  if (!ATargets) return std::string();
  try {
    IPacketPtr target;
    std::string id = AOwnId;
    if (!AOwnId.empty()) {
      // Our child announced its target: only that one is ours, however many are listed.
      for (int32_t i = 0; i < ATargets->GetCount() && !target; ++i) {
        IPacketPtr candidate = VarToPacket(ATargets->GetVar(i));
        if (!candidate) continue;
        Variant value = candidate->GetProperties()->GetPropValue("id");
        if (!value.IsEmptyOrNull() && value.AsString() == AOwnId) target = candidate;
      }
    } else if (ATargets->GetCount() == 1) {
      target = VarToPacket(ATargets->GetVar(0));
      if (target) {
        Variant value = target->GetProperties()->GetPropValue("id");
        id = value.IsEmptyOrNull() ? std::string() : value.AsString();
      }
    }
    if (!target) return std::string();
    Variant value = target->GetProperties()->GetPropValue("devtoolsFrontendUrl");
    std::string url = value.IsEmptyOrNull() ? std::string() : value.AsString();
    if (url.empty()) return std::string();
    ARefusal = FrontEndRefusal(url, APort, id);
    if (!ARefusal.empty()) {
      ARefusal = "The inspector on port " + std::to_string(APort) + " reported the DevTools address \"" +
                 Utf8StripControls(url.substr(0, 300)) + "\", which was not opened: " + ARefusal + ".";
      return std::string();
    }
    return url;
  } catch (const Exception&) {
    return std::string();  // a malformed target list: the next poll asks again
  }
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
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    inodes.merge(ListeningSocketInodes(text, APort));
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
    std::string refusal;
    const std::string url = SelectFrontEndUrl(targets, ownId, port, refusal);
    if (!refusal.empty()) {
      ReportRefusedFrontEnd(refusal);
      return;
    }
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

void TBasicNodeJsRequester::SetOnFrontEndRefused(TFrontEndRefusedEvent AValue) {
  FOnFrontEndRefused = std::move(AValue);
}

void TBasicNodeJsRequester::ReportRefusedFrontEnd(const std::string& AText) {
  {
    std::lock_guard<std::mutex> lock(FUrlLock);
    if (FRefusal == AText) return;  // the same address on every poll: said once
    FRefusal = AText;
  }
  LogMessage(tmsError, kLogSource, AText);
  std::fprintf(stderr, "tarnwick: %s\n", AText.c_str());
  SynchronizeMain([this, &AText] {
    if (FOnFrontEndRefused) FOnFrontEndRefused(AText);
  });
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
