#include "concurrency/TxTimer.h"

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Exceptions.h"
#include "concurrency/ExThread.h"
#include "containers/IndexList.h"
#include "containers/InterfaceList.h"
#include "concurrency/LockedVar.h"
#include "platform/MainThread.h"
#include "concurrency/SimpleEvent.h"
#include "platform/Ticks.h"
#include "diagnostics/AppStats.h"

namespace vexor {
namespace {

// The longest sleep of a timer thread between two looks at its events: an event whose interval
// changed without a wake-up is late by a second at the most.
constexpr int32_t kMaxWaitMs = 1000;
// Deactivating an event waits this long for its running callback; longer means a callback that
// hangs, which is reported instead of waited for without end.
constexpr uint32_t kDeactivateWaitMs = 60000;

std::atomic<bool> gTimersShuttingDown{false};

class TxTimer;
class TxTimerThread;

std::string TypeName(const std::type_info& AType) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(AType.name(), nullptr, nullptr, &status),
                                                   std::free);
  return status == 0 && demangled ? demangled.get() : AType.name();
}

// The owning timer, held as a plain back-pointer: the timer unlinks its events before it goes,
// and a counted reference is taken under the variable's lock only while the timer still lives.
class TxTimerVar : public TLockedVar<TxTimer*> {
 public:
  explicit TxTimerVar(TxTimer* AVal) : TLockedVar<TxTimer*>(AVal) {}
  TRef<TxTimer> GetTimerRef(bool AClear);

 protected:
  bool Assigned(TxTimer* const& AVal) override { return AVal != nullptr; }
};

class TxTimerEvent : public TRefCntObject, public ITxEvent {
 public:
  TxTimerEvent(TxTimer* AOwner, std::string AName, TTimerNotify AEvent, int32_t AInterval, bool ASynchronized,
               const std::string& AThreadName)
      : FSynchronized(ASynchronized),
        FInterval(AInterval),
        FOwner(AOwner),
        FName(std::move(AName)),
        FEventTime(TAppStatRegistry::DynCounter("Event." + AThreadName + "." + FName)),
        FEvent(std::move(AEvent)) {}

  bool GetActive() override {
    std::lock_guard<std::mutex> lock(FLock);
    return FActive && !FDeleting;
  }
  TTimerNotify GetOnTimer() override {
    std::lock_guard<std::mutex> lock(FLock);
    return FEvent;
  }
  int32_t GetInterval() override { return FInterval.load(); }
  bool GetSynchronized() override {
    std::lock_guard<std::mutex> lock(FLock);
    return FSynchronized;
  }
  std::string GetName() override { return FName; }
  void SetActive(bool AValue) override {
    if (AValue)
      Activate();
    else
      Deactivate(true);
  }
  void SetInterval(int32_t AValue) override;
  void SetSynchronized(bool AValue) override {
    std::lock_guard<std::mutex> lock(FLock);
    FSynchronized = AValue;
  }
  TRef<ITxTimer> GetTimer() override;
  void Delete() override;
  void Activate() override;
  void Deactivate(bool AWait) override;
  void Restart(int32_t AInterval) override {
    std::lock_guard<std::mutex> lock(FLock);
    if (FDeleting) return;
    FActive = false;
    if (AInterval > 0) FInterval.store(AInterval);
    // An explicit mark: a last-run tick of 0 is not "long ago" while the counter itself is
    // small (it starts at boot).
    FDue = true;
    FActive = true;
  }
  void Unlink() override {
    FOwner.SetVar(nullptr);
    ReleaseCallback();
  }
  uint32_t GetLastTime() override { return FLastTime.load(); }
  void SetLastTime(uint32_t AValue) override {
    std::lock_guard<std::mutex> lock(FLock);
    FLastTime.store(AValue);
    FDue = false;
  }

