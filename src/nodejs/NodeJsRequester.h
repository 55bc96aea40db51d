#pragma once
// TBasicNodeJsRequester runs one Node.js script as a supervised child with the V8 inspector on,
// finds the DevTools front-end address the inspector publishes on http://127.0.0.1:<port>/json,
// and fires OnDebugger on the main thread once per distinct address. An optional watchdog ends a
// child that has been silent on its standard output for too long.
//
// Threads: create with TCustomAsyncRequester::New<TBasicNodeJsRequester>(...) and destroy (the
// owning pointer does that) on the main thread. Run, Close, SendRequest, IsActive may be called
// from any thread but the requester's worker. OnDebugger and every change of DebuggerUrl to a
// new address happen on the main thread; GetParams clears DebuggerUrl on the worker. The
// discovery poll runs on the private "Debugger Checker Thread", the watchdog on "Global AppTimer".
// StopOnStart must be set before Run.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "requests/ChildProcessRequester.h"
#include "process/LineChunkFilter.h"
#include "nodejs/JSONClient.h"
#include "concurrency/TxTimer.h"

namespace vexor {

// Reads the inspector's target list.
// Threads: one thread at a time (the discovery timer's).
class TDebuggerClient : public TJSONClient {
 public:
  // The inspector answers on loopback within milliseconds; a longer silence means it is gone.
  static constexpr uint32_t kReadTimeoutMs = 1000;
  // A whole "/json" exchange: the inspector answers in milliseconds; a trickling server is cut off.
  static constexpr uint32_t kTotalTimeoutMs = 2000;
  // A target list is a few hundred bytes per target.
  static constexpr uint64_t kMaxBodyBytes = 1024 * 1024;
  // Loopback by number: by name, "localhost" may resolve to [::1] first, where another local
  // program can listen; node's inspector listens on 127.0.0.1. Node also builds the front end's
  // ws= address from the host we ask, so the front end connects to 127.0.0.1 too.
  static constexpr const char* kHost = "127.0.0.1";

  explicit TDebuggerClient(int32_t APort);
  // The "/json" reply when its status is exactly 200; none otherwise.
  IPacketPtr GetSettings();
  // Any thread: ends a request in progress at once and fails every later one.
  void Cancel();
  int32_t Port() const { return FPort; }

 private:
  const int32_t FPort;  // constant after construction
};

class TBasicNodeJsRequester;
using TNotifyEvent = std::function<void(TBasicNodeJsRequester* ASender)>;
// The inspector of our child could not listen on its port (another program holds it): the
// port and node's own line. The child then runs without a debugger.
using TInspectorFailedEvent = std::function<void(int32_t APort, const std::string& ALine)>;
// The inspector reported a front-end address that is not our child's: the sentence to show.
using TFrontEndRefusedEvent = std::function<void(const std::string& AText)>;

class TBasicNodeJsRequester : public TChildProcessRequester {
 public:
  // Milliseconds between two asks for the target list: a restarted node's new address is seen
  // within a quarter second even when its announcement line is missed.
  static constexpr uint32_t kDebuggerCheckInterval = 250;
  static constexpr const char* kLogSource = "NodeJsRequester";

  TBasicNodeJsRequester(TRef<IChildProcessRequesterEvents> AEvents, const std::string& AScript, uint16_t DebugPort,
                        int32_t AWatchDogTime, const std::string& ANodeJs);
  ~TBasicNodeJsRequester() override;

  // Whether the child runs, asked on the requester's worker (the caller waits).
  bool IsActive();
  // Ends the child now; with AutoRestart it is started again after AutoRestartMinTime.
  void Close();
  // Queues ARequest to the child's input; no reply is awaited.
  void SendRequest(const IPacketPtr& ARequest);

  bool StopOnStart() const { return FStopOnStart.load(); }
  void SetStopOnStart(bool AValue) { FStopOnStart.store(AValue); }
  // Main thread only.
  std::string DebuggerUrl() const;
  void SetOnDebugger(TNotifyEvent AValue);
  // Called on the worker when node reports that its inspector could not start; no address is
  // announced for that start. Set it before Run.
  void SetOnInspectorFailed(TInspectorFailedEvent AValue);
  // Main thread: told once per refused address; the refusal is logged and written to standard
  // error whether or not a handler is set.
  void SetOnFrontEndRefused(TFrontEndRefusedEvent AValue);
  int32_t Port() const { return FDebug; }

