#include "concurrency/DataSynchronizer.h"

#include <cstdio>
#include <thread>

#include "concurrency/internal/DataSynchronizerImpl.h"
#include "concurrency/ExThread.h"
#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "platform/StrFormat.h"
#include "platform/Ticks.h"
#include "diagnostics/AppStats.h"
#include "diagnostics/MessageLog.h"
#include "concurrency/TxTimer.h"

namespace vexor {

bool WaitServingMainThread(ILightweightEvent& AEvent, uint32_t AMs, uint32_t ASliceMs) {
  if (!IsMainThread()) return AEvent.WaitFor(AMs) == wrSignaled;
  uint32_t start = GetTickCount32();
  for (;;) {
    uint32_t elapsed = TicksSince(start);
    uint32_t left = AMs == SyncNoTimeLimit ? ASliceMs : (elapsed >= AMs ? 0 : AMs - elapsed);
    if (AEvent.WaitFor(left < ASliceMs ? left : ASliceMs) == wrSignaled) return true;
    if (AMs != SyncNoTimeLimit && TickElapsed(start, AMs)) return false;
    CheckSynchronize(0);
  }
}

// ---------------------------------------------------------------------------------------------
// TBasicDataSynchronizer

TBasicDataSynchronizer::TBasicDataSynchronizer(const std::string& AName)
    : FName(AName),
      FPending(TAppStatRegistry::DynCounter("Synchronizer." + AName)),
      FQueue(nullptr, AName, kQueueCapacity) {}

TBasicDataSynchronizer::~TBasicDataSynchronizer() {
  if (!IsFinalized()) TMessagesList::ConsoleLog(Format("***** SYNCHRONIZER NOT FINALIZED: %s ******", FName.c_str()));
}

bool TBasicDataSynchronizer::IsSynchronizerThread() {
  uint32_t id = FThreadId.load(std::memory_order_acquire);
  return id != 0 && id == CachedThreadId();
}

bool TBasicDataSynchronizer::Synchronize(TSyncProc AProc, TRef<IInterface> ObjRef) {
  if (IsFinalized()) return false;
  if (IsSynchronizerThread() && !Bubbling()) {
    if (AProc) AProc();
    return true;
  }
  return FQueue.PushAndSignal(TSyncItem(std::move(AProc), std::move(ObjRef)));
}

void TBasicDataSynchronizer::SetOnExecute(TSyncNotifyEvent ACallback) {
  std::lock_guard<std::mutex> lock(FOnExecuteLock);
  FHasOnExecute.store(static_cast<bool>(ACallback), std::memory_order_release);
  FOnExecute = std::move(ACallback);
}

void TBasicDataSynchronizer::ProcessItems(int32_t WaitMs) {
  // A second consumer would corrupt the queue's batch.
  uint32_t id = FThreadId.load(std::memory_order_acquire);
  if (id != 0 && id != GetCurrentThreadId())
    throw Exception("ProcessItems can be called only on the processing thread of " + FName);
  RunPass(WaitMs);
}

void TBasicDataSynchronizer::RunPass(int32_t WaitMs) {
  if (IsFinalized()) return;
  if (FThreadId.load(std::memory_order_relaxed) == 0) FThreadId.store(GetCurrentThreadId(), std::memory_order_release);
  uint32_t wait = WaitMs < 0 ? 0 : static_cast<uint32_t>(WaitMs);
  int32_t runs = 0;
  TSyncItem item;
  try {
    while (!IsFinalized()) {
      if (!FQueue.PopAndWait(item, wait)) break;
      wait = 0;  // only the first fetch of a pass waits
      ++runs;
      try {
        if (item.FMethod) item.FMethod();
      } catch (...) {
        item.Clear();
        PublishPending();
        throw;
      }
      item.Clear();
      if ((runs & (kPendingPublishEvery - 1)) == 0) PublishPending();
      if (runs > MaxTasks() && FHasOnExecute.load(std::memory_order_acquire)) break;
    }
    if (runs) PublishPending();
    if (!IsFinalized() && FHasOnExecute.load(std::memory_order_acquire)) {
      TSyncNotifyEvent callback;
      {
        std::lock_guard<std::mutex> lock(FOnExecuteLock);
        callback = FOnExecute;
      }
      if (callback) callback(static_cast<IDataSynchronizer*>(this));
    }
  } catch (...) {
    ReportPassException(std::current_exception());
  }
}

void TBasicDataSynchronizer::DiscardQueued() {
  TSyncItem item;
  while (FQueue.PopAndWait(item, 0)) item.Clear();
  PublishPending();
}

void TBasicDataSynchronizer::PublishPending() {
  // Waiting in the producers' buffer, plus what is left of the batch being run.
  int64_t pending = int64_t(FQueue.GetCount()) + FQueue.PopBuffer().Count() - FQueue.HeadPosition();
  if (pending == FPublishedPending) return;
  FPublishedPending = pending;
  if (FPending) FPending->Val(pending);
}

void TBasicDataSynchronizer::ReportPassException(std::exception_ptr AException) {
  std::string text = (IsFinalized() ? "Finalized Queue:" : "Queue:") + FName + " - " + ExceptionMessage(AException);
  HandleAppException(std::make_exception_ptr(Exception(text)), FName.c_str());
}

void TBasicDataSynchronizer::WaitFor(TSyncCondition ACondition) {
  if (!IsSynchronizerThread()) throw Exception("WaitFor can be called only inside synchronize");
  if (!ACondition) {
    ProcessItems(0);
    return;
  }
  uint32_t start = GetTickCount32();
  for (;;) {
    if (ACondition()) return;
    ProcessItems(0);
    if (TickElapsed(start, kWaitLimitMs)) throw Exception("Waiting for is waiting too long");
  }
}

void TBasicDataSynchronizer::DoFinalize() { FFinalized.store(true, std::memory_order_release); }

void TBasicDataSynchronizer::Finalize() {
  if (IsFinalized()) return;
  TRef<TBasicDataSynchronizer> self(this);
  if (IsSynchronizerThread()) {
    if (Bubbling()) {
      Synchronize([this] { DoFinalize(); }, TRef<IInterface>(static_cast<IDataSynchronizer*>(this)));
    } else {
      ProcessItems(0);
      DoFinalize();
    }
    WaitFor([this] { return IsFinalized(); });
    return;
  }
  // The event belongs to the queued item as well as to this waiter: an item that runs after the
  // wait gave up still signals a live event.
  TRef<ILightweightEvent> done = MakeRef<TXLightweightEvent>(false, 10);
  bool queued = Synchronize(
      [this, done] {
        if (!IsFinalized()) DoFinalize();
        done->SetEvent();
      },
      TRef<IInterface>(static_cast<IDataSynchronizer*>(this)));
  if (queued && !WaitServingMainThread(*done, kWaitLimitMs))
    LogMessage(tmsTrace2, FName, Format("**** Warning: Timeout on finalizing synchronizer %s", FName.c_str()));
}

// ---------------------------------------------------------------------------------------------
// Thread executor and its worker

// The worker: runs passes until its executor is finalized, then drops the executor.
class TThreadDataSynchronizer::TSynchronizerThread : public TExThread {
 public:
  TSynchronizerThread(TRef<TThreadSynchronizer> AExecutor)
      : TExThread(false, AExecutor->GetName()), FSynchronizer(std::move(AExecutor)) {}

