#include "requests/ChildProcessRequester.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <exception>
#include <thread>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "platform/Ticks.h"
#include "diagnostics/MessageLog.h"
#include "packets/json/PacketConversions.h"
#include "process/TerminalText.h"

namespace vexor {

namespace {

// A reply line can be megabytes long; error texts quote only its start.
std::string Excerpt(std::string_view AText) {
  constexpr size_t kMax = 80;
  if (AText.size() <= kMax) return std::string(AText);
  return std::string(AText.substr(0, kMax)) + "... (" + std::to_string(AText.size()) + " bytes)";
}

// Whole seconds from AFrom to ATo.
int64_t WholeSecondsBetween(TDateTime AFrom, TDateTime ATo) { return std::llround((ATo - AFrom) * 86400000.0) / 1000; }

}  // namespace

TChildProcessRequester::TChildProcessRequester(TRef<IChildProcessRequesterEvents> AEvents, std::string AProcess,
                                               std::string AParams, TRef<IDataSynchronizer> AProcessingSynchronizer,
                                               TRef<IAppStatCounter> AReqResolvingErrorCounter)
    : TCustomAsyncRequester(std::move(AProcessingSynchronizer), std::move(AReqResolvingErrorCounter)),
      FProcess(std::move(AProcess)),
      FParams(std::move(AParams)),
      FEvents(std::move(AEvents)),
      FWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TChildProcessRequester::~TChildProcessRequester() {
  if (FWakeFd >= 0) ::close(FWakeFd);
  // Normally Destroy has released the controller already; otherwise its destructor closes the
  // job, which ends the child.
  SetKillHandle(-1);
}

void TChildProcessRequester::BeforeDestruction() {
  Finalize();
  TCustomAsyncRequester::BeforeDestruction();
}

// ---------------------------------------------------------------------------------------------
// Controller access from any thread

bool TChildProcessRequester::ControllerRunning() { return FController && FController->ProcessActive(); }

void TChildProcessRequester::SetKillHandle(int APidFd) {
  std::lock_guard<std::mutex> lock(FKillLock);
  if (FKillFd >= 0) ::close(FKillFd);
  FKillFd = APidFd;
}

void TChildProcessRequester::KillChildNow() {
  std::lock_guard<std::mutex> lock(FKillLock);
  if (FKillFd >= 0) ::syscall(SYS_pidfd_send_signal, FKillFd, SIGKILL, nullptr, 0);
}

std::unique_ptr<TChildProcessController> TChildProcessRequester::TakeController(bool ATerminate) {
  // Killing first ends a write of the worker that waits on a full pipe, so the lock comes free.
  if (ATerminate) KillChildNow();
  std::unique_ptr<TChildProcessController> c;
  {
    std::lock_guard<std::mutex> lock(FControllerLock);
    c = std::move(FController);
    if (c) c->Close(ATerminate);
  }
  SetKillHandle(-1);
  return c;
}

void TChildProcessRequester::Run() {
  {
    std::lock_guard<std::mutex> lock(FControllerLock);
    if (FController) return;
  }
  // Checked again on the worker: two quick calls must not start two children.
  Synchronizer()->Synchronize([this] {
    {
      std::lock_guard<std::mutex> lock(FControllerLock);
      if (FController) return;
    }
    StartProcess();
  });
}

void TChildProcessRequester::TerminateChild() {
  SetEndReason(cerTerminated);
  KillChildNow();
  std::lock_guard<std::mutex> lock(FControllerLock);
  if (FController) FController->Close(true);
}

bool TChildProcessRequester::IsChildProcesssActive() {
  std::lock_guard<std::mutex> lock(FControllerLock);
  return ControllerRunning();
}

pid_t TChildProcessRequester::ChildProcessId() {
  std::lock_guard<std::mutex> lock(FControllerLock);
  return ControllerRunning() ? FController->ProcessId() : 0;
}

void TChildProcessRequester::UnlinkEvents() {
  TRef<IChildProcessRequesterEvents> old;
  TChildExitEvent oldExit;
  TStartFailedEvent oldStartFailed;
  std::lock_guard<std::mutex> lock(FEventsLock);
  old.Swap(FEvents);
  oldExit.swap(FOnChildExit);
  oldStartFailed.swap(FOnStartFailed);
}

void TChildProcessRequester::SetOnChildExit(TChildExitEvent AValue) {
  std::lock_guard<std::mutex> lock(FEventsLock);
  FOnChildExit = std::move(AValue);
}

void TChildProcessRequester::SetOnStartFailed(TStartFailedEvent AValue) {
  std::lock_guard<std::mutex> lock(FEventsLock);
  FOnStartFailed = std::move(AValue);
}

void TChildProcessRequester::SetTerminal(const TTerminalSize& ASize) {
  {
    std::lock_guard<std::mutex> lock(FControllerLock);
    FTerminalSize = ASize;
  }
  FUseTerminal.store(true);
}

void TChildProcessRequester::SetTerminalSize(const TTerminalSize& ASize) {
  std::lock_guard<std::mutex> lock(FControllerLock);
  FTerminalSize = ASize;
  if (FController) FController->SetTerminalSize(ASize);
}

void TChildProcessRequester::SendInput(std::string AData) {
  Synchronizer()->Synchronize([this, data = std::move(AData)] {
    FRawInput += data;
    WriteRawInput();
  });
  WakeWorker();
}

void TChildProcessRequester::WakeWorker() {
  const uint64_t one = 1;
  if (FWakeFd >= 0) (void)!::write(FWakeFd, &one, sizeof one);
}

void TChildProcessRequester::CloseInput() {
  Synchronizer()->Synchronize([this] {
    FInputClosed = true;
    WriteRawInput();
  });
  WakeWorker();
}

TRef<IChildProcessRequesterEvents> TChildProcessRequester::Events() {
  std::lock_guard<std::mutex> lock(FEventsLock);
  return FEvents;
}

void TChildProcessRequester::Finalize() {
  std::unique_ptr<TChildProcessController> c = TakeController(true);
  // Only a child that existed is reported as terminated.
  if (!c) return;
  SynchronizeMain([this, &c] {
    c.reset();
    DoTerminated();
  });
}

// ---------------------------------------------------------------------------------------------
// Events

void TChildProcessRequester::DoNotify(const std::string& AText) {
  if (auto e = Events()) e->OnNotify(AText);
}

void TChildProcessRequester::DoChunk(TChildStream AStream, const std::string& ABytes) {
  if (auto e = Events()) e->OnChunk(AStream, ABytes);
}

void TChildProcessRequester::DoChunksRead(bool) {}

void TChildProcessRequester::DoOutput(const std::string& ALine) {
  if (auto e = Events()) e->OnOutput(ALine);
}

void TChildProcessRequester::DoErrorOutput(const std::string& ALine) {
  if (auto e = Events()) e->OnErrorOutput(ALine);
}

void TChildProcessRequester::DoTerminated() {
  if (auto e = Events()) e->OnTerminated();
}

void TChildProcessRequester::DoChildExit(const TChildExit& AExit) {
  TChildExitEvent handler;
  {
    std::lock_guard<std::mutex> lock(FEventsLock);
    handler = FOnChildExit;
  }
  if (handler) handler(AExit);
}

std::string TChildProcessRequester::GetParams() { return FParams; }

void TChildProcessRequester::SetStartOptions(TChildProcessStart AValue) {
  std::lock_guard<std::mutex> lock(FEventsLock);
  FStartOptions = std::move(AValue);
}

TChildProcessStart TChildProcessRequester::GetStartOptions() {
  std::lock_guard<std::mutex> lock(FEventsLock);
  return FStartOptions;
}

TDateTime TChildProcessRequester::CurrentTime() { return Now(); }

// ---------------------------------------------------------------------------------------------
// Worker

void TChildProcessRequester::StartProcess() {
  try {
    FLastStarted = CurrentTime();
    std::string params = GetParams();
    TChildProcessStart start = GetStartOptions();
    if (UsesTerminal()) {
      std::lock_guard<std::mutex> lock(FControllerLock);
      start.Terminal = FTerminalSize;
    } else if (FErrorsWithOutput.load()) {
      start.Errors = TChildProcessController::esWithOutput;
    }
    auto c = std::make_unique<TChildProcessController>(FProcess, params, start);
    if (c->ProcessActive()) c->SetKillProcessOnParentTerminated(0);
    int killFd = c->ProcessHandle() >= 0 ? ::fcntl(c->ProcessHandle(), F_DUPFD_CLOEXEC, 0) : -1;
    {
      std::lock_guard<std::mutex> lock(FControllerLock);
      FController = std::move(c);
    }
    SetKillHandle(killFd);
    FLastMessageTime.store(CurrentTime());
    FOutputStream = TLineStream();
    FErrorStream = TLineStream();
    FOutputDecoder = TUtf8StreamDecoder();
    FErrorDecoder = TUtf8StreamDecoder();
    FEndReason.store(cerExited);
    FExitReported.store(false);
    FChildInputEnded = false;
    WriteRawInput();
  } catch (const Exception& e) {
    LogMessage(tmsException, kLogSource, e.what());
    TStartFailedEvent handler;
    {
      std::lock_guard<std::mutex> lock(FEventsLock);
      handler = FOnStartFailed;
    }
    if (handler) handler(FProcess, e.what());
  }
}

void TChildProcessRequester::CheckAutoRestart() {
  std::unique_ptr<TChildProcessController> old;
  {
    std::lock_guard<std::mutex> lock(FControllerLock);
    if (!FController || FController->ProcessActive() || !AutoRestart()) return;
    if (WholeSecondsBetween(FLastStarted, CurrentTime()) < AutoRestartMinTime()) return;
    old = std::move(FController);
  }
  SetKillHandle(-1);
  LogMessage(tmsWarning, kLogSource, "Restarting process");
  old.reset();
  StartProcess();
}

int32_t TChildProcessRequester::RestartInSeconds() {
  if (!AutoRestart()) return -1;
  int64_t passed = WholeSecondsBetween(FLastStarted, CurrentTime());
  return static_cast<int32_t>(std::max<int64_t>(0, AutoRestartMinTime() - passed));
}

void TChildProcessRequester::CheckProcess() {
  // Everything read is handed out even when a line fails; the first failure is reported
  // afterwards.
  std::exception_ptr failure;
  auto attempt = [&](auto AProc) {
    try {
      AProc();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  const TLineHandler onError = [this](const std::string& l) { ProcessErrorLine(l); };
  // A terminal's lines are handed out as they read once shown (no colours, no rewritten parts).
  const TLineHandler onOutput = UsesTerminal() ? TLineHandler([this](const std::string& l) {
    ProcessOutputLine(TerminalLineText(l));
  })
                                               : TLineHandler([this](const std::string& l) { ProcessOutputLine(l); });
  std::vector<std::pair<TChildStream, std::string>> chunks;
  bool ended = false, drained = false;
  for (int pass = 0; pass < kMaxReadPasses; ++pass) {
    chunks.clear();
    {
      std::lock_guard<std::mutex> lock(FControllerLock);
      if (!FController) break;
      // Asked before reading: whatever an ended child wrote is in the pipes by now, so an
      // empty read after this answer means its output is complete.
      ended = FController->CheckExited();
      FController->CheckOutputs([&](TChildStream AStream, const std::string& s) { chunks.emplace_back(AStream, s); },
                                0);
    }
    if (chunks.empty()) {
      drained = true;
      break;
    }
    for (const auto& [stream, bytes] : chunks) {
      attempt([&] { DoChunk(stream, bytes); });
      const bool error = stream == csError;
      const std::string text = (error ? FErrorDecoder : FOutputDecoder).Decode(bytes);
      attempt([&] { TakeChunk(error ? FErrorStream : FOutputStream, text, error ? onError : onOutput); });
    }
  }
  const bool endNow = ended && drained && !FExitReported.load();
  attempt([&] { DoChunksRead(endNow); });
  attempt([&] { FlushPartial(FErrorStream, endNow, false, onError); });
  attempt([&] { FlushPartial(FOutputStream, endNow, true, onOutput); });
  if (endNow && ClaimExitReport()) {
    TChildExit exit;
    exit.Reason = static_cast<TChildExitReason>(FEndReason.load());
    {
      std::lock_guard<std::mutex> lock(FControllerLock);
      if (FController) exit.ExitCode = FController->ExitCode();
    }
    // Ended from outside: killed, whatever signal status the kill left.
    if (exit.Reason != cerExited) exit.ExitCode = TChildProcessController::FORCED_EXIT_CODE;
    exit.RestartInSeconds = exit.Reason == cerWatchdog ? -1 : RestartInSeconds();
    attempt([&] { DoChildExit(exit); });
  }
  if (FExitReported.load()) CheckAutoRestart();
  if (failure) std::rethrow_exception(failure);
}

void TChildProcessRequester::TakeChunk(TLineStream& AStream, const std::string& AChunk, const TLineHandler& AHandler) {
  const bool hadPartial = !AStream.Buffer.empty();
  size_t handed = 0;
  auto started = [&] {
    // A new unfinished line starts its clock; one that only grew keeps it.
    if (!AStream.Buffer.empty() && (!hadPartial || handed > 0)) AStream.PendingSince = GetTickCount32();
  };
  try {
    SplitLines(AStream.Buffer, AChunk, [&](const std::string& ALine) {
      ++handed;
      if (AStream.Continues) {
        AStream.Continues = false;
        if (ALine.empty()) return;  // only the line feed of a line handed out already
      }
      AHandler(ALine);
    });
  } catch (...) {
    started();
    throw;
  }
  started();
}

void TChildProcessRequester::FlushPartial(TLineStream& AStream, bool AAll, bool AProtocol,
                                          const TLineHandler& AHandler) {
  if (AStream.Buffer.empty()) {
    if (AAll) AStream.Continues = false;
    return;
  }
  if (!AAll) {
    if (!TickElapsed(AStream.PendingSince, kPartialLineMs)) return;
    // A protocol line is only whole with its line feed.
    if (AProtocol && ClassifyLine(AStream.Buffer) != lkOutput) return;
  }
  std::string line;
  line.swap(AStream.Buffer);
  AStream.Continues = !AAll;
  AHandler(line);
}

void TChildProcessRequester::SplitLines(std::string& ABuffer, std::string_view AChunk, const TLineHandler& AHandler) {
  vexor::SplitLines(ABuffer, AChunk, AHandler);
}

void TChildProcessRequester::WriteRawInput() {
  if (FRawInput.empty() && (!FInputClosed || FChildInputEnded)) return;
  std::lock_guard<std::mutex> lock(FControllerLock);
  if (!FController || FController->CheckExited()) return;
  if (!FRawInput.empty()) FRawInput.erase(0, FController->SendToInputNow(FRawInput));
  if (FInputClosed && FRawInput.empty()) {
    FController->CloseInput();
    FChildInputEnded = true;
  }
}

IPacketPtr TChildProcessRequester::ParseReply(std::string_view AJson, int32_t& AId) {
  IPacketPtr packet;
  try {
    packet = TPacketConversions::PacketFromJSON(AJson);
  } catch (const std::exception& e) {
    throw Exception("Reply line is not valid JSON (" + Excerpt(e.what()) + "): " + Excerpt(AJson));
  }
  if (!packet) throw Exception("Reply line is not a JSON object: " + Excerpt(AJson));
  IPacketPropertyAccessPtr props = packet->GetProperties();
  Variant idValue = props->GetPropValue("id");
  if (idValue.IsEmptyOrNull() || idValue.IsObject() || idValue.IsArray())
    throw Exception("Reply line without an \"id\": " + Excerpt(AJson));
  try {
    AId = idValue.AsInt32();
  } catch (const std::exception& e) {
    throw Exception("Reply line whose \"id\" is not a number (" + std::string(e.what()) + "): " + Excerpt(AJson));
  }
  Variant response = props->GetPropValue("response");
  IPacketPtr reply;
  if (TryVarToPacket(response, reply) && reply) return reply;
  // An object of several members reads back as the list of its member properties: the reply
  // is that object, not a packet holding the list.
  if (response.IsArray() && response.ArrayCount() > 0) {
    TVariantArray items = response.ArrayItems();
    bool members = true;
    for (const auto& item : items) {
      IPacket* p = VarPacketRef(item);
      if (!p || !p->IsTyped()) {
        members = false;
        break;
      }
    }
    if (members) return NewPacketFromArray("", std::move(items));
  }
  return NewPacketOf("", response);
}

void TChildProcessRequester::ProcessOutputLine(const std::string& ALine) {
  if (!ALine.empty()) FLastMessageTime.store(CurrentTime());
  switch (ClassifyLine(ALine)) {
    case lkReply: {
      int32_t id = 0;
      IPacketPtr reply = ParseReply(std::string_view(ALine).substr(1), id);
      ResolveRequest(id, reply);
      break;
    }
    case lkNotify: DoNotify(ALine.substr(1)); break;
    case lkKeepAlive: break;
    case lkEmpty:  // a blank line is output too: the user sees what the child wrote
    case lkOutput: DoOutput(ALine); break;
  }
}

void TChildProcessRequester::ProcessErrorLine(const std::string& ALine) { DoErrorOutput(ALine); }

void TChildProcessRequester::DoSendRequest(const IPacketPtr& ARequest, Variant& AId) {
  bool running;
  {
    std::lock_guard<std::mutex> lock(FControllerLock);
    running = ControllerRunning();
  }
  if (!running) {
    FInputBuffers.Clear();
    AId = Variant::Null();
    return;
  }
  // Ids stay positive: the child echoes them as JSON numbers that must convert back.
  FRequestId = FRequestId == INT32_MAX ? 1 : FRequestId + 1;
  FInputBuffers.Push(FormatRequestLine(FRequestId, ARequest->AsString()));
  AId = Variant(FRequestId);
}

int32_t TChildProcessRequester::GetRequestTimeOut(const IPacketPtr& ARequest) {
  try {
    return ARequest->GetProperty("Timeout", Variant(RequestTimeOut())).AsInt32();
  } catch (const std::exception&) {
    // A "Timeout" that is no number must not leave the request unregistered and unanswered.
    return RequestTimeOut();
  }
}

void TChildProcessRequester::FlushInput() {
  std::lock_guard<std::mutex> lock(FControllerLock);
  if (!ControllerRunning() || FInputBuffers.Empty()) {
    FInputBuffers.Clear();
    return;
  }
  std::string text = FInputBuffers.TakeBatch(MaxDataToSend());
  FController->SendToInput(std::vector<uint8_t>(text.begin(), text.end()));
}

void TChildProcessRequester::WaitForWork() {
  // The worker's queue does not wait (GetQueueDelay is 0): the pause between passes is spent
  // waiting on the child's output instead, so whichever stream speaks is read at once and the
  // order of the two streams is the order in which they spoke. A shared worker never waits here.
  if (TSharedSynchronizersPool::IsProxySynchronizer(Synchronizer()) || Synchronizer()->QueueCount() > 0) return;
  // Input typed for the child wakes the wait too, so that a key reaches the child at once.
  const uint32_t start = GetTickCount32();
  bool woken = false;
  {
    std::lock_guard<std::mutex> lock(FControllerLock);
    // The wait ends early when the child dies, so a Terminate waiting for the lock is not held up.
    woken = FController && FController->WaitForOutput(kIdleWaitMs, FWakeFd);
  }
  const uint32_t spent = TicksSince(start);
  if (!woken && spent < kIdleWaitMs && FWakeFd >= 0) {
    pollfd p{FWakeFd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(kIdleWaitMs - spent));
  }
  uint64_t count;
  if (FWakeFd >= 0) (void)!::read(FWakeFd, &count, sizeof count);
}

void TChildProcessRequester::Idle(int32_t AWaitMs) {
  // Writing goes on even when reading reported a failing line, so bad output cannot stall
  // the requests.
  std::exception_ptr failure;
  try {
    CheckProcess();
  } catch (...) {
    failure = std::current_exception();
  }
  WriteRawInput();
  uint32_t now = GetTickCount32();
  bool flushed = false;
  if (!FFlushedOnce || FlushInterval() == 0 || TickDiff(FLastDataFlush, now) > FlushInterval()) {
    FlushInput();
    FLastDataFlush = GetTickCount32();
    FFlushedOnce = true;
    flushed = true;
  }
  // A loop over waiting requests (AWaitMs > 0) goes on at once after a flush.
  if (!(flushed && AWaitMs > 0)) WaitForWork();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vexor