  // The timer's own references (its list entry and the two taken while examining the entry)
  // account for three; anything above is a holder outside the timer.
  bool IsUsed() override { return RefCount() > 3; }
  uint32_t SetRunTime(uint32_t ALastExecuted) override {
    uint32_t now = GetTickCount32();
    {
      std::lock_guard<std::mutex> lock(FLock);
      FLastTime.store(now);
      FDue = false;
    }
    uint32_t duration = TickDiff(ALastExecuted, now);
    FEventTime->Val(int64_t(duration));
    return duration;
  }
  bool IsReadyToRun(int64_t& AMinWait) override {
    if (!IsUsed()) {
      Delete();
      return false;
    }
    // Under the monitor: Activate sets the start time and the flag together, and a claim must
    // not see the flag without the time (a fresh event would fire at once).
    std::lock_guard<std::mutex> lock(FLock);
    uint32_t last = FLastTime.load();
    uint32_t elapsed = TicksSince(last);
    int32_t interval = FInterval.load();
    if (interval < 0) return false;  // never fires, and must not shorten the pause
    if (FDue || elapsed >= uint32_t(interval)) return TrySetPendingLocked();
    AMinWait = std::min<int64_t>(AMinWait, int64_t(interval) - int64_t(elapsed));
    return false;
  }
  bool ActiveAndUsed() override { return GetActive() && IsUsed(); }
  void ClearPending() override {
    TTimerNotify dropped;
    std::lock_guard<std::mutex> lock(FLock);
    FPending = false;
    FThreadId = 0;
    if (FDropCallback) dropped.swap(FEvent);
  }
  // Runs only while pending, when the callback cannot be dropped.
  void Run() override {
    if (FEvent) FEvent(this);
  }

  bool IsPending() {
    std::lock_guard<std::mutex> lock(FLock);
    return FPending;
  }

 private:
  bool TrySetPendingLocked() {
    if (!FActive || FPending || FDeleting) return false;
    FPending = true;
    FThreadId = FSynchronized ? MainThreadNativeId() : GetCurrentThreadId();
    return true;
  }
  // The caller is the thread running this event's callback.
  bool IsInEventLocked() {
    return (FThreadId != 0 && FThreadId == GetCurrentThreadId()) || (FSynchronized && FPending && IsMainThread());
  }
  bool IsInEvent() {
    std::lock_guard<std::mutex> lock(FLock);
    return IsInEventLocked();
  }
  // The callback is never needed again; it goes now, or after the run in progress. This also
  // ends the cycle of a posted event whose handler holds the event.
  void ReleaseCallback() {
    TTimerNotify dropped;
    std::lock_guard<std::mutex> lock(FLock);
    if (FPending)
      FDropCallback = true;
    else
      dropped.swap(FEvent);
  }

  // Guarded by FLock (the event's monitor).
  std::mutex FLock;
  bool FActive = false;
  bool FDeleting = false;
  bool FPending = false;
  bool FSynchronized;
  bool FDropCallback = false;
  // Due at the next check whatever the ticks say: set until the first activation or run
  // gives the event a time, and by Restart.
  bool FDue = true;
  uint32_t FThreadId = 0;
  // Read by the timer thread without the monitor.
  std::atomic<int32_t> FInterval;
  std::atomic<uint32_t> FLastTime{0};
  TxTimerVar FOwner;
  // Constant after construction.
  const std::string FName;
  TRef<IAppStatCounter> FEventTime;
  // Replaced only when dropped (see ReleaseCallback).
  TTimerNotify FEvent;
};

class TxTimerThread : public TExThread {
 public:
  explicit TxTimerThread(const std::string& AName) : TExThread(false, AName) {}

  void AddEvent(const TRef<ITxEvent>& AEvent) {
    FEvents.Add(AEvent);
    RecalcMinWait();
    FQueuEvent.SetEvent();
  }
  void RemoveEvent(ITxEvent* AEvent) {
    FEvents.Remove(AEvent);
    RecalcMinWait();
  }
  // A sleeping thread is woken to re-plan: it may be in a pause computed before this event was
  // due, and would otherwise fire it only up to a second late.
  void LowerMinWait(int32_t AInterval) {
    if (AInterval < 0) return;
    int32_t cur = FMinWaitTime.load();
    while (AInterval < cur) {
      if (FMinWaitTime.compare_exchange_weak(cur, AInterval)) {
        FQueuEvent.SetEvent();
        return;
      }
    }
  }
  void Clear() {
    auto snap = TSafeInterfaceListEnumerator<ITxEvent>::SnapOf(FEvents);
    snap->ForEach([](const TRef<ITxEvent>& AEvent) { AEvent->Unlink(); });
    FEvents.Clear();
  }
  int32_t Count() { return FEvents.Count(); }
  bool Enabled() const { return FEnabled.load(); }
  void SetEnabledFlag(bool AValue) { FEnabled.store(AValue); }
  bool InSynchronize() const { return FInSynchronize.load(); }