 protected:
  void Execute() override {
    FSynchronizer->FThreadId.store(GetCurrentThreadId(), std::memory_order_release);
    while (!Terminated() && !FSynchronizer->FTerminate.load(std::memory_order_acquire))
      FSynchronizer->RunPass(FSynchronizer->QueueDelay());
    // Items that came too late never run; releasing them now wakes whoever waits on them.
    if (FSynchronizer->IsFinalized()) FSynchronizer->DiscardQueued();
    TThreadSynchronizer* executor = FSynchronizer.Detach();
    executor->FWorkerEnded.store(true, std::memory_order_release);
    executor->_Release();
  }

 private:
  // Dropped when the loop ends: the executor lives until its thread is done with it.
  TRef<TThreadSynchronizer> FSynchronizer;
};

TThreadDataSynchronizer::TThreadSynchronizer::TThreadSynchronizer(const std::string& AName, bool ABubbling)
    : TBasicDataSynchronizer(AName) {
  SetBubbling(ABubbling);
}

void TThreadDataSynchronizer::TThreadSynchronizer::Start() {
  // The running thread keeps its own reference to itself; ours is not needed.
  NewThread<TSynchronizerThread>(TRef<TThreadSynchronizer>(this));
}

void TThreadDataSynchronizer::TThreadSynchronizer::DoFinalize() {
  TBasicDataSynchronizer::DoFinalize();
  // The worker sees this after its current pass, at most one queue delay later.
  FTerminate.store(true, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Timer executor and its timer-event holder

// Owns the timer event whose ticks run the executor's passes. Its state is shared with the tick
// callback and with closures handed to the timer, so that none of them outlives what it touches.
class TTimerDataSynchronizer::TTimerSynchronizerEvent {
 public:
  struct TState {
    std::mutex Lock;
    // Guarded by Lock.
    TRef<ITxTimerEvent> FEvent;
    TRef<TTimerSynchronizer> FSynchronizer;  // held until finalization
    bool FFinalized = false;
  };

  TTimerSynchronizerEvent(TTimerSynchronizer* AExecutor, const TRef<IBasicTxTimer>& ATimer, uint32_t AIntervalMs,
                          bool ASync, const std::string& AName)
      : FTimer(ATimer), FTimerName(ATimer->GetName()), FState(std::make_shared<TState>()) {
    FState->FSynchronizer = TRef<TTimerSynchronizer>(AExecutor);
    std::weak_ptr<TState> weak = FState;
    FState->FEvent = ATimer->AddEvent(
        static_cast<int32_t>(AIntervalMs), AName,
        [weak](ITxTimerEvent*) {
          if (std::shared_ptr<TState> state = weak.lock()) Tick(*state);
        },
        ASync);
  }

  ~TTimerSynchronizerEvent() {
    TRef<ITxTimerEvent> event;
    {
      std::lock_guard<std::mutex> lock(FState->Lock);
      event = std::move(FState->FEvent);
    }
    if (event) {
      // Should not happen: the executor lives until finalization has deleted the event.
      event->Delete();
      HandleAppException(std::make_exception_ptr(Exception(Format("Couldn't finalize Synchronizer timer of %s",
                                                                  FTimerName.c_str()))),
                         "uDataSynchronizer");
    }
  }

  void Activate() {
    TRef<ITxTimerEvent> event;
    {
      std::lock_guard<std::mutex> lock(FState->Lock);
      event = FState->FEvent;
    }
    if (event) event->Activate();
  }

  bool Finalized() {
    std::lock_guard<std::mutex> lock(FState->Lock);
    return FState->FFinalized;
  }

  void Finalize() {
    TRef<TTimerSynchronizer> executor;
    bool hasEvent;
    {
      std::lock_guard<std::mutex> lock(FState->Lock);
      if (FState->FFinalized) return;
      FState->FFinalized = true;
      executor = FState->FSynchronizer;
      hasEvent = static_cast<bool>(FState->FEvent);
    }
    if (executor && executor->IsSynchronizerThread()) {
      executor->ProcessItems(0);
      Unregister(*FState, executor);
    } else if (hasEvent && executor) {
      // A drain pass and the removal on the timer thread, between two ticks.
      std::shared_ptr<TState> state = FState;
      bool done = false;
      try {
        // For a synchronized event the ticks come on the main thread; the timer thread, which
        // delivers them, is between two of them here.
        done = FTimer->Synchronize([state, executor] {
          executor->RunPass(0);
          Unregister(*state, executor);
        });
      } catch (...) {
        done = false;
      }
      if (!done) Unregister(*FState, executor);
    } else if (executor) {
      Unregister(*FState, executor);
    }
    std::lock_guard<std::mutex> lock(FState->Lock);
    FState->FSynchronizer = nullptr;
  }

 private:
  static void Tick(TState& AState) {
    TRef<TTimerSynchronizer> executor;
    {
      std::lock_guard<std::mutex> lock(AState.Lock);
      executor = AState.FSynchronizer;
    }
    if (executor) executor->ProcessItems(0);
  }

  static void Unregister(TState& AState, const TRef<TTimerSynchronizer>& AExecutor) {
    TRef<ITxTimerEvent> event;
    {
      std::lock_guard<std::mutex> lock(AState.Lock);
      event = std::move(AState.FEvent);
    }
    if (event) event->Delete();
    AExecutor->FinalizeUnregistered();
  }

  // Constant after construction.
  TRef<IBasicTxTimer> FTimer;
  const std::string FTimerName;
  std::shared_ptr<TState> FState;
};

TTimerDataSynchronizer::TTimerSynchronizer::TTimerSynchronizer(const std::string& AName, bool ABubbling)
    : TBasicDataSynchronizer(AName) {
  SetBubbling(ABubbling);
}

TTimerDataSynchronizer::TTimerSynchronizer::~TTimerSynchronizer() = default;

void TTimerDataSynchronizer::TTimerSynchronizer::Start(const TRef<IBasicTxTimer>& ATimer, uint32_t AIntervalMs,
                                                       bool ASync) {
  FEvent = std::make_unique<TTimerSynchronizerEvent>(this, ATimer, AIntervalMs, ASync, FName + ":Event");
  FEvent->Activate();
}

void TTimerDataSynchronizer::TTimerSynchronizer::Finalize() {
  if (FEvent && !FEvent->Finalized())
    FEvent->Finalize();
  else
    TBasicDataSynchronizer::Finalize();
}

void TTimerDataSynchronizer::TTimerSynchronizer::FinalizeUnregistered() {
  if (IsFinalized()) return;
  if (IsSynchronizerThread()) {
    TBasicDataSynchronizer::Finalize();
  } else {
    // No tick will come any more, so a queued finalization item would never run.
    DoFinalize();
  }
}

// ---------------------------------------------------------------------------------------------
// Handles

TBaseProxySynchronizer::TBaseProxySynchronizer(TRef<IDataSynchronizer> ASynchronizer)
    : FSynchronizer(std::move(ASynchronizer)) {}

TBaseProxySynchronizer::~TBaseProxySynchronizer() = default;

bool TBaseProxySynchronizer::Synchronize(TSyncProc AProc, TRef<IInterface> ObjRef) {
  return FSynchronizer && FSynchronizer->Synchronize(std::move(AProc), std::move(ObjRef));
}
void TBaseProxySynchronizer::Finalize() {
  if (FSynchronizer) FSynchronizer->Finalize();
}
int32_t TBaseProxySynchronizer::QueueCount() { return FSynchronizer ? FSynchronizer->QueueCount() : 0; }
bool TBaseProxySynchronizer::IsSynchronizerThread() { return FSynchronizer && FSynchronizer->IsSynchronizerThread(); }
bool TBaseProxySynchronizer::IsFinalized() { return !FSynchronizer || FSynchronizer->IsFinalized(); }
std::string TBaseProxySynchronizer::GetName() { return FSynchronizer ? FSynchronizer->GetName() : std::string(); }
void TBaseProxySynchronizer::WaitFor(TSyncCondition ACondition) {
  if (!FSynchronizer) throw Exception("WaitFor can be called only inside synchronize");
  FSynchronizer->WaitFor(std::move(ACondition));
}
void TBaseProxySynchronizer::ProcessItems(int32_t WaitMs) {
  if (FSynchronizer) FSynchronizer->ProcessItems(WaitMs);
}

TRef<IDataSynchronizer> TThreadDataSynchronizer::CreateSynchronizer(const std::string& AName, bool ABubbling) {
  return MakeRef<TThreadSynchronizer>(AName, ABubbling);
}

TThreadDataSynchronizer::TThreadDataSynchronizer(const std::string& AThreadName, bool ABubbling)
    : TBaseProxySynchronizer(CreateSynchronizer(AThreadName, ABubbling)) {
  Executor()->Start();
}

TThreadDataSynchronizer::~TThreadDataSynchronizer() {
  if (!FFinalized.load(std::memory_order_acquire)) TThreadDataSynchronizer::Finalize();
}

TThreadDataSynchronizer::TThreadSynchronizer* TThreadDataSynchronizer::Executor() const {
  return static_cast<TThreadSynchronizer*>(FSynchronizer.get());
}

void TThreadDataSynchronizer::Finalize() {
  FFinalized.store(true, std::memory_order_release);
  TBaseProxySynchronizer::Finalize();
}

void TThreadDataSynchronizer::SetProcessingDelay(int32_t WaitMs) { Executor()->SetQueueDelay(WaitMs); }

void TThreadDataSynchronizer::SetOnExecute(TSyncNotifyEvent ACallback) {
  Executor()->SetOnExecute(std::move(ACallback));
}

TThreadProcessingSynchronizer::TThreadProcessingSynchronizer(const std::string& AName, TSyncProc AProcessing,
                                                             bool ABubbling, int32_t QueueDelay, int32_t MaxTasks)
    : TThreadDataSynchronizer(AName, ABubbling), FMethod(std::move(AProcessing)) {
  Executor()->SetMaxTasks(MaxTasks);
  Executor()->SetQueueDelay(QueueDelay);
  SetOnExecute([this](IInterface* ASender) { DoProcessing(ASender); });
}

TThreadProcessingSynchronizer::~TThreadProcessingSynchronizer() {
  // The callback points at this handle: stop the executor first, then detach it.
  if (!FFinalized.load(std::memory_order_acquire)) TThreadDataSynchronizer::Finalize();
  Executor()->SetOnExecute(nullptr);
}

void TThreadProcessingSynchronizer::DoProcessing(IInterface* ASender) {
  if (!FFinalized.load(std::memory_order_acquire) && FMethod) FMethod();
}

TTimerDataSynchronizer::TTimerDataSynchronizer(const TRef<IBasicTxTimer>& ATimer, uint32_t AIntervalMs, bool ASync,
                                               const std::string& AName, bool ABubbling) {
  if (!ATimer) throw Exception("Timer synchronizer " + AName + " needs a timer");
  TRef<TTimerSynchronizer> executor = MakeRef<TTimerSynchronizer>(AName, ABubbling);
  executor->Start(ATimer, AIntervalMs, ASync);
  FSynchronizer = executor;
}

TTimerDataSynchronizer::~TTimerDataSynchronizer() {
  if (FSynchronizer && !FSynchronizer->IsFinalized()) FSynchronizer->Finalize();
}

// ---------------------------------------------------------------------------------------------
// TSynchronizerTimerEvent

namespace {

// Ends a tick's stay on the synchronizer when the closure carrying it is released (after it ran,
// or unrun): the next tick may go, and the event's self reference is dropped.
class TTickInFlight {
 public:
  TTickInFlight(std::atomic<bool>& AFlag, TRef<IInterface> ASelf) : FFlag(AFlag), FSelf(std::move(ASelf)) {}
  ~TTickInFlight() {
    TRef<IInterface> self = std::move(FSelf);
    FFlag.store(false, std::memory_order_release);
  }
  TTickInFlight(const TTickInFlight&) = delete;
  TTickInFlight& operator=(const TTickInFlight&) = delete;

 private:
  std::atomic<bool>& FFlag;
  TRef<IInterface> FSelf;
};

}  // namespace

TSynchronizerTimerEvent::TSynchronizerTimerEvent(const TRef<IBasicTxTimer>& ATimer, int32_t IntervalMS,
                                                 const std::string& AName, TSyncNotifyEvent TimerProc,
                                                 TRef<IDataSynchronizer> Synchronizer)
    : FOnEvent(std::move(TimerProc)), FSynchronizer(std::move(Synchronizer)) {
  if (!ATimer) throw Exception("Synchronized timer event " + AName + " needs a timer");
  if (!FSynchronizer) throw Exception("Synchronized timer event " + AName + " needs a synchronizer");
  // The timer reaches this object through a plain pointer: Delete, which the destructor runs,
  // removes the event and waits for a callback in progress before the object goes.
  FEvent = ATimer->AddEvent(
      IntervalMS, AName, [this](ITxTimerEvent* ASender) { Tick(ASender); }, false);
}

TSynchronizerTimerEvent::~TSynchronizerTimerEvent() { Delete(); }

TRef<ITxTimerEvent> TSynchronizerTimerEvent::GetEvent() {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FEvent;
}

void TSynchronizerTimerEvent::Tick(IInterface* ASender) {
  if (FInProcessing.exchange(true, std::memory_order_acq_rel)) return;  // the previous tick is still queued or running
  if (FDeleted.load(std::memory_order_acquire) || !TryAddRef()) {
    FInProcessing.store(false, std::memory_order_release);
    return;
  }
  auto inFlight = std::make_shared<TTickInFlight>(FInProcessing,
                                                  TRef<IInterface>::Adopt(static_cast<ISynchronizedTimerEvent*>(this)));
  TRef<IInterface> sender(ASender);
  bool queued = false;
  try {
    queued = FSynchronizer->Synchronize([this, inFlight, sender] {
      if (!FDeleted.load(std::memory_order_acquire) && FOnEvent) FOnEvent(sender.get());
    });
  } catch (...) {
    inFlight.reset();
    throw;
  }
  (void)queued;  // refused: dropping inFlight below clears the flag at once
}

void TSynchronizerTimerEvent::Delete() {
  TRef<ITxTimerEvent> event;
  {
    std::lock_guard<std::mutex> lock(FEventLock);
    event = std::move(FEvent);
  }
  if (!event) return;
  FDeleted.store(true, std::memory_order_release);
  event->Delete();
  if (InProcessing() && !FSynchronizer->IsSynchronizerThread()) {
    TDataSynchronizerTask::RunAndWait(FSynchronizer, nullptr, nullptr, SyncNoTimeLimit, std::string());
    if (InProcessing() && !FSynchronizer->IsFinalized())
      HandleAppException(std::make_exception_ptr(Exception("Synchronized timer event still in processing after Delete")),
                         "uDataSynchronizer");
  }
}

}  // namespace vexor
