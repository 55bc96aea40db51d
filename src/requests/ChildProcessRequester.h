#pragma once
// TChildProcessRequester: an asynchronous requester whose transport is a supervised child
// process. It starts the child through a TChildProcessController, writes requests to the
// child's standard input as lines (LineProtocol.h), reads replies, notifications, keep-alives
// and plain output from its standard output and plain lines from its standard error, restarts
// the child once AutoRestartMinTime seconds have passed since its start when it has exited, and
// reports output and the end of the child to an events sink.
//
// Output: each read's bytes reach OnChunk first, in the order the streams were read (whichever
// has data is read as soon as it has it); then every line reaches its event as soon as its line feed has been read; a
// line left unfinished for kPartialLineMs (a prompt) is handed out as it stands, and its rest later as a line of its
// own (unless the rest is empty); protocol lines wait for their line feed. When the child ends, everything it wrote is
// read and handed out first (an unfinished last line too), then OnChildExit tells the exit code and when the automatic
// restart comes.
//
// Threads: all process work (start, reads, writes, restart) runs on the requester's worker, and
// so do OnOutput, OnErrorOutput, OnNotify and OnChildExit (a watchdog end is reported on the
// watchdog's thread). OnTerminated runs on the main thread. Run, TerminateChild,
// IsChildProcesssActive, ChildProcessId, SendInput, CloseInput, UnlinkEvents, Finalize and the
// properties may be called from any thread. Terminating from another thread never closes pipes under a read or
// write of the worker: the child is killed at once, and the controller is closed under the lock
// the worker holds while it touches the controller (a write blocked on a full pipe ends when
// the child dies). Event handlers run without that lock, so they may call any of the above.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/DateTime.h"
#include "process/ChildProcessController.h"
#include "requests/CustomAsyncRequester.h"
#include "process/LineProtocol.h"
#include "process/Utf8StreamDecoder.h"

namespace vexor {

// The events sink of a supervised child.
class IChildProcessRequesterEvents : public virtual IInterface {
 public:
  static constexpr const char* IID = "{E20F9693-E71D-4E13-A005-317E83FA316A}";
  // A standard-output line that is not a protocol line (blank lines included).
  virtual void OnOutput(const std::string& ALine) = 0;
  // A standard-error line (blank lines included).
  virtual void OnErrorOutput(const std::string& ALine) = 0;
  // A notification line without its marker.
  virtual void OnNotify(const std::string& AText) = 0;
  // The child was ended and released by Finalize.
  virtual void OnTerminated() = 0;
  // The bytes of one read of the child's output or error as the child wrote them (partial lines
  // and all; a terminal's output comes as csOutput), in the order they were read, before the
  // lines they complete. For sinks that show the output as it is; line sinks ignore it.
  virtual void OnChunk(TChildStream AStream, const std::string& ABytes) {
    (void)AStream;
    (void)ABytes;
  }
};

// How a child ended, as OnChildExit reports it.
enum TChildExitReason { cerExited, cerTerminated, cerWatchdog };
struct TChildExit {
  uint32_t ExitCode = 0;  // 1460 after a forced end, 128 + signal after a signal
  TChildExitReason Reason = cerExited;
  int32_t RestartInSeconds = -1;  // when the automatic restart comes; -1: none
};
using TChildExitEvent = std::function<void(const TChildExit& AExit)>;
// The child could not be started: the program tried and the reason, the system's message included.
using TStartFailedEvent = std::function<void(const std::string& AProgram, const std::string& AReason)>;

class TChildProcessRequester : public TCustomAsyncRequester {
 public:
  // Bytes of queued requests written to the child in one go (256 KiB): four pipe buffers, so one
  // write rarely blocks the worker on a child that reads slowly.
  static constexpr int32_t kMaxDataToSend = 262144;
  // Seconds a child must have run before an automatic restart: a script that fails at once is not
  // started again and again.
  static constexpr int32_t kAutoRestartMinTime = 30;
  // Milliseconds between two writes of queued requests to the child: requests that come close
  // together share one write.
  static constexpr uint32_t kFlushInterval = 25;
  // Reads of the pipes per flush at the most (a first one and a hundred more, each up to a full
  // 64 KiB pipe): a child that writes without pause cannot keep the worker from its requests.
  static constexpr int kMaxReadPasses = 101;
  // An unfinished line (a prompt) is passed on once it has waited this long for its end.
  static constexpr uint32_t kPartialLineMs = 100;
  static constexpr uint32_t kIdleWaitMs = 5;
  static constexpr const char* kLogSource = "ChildProcessRequester";