  // Polls ACondition until it holds (true), ATimeoutMs passes (false) or the thread terminates
  // (true). On the timer thread itself it answers true at once; on the main thread it serves
  // the main thread's call queue between polls.
  bool WaitCondition(const std::function<bool()>& ACondition, uint32_t ATimeoutMs) {
    if (CurrentThread() == this) return true;
    uint32_t start = GetTickCount32();
    bool onMain = IsMainThread();
    for (;;) {
      if (ACondition()) return true;
      if (TicksSince(start) > ATimeoutMs) return false;
      if (Terminated()) return true;
      if (onMain) CheckSynchronize(0);
    }
  }
  bool WaitForEvent(const TRef<ILightweightEvent>& AEvent, uint32_t ATimeoutMs) {
    return WaitCondition([&] { return AEvent->WaitFor(5) == wrSignaled; }, ATimeoutMs);
  }

 protected:
  void Execute() override;
  void TerminatedSet() override {
    Clear();
    FQueuEvent.SetEvent();
  }

 private:
  void RecalcMinWait() {
    int32_t w = kMaxWaitMs;
    auto snap = TSafeInterfaceListEnumerator<ITxEvent>::SnapOf(FEvents);
    snap->ForEach([&](const TRef<ITxEvent>& AEvent) {
      int32_t interval = AEvent->GetInterval();
      if (AEvent->GetActive() && interval >= 0) w = std::min(w, interval);
    });
    FMinWaitTime.store(w);
  }
  bool ServeEvent(TRef<ITxEvent> AEvent, int64_t& AWait);
  void DoEvent(ITxEvent* AEvent);
  void RunEvent(ITxEvent* AEvent);

  TInterfaceList<ITxEvent> FEvents;
  TSimpleEvent FQueuEvent;
  std::atomic<bool> FEnabled{true};
  std::atomic<int32_t> FMinWaitTime{kMaxWaitMs};
  std::atomic<bool> FInSynchronize{false};
};

void TxTimerThread::Execute() {
  size_t i = 0;
  int64_t w = kMaxWaitMs;
  while (!Terminated() && !gTimersShuttingDown.load()) {
    try {
      if (!FEnabled.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        continue;
      }
      if (FEvents.Count() == 0) {
        FQueuEvent.WaitFor(INFINITE);
        FQueuEvent.ResetEvent();
        continue;
      }
      if (i >= size_t(FEvents.Count())) {
        if (w > 0 && FQueuEvent.WaitFor(uint32_t(std::min<int64_t>(w, kMaxWaitMs))) == wrSignaled)
          FQueuEvent.ResetEvent();
        i = 0;
        w = FMinWaitTime.load();
      }
      if (TRef<ITxEvent> event = FEvents.Get(int(i))) ServeEvent(event, w);
      ++i;
    } catch (...) {
      HandleAppException(std::current_exception(), ThreadName().c_str());
    }
  }
  // Shut-down of the service: park instead of running into torn-down services.
  if (gTimersShuttingDown.load() && !Terminated()) Suspend();
}

// AEvent is the second of the timer's two examining references.
bool TxTimerThread::ServeEvent(TRef<ITxEvent> AEvent, int64_t& AWait) {
  if (!AEvent->IsReadyToRun(AWait)) return false;
  uint32_t start = GetTickCount32();
  try {
    if (!Terminated()) DoEvent(AEvent.get());
  } catch (...) {
    AEvent->ClearPending();
    AWait -= AEvent->SetRunTime(start);
    throw;
  }
  AEvent->ClearPending();
  AWait -= AEvent->SetRunTime(start);
  return true;
}

void TxTimerThread::DoEvent(ITxEvent* AEvent) {
  if (AEvent->GetSynchronized()) {
    FInSynchronize.store(true);
    try {
      SynchronizeMain([this, AEvent] {
        if (FEnabled.load() && AEvent->ActiveAndUsed()) RunEvent(AEvent);
      });
    } catch (...) {
      FInSynchronize.store(false);
      throw;
    }
    FInSynchronize.store(false);
  } else if (FEnabled.load() && AEvent->ActiveAndUsed()) {
    RunEvent(AEvent);
  }
}