  // Options for node before the script, and the script's own arguments, each one argument as
  // it is (blanks, quotes and all). Set before Run.
  void SetNodeOptions(std::vector<std::string> AValue) { FNodeOptions = std::move(AValue); }
  void SetScriptArguments(std::vector<std::string> AValue) { FScriptArguments = std::move(AValue); }
  // Program mode: the requester starts a program that starts node itself (npm, npx, a shell
  // script; the script argument is then empty). Every node it starts gets the inspector through
  // NODE_OPTIONS, each on a free port of its own, and the node that announced its inspector last
  // is the one debugged. Set before Run.
  void SetInspectThroughEnvironment(bool AValue) { FInspectThroughEnvironment = AValue; }
  // The inspector switch for node: "--inspect-brk=127.0.0.1:<APort>" or "--inspect=...".
  static std::string InspectSwitch(bool AStopOnStart, int32_t APort);
  // The port node announces ("Debugger listening on ws://host:<port>/..."), 0 otherwise.
  static int32_t AnnouncedPort(const std::string& ALine);
  // Why AUrl is not the DevTools front end of target ATargetId on our inspector at 127.0.0.1:APort,
  // "" when it is. Only "devtools://devtools/<page>?...ws=127.0.0.1:<port>/<id>..." is accepted:
  // any other scheme could read local files or reach the network, another ws= host or port hands
  // the session to another program.
  static std::string FrontEndRefusal(const std::string& AUrl, int32_t APort, const std::string& ATargetId);
  // Picks our target from a "/json" list: the one with AOwnId, or without an id the only one.
  // Returns its front-end address when FrontEndRefusal accepts it; ARefusal gets the reason when
  // a target was found but its address refused. Never raises.
  static std::string SelectFrontEndUrl(const IPacketPtr& ATargets, const std::string& AOwnId, int32_t APort,
                                       std::string& ARefusal);

  // The target id node announces ("Debugger listening on ws://host:port/<id>"), "" otherwise.
  static std::string AnnouncedTargetId(const std::string& ALine);
  // Node's report that the inspector could not listen ("Starting inspector on ... failed").
  static bool IsInspectorFailure(const std::string& ALine);
  // What the end of the script means for the user, as one sentence: exit code, cause and what
  // happens next.
  static std::string DescribeExit(const TChildExit& AExit);
  // True when another socket holds 127.0.0.1:APort, so that node's inspector could not listen.
  static bool InspectorPortTaken(int32_t APort);
  // True when process APid holds a TCP socket listening on APort (read from /proc).
  static bool ProcessListensOn(pid_t APid, int32_t APort);

  // The script argument as it goes on the command line (quoted when it needs to be).
  const std::string& Script() const { return FScript; }
  // True when the error-output filter drops ALine.
  static bool IsInspectorBanner(std::string_view ALine);
  // True when a line that starts with AStart could still be one the filter drops.
  static bool MayBeInspectorBanner(std::string_view AStart);
  // AScript written so that the child's command line gives it back as one argument.
  static std::string QuoteScript(const std::string& AScript);

  void Finalize() override;

 protected:
  friend class TCustomAsyncRequester;  // New<T> starts the object, Destroy tears it down
  void AfterConstruction() override;
  void BeforeDestruction() override;
  std::string GetParams() override;
  TChildProcessStart GetStartOptions() override;
  void DoErrorOutput(const std::string& ALine) override;
  // On a terminal the banner comes with the output: filtered there.
  void DoOutput(const std::string& ALine) override;
  // The stream that carries the banner is passed on without its lines.
  void DoChunk(TChildStream AStream, const std::string& ABytes) override;
  void DoChunksRead(bool AEnded) override;
  virtual void TerminateByWatchdog();

 private:
  // The banner lines as such: the target id, the inspector's failure (worker). True when ALine
  // is the banner's (and so left out).
  bool TakeInspectorLine(const std::string& ALine);
  void NoteBannerLine(const std::string& ALine);
  void OnCheckDebuggerSettings(ITxTimerEvent* ASender);
  void OnWatchdog(ITxTimerEvent* ASender);
  void DeleteWatchdog();
  // Discovery thread: logs, writes and tells the owner of a refused address (once per text).
  void ReportRefusedFrontEnd(const std::string& AText);
  // Worker: runs the discovery check at once instead of at the end of the current period.
  void CheckDebuggerNow();

  // Constant after construction.
  const int32_t FWatchdogInterval;
  const std::string FScript;
  const int32_t FDebug;
  std::unique_ptr<TDebuggerClient> FClient;  // used on the discovery thread only
  // Set before Run, read on the worker.
  std::vector<std::string> FNodeOptions;
  std::vector<std::string> FScriptArguments;
  bool FInspectThroughEnvironment = false;
  // Worker only: the banner stream's chunks without the banner lines.
  TLineChunkFilter FBannerFilter;

  // Guarded by FDiscoveryLock (a leaf): set in the constructor and AfterConstruction, cleared in
  // BeforeDestruction (main thread), read by the worker when the inspector announces itself.
  std::mutex FDiscoveryLock;
  TRef<IBasicTxTimer> FTimer;
  TRef<ITxTimerEvent> FClientTimer;
  std::mutex FWatchdogLock;  // guards FWatchdog (a leaf)
  TRef<ITxTimerEvent> FWatchdog;

  std::atomic<bool> FStopOnStart{false};
  // Guarded by FUrlLock: written on the main thread (new address) and the worker (cleared at a
  // start), read by the discovery thread.
  mutable std::mutex FUrlLock;
  std::string FDebuggerUrl;
  std::string FTargetId;          // announced by the current child; "" before
  int32_t FTargetPort = 0;        // the port it announced; 0 before
  bool FInspectorFailed = false;  // the current child's inspector could not listen
  std::string FRefusal;           // guarded by FUrlLock: the last refusal, told once per start
  // Main thread only.
  TNotifyEvent FOnDebugger;
  TFrontEndRefusedEvent FOnFrontEndRefused;
  // Set before Run, called on the worker.
  TInspectorFailedEvent FOnInspectorFailed;
};

}  // namespace vexor