  // No child is started yet: Run does that on the worker.
  TChildProcessRequester(TRef<IChildProcessRequesterEvents> AEvents, std::string AProcess, std::string AParams,
                         TRef<IDataSynchronizer> AProcessingSynchronizer = nullptr,
                         TRef<IAppStatCounter> AReqResolvingErrorCounter = nullptr);
  ~TChildProcessRequester() override;

  // Starts the child on the worker when no controller exists (also none after Finalize);
  // does nothing while a child runs or has exited without being released.
  void Run();
  // Ends the child now (exit code 1460); the controller stays, so the child is restarted once
  // AutoRestartMinTime has passed since its start.
  void TerminateChild();
  bool IsChildProcesssActive();
  // The running child's process id; 0 when none runs.
  pid_t ChildProcessId();
  // No event is delivered after this returns.
  void UnlinkEvents();
  // Called once per end of a child, after its last output (on the worker; on the watchdog's
  // thread for a watchdog end). Set it before Run.
  void SetOnChildExit(TChildExitEvent AValue);
  // Called on the worker when a start of the child fails (after the failure is logged). Set it
  // before Run.
  void SetOnStartFailed(TStartFailedEvent AValue);
  // Gives children started from now on a pseudo-terminal of ASize for their input, output and
  // error (their output then arrives as standard output). Set before Run.
  void SetTerminal(const TTerminalSize& ASize);
  bool UsesTerminal() const { return FUseTerminal.load(); }
  // Gives children started from now on one pipe for output and error (when both end up in the
  // same place anyway): the two then keep the exact order they were written in, as csOutput.
  // Set before Run.
  void SetErrorsWithOutput(bool AValue) { FErrorsWithOutput.store(AValue); }
  // The child's error arrives with its output (a terminal, or one pipe for both).
  bool ErrorsOnOutput() const { return FUseTerminal.load() || FErrorsWithOutput.load(); }
  // Changes the terminal's window size of the running child and of later starts. Any thread.
  void SetTerminalSize(const TTerminalSize& ASize);
  // Bytes for the child's standard input as they are (no framing), written in order on the
  // worker without blocking it; kept for a child that has not started yet. Any thread.
  void SendInput(std::string AData);
  // Ends the child's standard input once everything sent before is written; children started
  // later get an ended input too. Any thread.
  void CloseInput();
  // Ends and releases the child (the release on the main thread, which also gets OnTerminated);
  // nothing restarts until Run. Any thread.
  void Finalize() override;

  bool AutoRestart() const { return FAutoRestart.load(); }
  void SetAutoRestart(bool AValue) { FAutoRestart.store(AValue); }
  int32_t AutoRestartMinTime() const { return FAutoRestartMinTime.load(); }
  void SetAutoRestartMinTime(int32_t AValue) { FAutoRestartMinTime.store(AValue); }
  // When the current (or last) child was started (local time); 0 before a start. Worker only:
  // OnChildExit handlers may read it.
  TDateTime LastStartTime() const { return FLastStarted; }
  // The last start or the last non-empty standard-output line (local time); 0 before a start.
  TDateTime LastMessageTime() const { return FLastMessageTime.load(); }
  // Batch limit of one write in UTF-16 code units.
  int32_t MaxDataToSend() const { return FMaxDataToSend.load(); }
  void SetMaxDataToSend(int32_t AValue) { FMaxDataToSend.store(AValue); }
  // Queued requests are written when more than this many ms passed since the last write (25);
  // 0 writes on every pass (a benchmark uses it to measure the requester without the pause).
  uint32_t FlushInterval() const { return FFlushInterval.load(); }
  void SetFlushInterval(uint32_t AValue) { FFlushInterval.store(AValue); }
  const std::string& Process() const { return FProcess; }
  // The working folder and environment additions of every start ("" folder: the controller's
  // own choice). Set before Run.
  void SetStartOptions(TChildProcessStart AValue);

  // A reply line's JSON text (after its marker) turned into the reply packet and its id. Raises
  // Exception for text that is not a JSON object or lacks a numeric "id".
  static IPacketPtr ParseReply(std::string_view AJson, int32_t& AId);

 protected:
  void BeforeDestruction() override;
  void Idle(int32_t AWaitMs) override;
  void InitializeOnWorker() override {}
  void DoSendRequest(const IPacketPtr& ARequest, Variant& AId) override;
  // The request packet's "Timeout" property (ms), RequestTimeOut when it has none.
  int32_t GetRequestTimeOut(const IPacketPtr& ARequest) override;