void TxTimerThread::RunEvent(ITxEvent* AEvent) {
  if (!AEvent->ActiveAndUsed()) {
    AEvent->Delete();
    return;
  }
  try {
    AEvent->Run();
  } catch (...) {
    std::exception_ptr e = std::current_exception();
    if (IsAbortException(e)) return;
    std::string text = ThreadName() + ": " + AEvent->GetName() + " " + ExceptionMessage(e);
    HandleAppException(std::make_exception_ptr(Exception(text)), ThreadName().c_str());
  }
}

class TxTimer : public TRefCntObject, public ITxTimer {
 public:
  explicit TxTimer(const std::string& AName) : FName(AName), FThread(NewThread<TxTimerThread>(AName)) {}
  ~TxTimer() override {
    // Termination unlinks and drops the events and wakes the thread, which then ends and goes.
    FThread->Terminate();
  }

  TRef<ITxTimerEvent> AddEvent(int32_t AIntervalMS, const std::string& AName, TTimerNotify ATimerProc,
                               bool ASynchronize) override {
    auto event = MakeRef<TxTimerEvent>(this, AName, std::move(ATimerProc), AIntervalMS, ASynchronize,
                                       FThread->ThreadName());
    FThread->AddEvent(event);
    return event;
  }
  TRef<ITxTimerEvent> AddEvent(int32_t AIntervalMS, TTimerNotify ATimerProc, bool ASynchronize) override {
    std::string name = TypeName(ATimerProc ? ATimerProc.target_type() : typeid(void)) + ":Timer Event";
    return AddEvent(AIntervalMS, name, std::move(ATimerProc), ASynchronize);
  }
  void PostEvent(TTimerNotify ATimerProc, int32_t AIntervalMS, bool ASynchronize) override {
    Post(std::move(ATimerProc), nullptr, AIntervalMS, ASynchronize);
  }
  void PostEvent(TTimerProc ATimerProc, int32_t AIntervalMS, bool ASynchronize) override {
    Post(nullptr, std::move(ATimerProc), AIntervalMS, ASynchronize);
  }
  bool SyncEvent(TTimerProc AMethod, int32_t AIntervalMS, uint32_t AWait, bool ASynchronize) override;
  bool Synchronize(TTimerProc AMethod) override { return SyncEvent(std::move(AMethod), 0, 60000, false); }
  void DelEvent(TRef<ITxTimerEvent>& AEvent) override {
    TRef<ITxTimerEvent> event = std::move(AEvent);
    if (event) event->Delete();
  }
  bool IsInTimerThread() override { return TExThread::CurrentThread() == FThread.get(); }
  std::string GetName() override { return FName; }
  void Clear() override { FThread->Clear(); }
  int32_t GetCount() override { return FThread->Count(); }
  bool GetEnabled() override { return FThread->Enabled(); }
  void SetEnabled(bool AValue) override {
    if (AValue == FThread->Enabled()) return;
    if (AValue) {
      FThread->SetEnabledFlag(true);
      return;
    }
    TxTimerThread* thread = FThread.get();
    SyncEvent([thread] { thread->SetEnabledFlag(false); }, 0, 60000, false);
  }

  TxTimerThread* Thread() const { return FThread.get(); }

 private:
  // A one-shot event: runs once, then deletes itself, even when the callback raises.
  struct TPostEventHandler {
    TRef<ITxTimerEvent> FEvent;
    TTimerProc FMethod;
    TTimerNotify FNotify;
  };
  void Post(TTimerNotify ANotify, TTimerProc AMethod, int32_t AIntervalMS, bool ASynchronize) {
    auto handler = std::make_shared<TPostEventHandler>();
    handler->FNotify = std::move(ANotify);
    handler->FMethod = std::move(AMethod);
    auto event = AddEvent(
        AIntervalMS, "PostEvent",
        [handler](ITxTimerEvent* ASender) {
          TRef<ITxTimerEvent> self = std::move(handler->FEvent);
          if (!self) return;  // ran already
          struct TFinally {
            TRef<ITxTimerEvent>& E;
            ~TFinally() { E->Delete(); }
          } done{self};
          if (handler->FNotify) handler->FNotify(ASender);
          if (handler->FMethod) handler->FMethod();
        },
        ASynchronize);
    handler->FEvent = event;
    event->Activate();
  }

  const std::string FName;
  TRef<TxTimerThread> FThread;
};

TRef<TxTimer> TxTimerVar::GetTimerRef(bool AClear) {
  return Locked([&](TxTimer*& AVal) {
    TRef<TxTimer> ref;
    if (AVal && AVal->TryAddRef()) ref = TRef<TxTimer>::Adopt(AVal);
    if (AClear) AVal = nullptr;
    return ref;
  });
}

TRef<ITxTimer> TxTimerEvent::GetTimer() { return FOwner.GetTimerRef(false); }

void TxTimerEvent::SetInterval(int32_t AValue) {
  FInterval.store(AValue);
  if (auto timer = FOwner.GetTimerRef(false)) timer->Thread()->LowerMinWait(AValue);
}

void TxTimerEvent::Activate() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (FActive || FDeleting) return;
    // A first activation counts the interval from now; interval 0 stays due at the next check.
    if (FDue && FInterval.load() != 0) {
      FLastTime.store(GetTickCount32());
      FDue = false;
    }
    FActive = true;
  }
  if (auto timer = FOwner.GetTimerRef(false)) timer->Thread()->LowerMinWait(FInterval.load());
}

void TxTimerEvent::Deactivate(bool AWait) {
  bool wasBusy;
  {
    std::lock_guard<std::mutex> lock(FLock);
    wasBusy = FActive || FPending;
    FActive = false;
  }
  if (!AWait || !wasBusy || IsInEvent()) return;
  TRef<TxTimer> timer = FOwner.GetTimerRef(false);
  if (!timer) return;
  bool idle = timer->Thread()->WaitCondition(
      [this] {
        if (!IsPending()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !IsPending();
      },
      kDeactivateWaitMs);
  if (!idle) throw Exception("Timeout waiting for event \"" + FName + "\" to be deactivated");
}

void TxTimerEvent::Delete() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (FDeleting) return;
    FDeleting = true;
  }
  Deactivate(true);
  if (TRef<TxTimer> timer = FOwner.GetTimerRef(true)) timer->Thread()->RemoveEvent(this);
  ReleaseCallback();
  std::lock_guard<std::mutex> lock(FLock);
  if (FActive || !FDeleting || (FPending && !IsInEventLocked()))
    throw Exception("Assertion failed: timer event \"" + FName + "\" still active or running after Delete");
}

bool TxTimer::SyncEvent(TTimerProc AMethod, int32_t AIntervalMS, uint32_t AWait, bool ASynchronize) {
  bool onMain = IsMainThread();
  if (IsInTimerThread() || (ASynchronize && onMain)) {
    if (AMethod) {
      if (ASynchronize)
        SynchronizeMain(AMethod);
      else
        AMethod();
    }
    return true;
  }
  if (onMain && FThread->InSynchronize()) {
    // The timer thread waits for us: waiting for it would deadlock.
    if (AMethod) throw Exception("Can't executed sync event in synchronize.");
    return true;
  }
  // Shared with the closure, which may still run after we gave up waiting.
  TRef<ILightweightEvent> done = MakeRef<TXLightweightEvent>(false, 10);
  PostEvent(TTimerProc([AMethod, done] {
              struct TFinally {
                const TRef<ILightweightEvent>& D;
                ~TFinally() { D->SetEvent(); }
              } signal{done};
              if (AMethod) AMethod();
            }),
            0, false);
  return FThread->WaitForEvent(done, AWait);
}

// Shared timers: one timer per name while any holder keeps it.
class TSharedTimer;
std::mutex& SharedTimersLock() {
  static auto* m = new std::mutex;  // outlives every holder
  return *m;
}

class TSharedTimers : public TStrIndex<TSharedTimer> {
 public:
  TSharedTimers() : TStrIndex<TSharedTimer>(false, nullptr, "TSharedTimers") { RemoveLocking(); }
  std::string _Value(TSharedTimer* AObject) override;
};
TSharedTimers* gSharedTimers = nullptr;  // guarded by SharedTimersLock()

class TSharedTimer : public TRefCntObject, public IBasicTxTimer {
 public:
  TSharedTimer(std::string AName, TRef<ITxTimer> ATimer) : FName(std::move(AName)), FTimer(std::move(ATimer)) {}

  // Counts drop under the list's lock, so GetSharedTimer never revives a timer on its way out.
  int32_t _Release() noexcept override {
    int32_t n;
    {
      std::lock_guard<std::mutex> lock(SharedTimersLock());
      n = DecRef();
      if (n == 0 && FLinked && gSharedTimers) gSharedTimers->Remove(this);
    }
    if (n == 0) delete this;
    return n;
  }