  virtual void DoNotify(const std::string& AText);
  virtual void DoChunk(TChildStream AStream, const std::string& ABytes);
  // Called once per reading pass after the chunks; AEnded when the child has ended and all it
  // wrote was read (a filter holding bytes back hands them on then).
  virtual void DoChunksRead(bool AEnded);
  int32_t GetQueueDelay() override { return 0; }  // Idle waits on the child's output instead
  virtual void DoOutput(const std::string& ALine);
  virtual void DoErrorOutput(const std::string& ALine);
  virtual void DoTerminated();
  virtual void DoChildExit(const TChildExit& AExit);
  virtual void StartProcess();
  virtual std::string GetParams();
  // The start options of the next start (worker).
  virtual TChildProcessStart GetStartOptions();
  // The clock of LastMessageTime and of the restart rule; tests replace it.
  virtual TDateTime CurrentTime();

  void CheckProcess();
  void CheckAutoRestart();
  void FlushInput();
  // When the automatic restart of an ended child comes: seconds from now, -1 for never.
  int32_t RestartInSeconds();
  // Before ending the child from outside: what its end report will say.
  void SetEndReason(TChildExitReason AReason) { FEndReason.store(AReason); }
  // True for the one caller that may report the current child's end.
  bool ClaimExitReport() { return !FExitReported.exchange(true); }
  void ProcessOutputLine(const std::string& ALine);
  void ProcessErrorLine(const std::string& ALine);
  // Worker only.
  void SplitLines(std::string& ABuffer, std::string_view AChunk, const TLineHandler& AHandler);

 private:
  TRef<IChildProcessRequesterEvents> Events();
  bool ControllerRunning();  // FControllerLock held
  // Takes the controller out (killing and closing it) without waiting for the main thread.
  std::unique_ptr<TChildProcessController> TakeController(bool ATerminate);
  void SetKillHandle(int APidFd);
  void KillChildNow();
  // One output stream's line assembly (worker only).
  struct TLineStream {
    std::string Buffer;         // the unfinished line
    uint32_t PendingSince = 0;  // tick when the unfinished line began (valid while non-empty)
    bool Continues = false;     // the start of the line in progress was handed out already
  };
  void TakeChunk(TLineStream& AStream, const std::string& AChunk, const TLineHandler& AHandler);
  // Hands out an unfinished line: at once with AAll, otherwise after PartialLineMs unless it is
  // a protocol line.
  void FlushPartial(TLineStream& AStream, bool AAll, bool AProtocol, const TLineHandler& AHandler);
  void WriteRawInput();
  // Between two passes: until the child writes, input is sent, or kIdleWaitMs.
  void WaitForWork();
  void WakeWorker();

  // Constant after construction.
  const std::string FProcess;
  std::atomic<bool> FUseTerminal{false};       // set before Run
  std::atomic<bool> FErrorsWithOutput{false};  // set before Run
  // Guarded by FControllerLock.
  TTerminalSize FTerminalSize;
  const std::string FParams;

  // Guarded by FControllerLock: the worker holds it while it touches the controller; other
  // threads take it to close the controller (after killing the child through FKillFd).
  std::mutex FControllerLock;
  std::unique_ptr<TChildProcessController> FController;

  // Guarded by FKillLock (a leaf): a duplicate of the child's pidfd, -1 when none.
  std::mutex FKillLock;
  int FKillFd = -1;

  // Guarded by FEventsLock (a leaf; handlers are called after it is released).
  std::mutex FEventsLock;
  TRef<IChildProcessRequesterEvents> FEvents;
  TChildExitEvent FOnChildExit;
  TStartFailedEvent FOnStartFailed;
  TChildProcessStart FStartOptions;

  // Worker only.
  int32_t FRequestId = 0;
  TLineStream FErrorStream;
  TLineStream FOutputStream;
  TUtf8StreamDecoder FErrorDecoder;
  TUtf8StreamDecoder FOutputDecoder;
  std::string FRawInput;          // SendInput bytes not yet written
  bool FInputClosed = false;      // CloseInput was called
  bool FChildInputEnded = false;  // the current child's input is closed
  TInputBatchQueue FInputBuffers;
  TDateTime FLastStarted = 0;
  uint32_t FLastDataFlush = 0;
  bool FFlushedOnce = false;

  // Read and written from any thread.
  std::atomic<int32_t> FMaxDataToSend{kMaxDataToSend};
  std::atomic<uint32_t> FFlushInterval{kFlushInterval};
  std::atomic<bool> FAutoRestart{true};
  std::atomic<int32_t> FAutoRestartMinTime{kAutoRestartMinTime};
  std::atomic<TDateTime> FLastMessageTime{0};
  // The current child's end: why it comes (set before it is ended from outside) and whether it
  // was reported (by the worker, or by whoever ended it; only the first report counts).
  std::atomic<int> FEndReason{cerExited};
  std::atomic<bool> FExitReported{false};
  // Constant after construction: written by SendInput and CloseInput, waited on by the worker.
  const int FWakeFd;
};

}  // namespace vexor