  TRef<ITxTimerEvent> AddEvent(int32_t AIntervalMS, const std::string& AName, TTimerNotify ATimerProc,
                               bool ASynchronize) override {
    return FTimer->AddEvent(AIntervalMS, AName, std::move(ATimerProc), ASynchronize);
  }
  TRef<ITxTimerEvent> AddEvent(int32_t AIntervalMS, TTimerNotify ATimerProc, bool ASynchronize) override {
    return FTimer->AddEvent(AIntervalMS, std::move(ATimerProc), ASynchronize);
  }
  void PostEvent(TTimerNotify ATimerProc, int32_t AIntervalMS, bool ASynchronize) override {
    FTimer->PostEvent(std::move(ATimerProc), AIntervalMS, ASynchronize);
  }
  void PostEvent(TTimerProc ATimerProc, int32_t AIntervalMS, bool ASynchronize) override {
    FTimer->PostEvent(std::move(ATimerProc), AIntervalMS, ASynchronize);
  }
  bool SyncEvent(TTimerProc AMethod, int32_t AIntervalMS, uint32_t AWait, bool ASynchronize) override {
    return FTimer->SyncEvent(std::move(AMethod), AIntervalMS, AWait, ASynchronize);
  }
  bool Synchronize(TTimerProc AMethod) override { return FTimer->Synchronize(std::move(AMethod)); }
  void DelEvent(TRef<ITxTimerEvent>& AEvent) override { FTimer->DelEvent(AEvent); }
  bool IsInTimerThread() override { return FTimer->IsInTimerThread(); }
  std::string GetName() override { return FName; }

  const std::string FName;
  bool FLinked = true;  // guarded by SharedTimersLock()

 private:
  TRef<ITxTimer> FTimer;
};

std::string TSharedTimers::_Value(TSharedTimer* AObject) { return AObject->FName; }

std::mutex gAppTimerLock;
TRef<ITxTimer> gAppTimer;  // guarded by gAppTimerLock

}  // namespace

TRef<ITxTimer> NewTimer(const std::string& AName) { return MakeRef<TxTimer>(AName); }

TRef<IBasicTxTimer> GetSharedTimer(const std::string& AName) {
  {
    std::lock_guard<std::mutex> lock(SharedTimersLock());
    if (!gSharedTimers && gTimersShuttingDown.load()) return nullptr;
  }
  if (!gSharedTimers) StartTimerService();  // used as a library: the first call starts it
  std::lock_guard<std::mutex> lock(SharedTimersLock());
  if (!gSharedTimers) return nullptr;
  TSharedTimer* found = nullptr;
  if (gSharedTimers->TryGetValue(AName, found)) return TRef<IBasicTxTimer>(found);
  auto timer = MakeRef<TSharedTimer>(AName, NewTimer(AName));
  gSharedTimers->Add(timer.get());
  return timer;
}

TRef<ITxTimer> AppTimer() {
  std::lock_guard<std::mutex> lock(gAppTimerLock);
  return gAppTimer;
}

bool TimersShuttingDown() { return gTimersShuttingDown.load(); }

void StartTimerService() {
  gTimersShuttingDown.store(false);
  {
    std::lock_guard<std::mutex> lock(gAppTimerLock);
    if (!gAppTimer) gAppTimer = NewTimer("Global AppTimer");
  }
  std::lock_guard<std::mutex> lock(SharedTimersLock());
  if (!gSharedTimers) gSharedTimers = new TSharedTimers;
}

void StopTimerService() {
  gTimersShuttingDown.store(true);
  TRef<ITxTimer> app;
  {
    std::lock_guard<std::mutex> lock(gAppTimerLock);
    app.Swap(gAppTimer);
  }
  TRef<TExThread> appThread;
  if (app) {
    app->Clear();
    appThread = TRef<TExThread>(static_cast<TxTimer*>(app.get())->Thread());
  }
  {
    std::lock_guard<std::mutex> lock(SharedTimersLock());
    if (gSharedTimers) {
      // Timers still held elsewhere live on with their holders, detached from the list.
      for (TSharedTimer* timer : *gSharedTimers) timer->FLinked = false;
      delete gSharedTimers;
      gSharedTimers = nullptr;
    }
  }
  app = nullptr;
  // Give the timer threads a moment to leave their loops.
  if (appThread) appThread->WaitFor(250);
}

}  // namespace vexor
