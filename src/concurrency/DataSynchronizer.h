#pragma once
// Data synchronizers: named serial executors, the process-wide synchronizer pool and the
// run-and-wait task helpers.
//
// Guarantees and thread contracts:
// - Every IDataSynchronizer operation may be called from any thread. Closures handed to
//   Synchronize run one at a time on the synchronizer's processing thread, in the order of the
//   successful Synchronize calls. Exception: with bubbling off, a closure handed in from the
//   processing thread itself runs at once, inside Synchronize.
// - Synchronize returns false, and the closure never runs, once the synchronizer is finalized.
//   The ObjRef given with a closure stays referenced until the closure has run or been discarded.
// - An exception escaping a closure (or the after-pass callback) is prefixed with "Queue:<name> - "
//   and handed to the application exception handler; the synchronizer keeps running.
// - WaitFor may be called only on the processing thread. Never wait for a synchronizer from its own
//   processing thread by other means: TDataSynchronizerTask detects that and runs inline instead.
// - Finalize from a foreign thread drains everything queued before it and then stops the
//   synchronizer; a second Finalize does nothing. Releasing the last reference to a thread or timer
//   synchronizer handle finalizes it.
// - TDataSynchronizerTask::RunAndWait on the main thread keeps serving the main thread's
//   cross-thread call queue (at least every 25 ms) while it waits.
// - The pool (TSharedSynchronizersPool) may be used from any thread once StartSynchronizerPool has
//   run; its cache lock is taken before anything else and may be held while a synchronizer is
//   finalized.
#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "containers/RefCounted.h"

namespace vexor {

class IBasicTxTimer;
class ITxTimerEvent;

// The closure handed to a synchronizer.
using TSyncProc = std::function<void()>;
// The condition WaitFor keeps processing for.
using TSyncCondition = std::function<bool()>;
// A callback with a sender object (the executor for after-pass callbacks, the timer event for
// synchronized timer ticks).
using TSyncNotifyEvent = std::function<void(IInterface* ASender)>;

// Time-out value meaning "no limit".
constexpr uint32_t SyncNoTimeLimit = 0xFFFFFFFFu;

class IDataSynchronizer : public virtual IInterface {
 public:
  static constexpr const char* IID = "{9C67E6A9-AA87-48F1-94BA-A0F4792E1EFD}";

  // Hands AProc over. False when finalized or not queued.
  virtual bool Synchronize(TSyncProc AProc, TRef<IInterface> ObjRef = nullptr) = 0;
  // Items handed in and not yet taken into the batch being run.
  virtual int32_t QueueCount() = 0;
  virtual bool IsSynchronizerThread() = 0;
  virtual bool IsFinalized() = 0;
  virtual std::string GetName() = 0;
  // Drains and stops.
  virtual void Finalize() = 0;
  // Processing thread only: keeps processing the queue until ACondition holds (one pass when
  // ACondition is empty). Raises after 60 s.
  virtual void WaitFor(TSyncCondition ACondition) = 0;
  // One processing pass whose first fetch waits up to WaitMs; nothing once finalized.
  virtual void ProcessItems(int32_t WaitMs) = 0;
};

// Forwards every operation to the executor it wraps. Any thread.
class TBaseProxySynchronizer : public TRefCntObject, public IDataSynchronizer {
 public:
  explicit TBaseProxySynchronizer(TRef<IDataSynchronizer> ASynchronizer);
  ~TBaseProxySynchronizer() override;

  bool Synchronize(TSyncProc AProc, TRef<IInterface> ObjRef = nullptr) override;
  void Finalize() override;
  int32_t QueueCount() override;
  bool IsSynchronizerThread() override;
  bool IsFinalized() override;
  std::string GetName() override;
  void WaitFor(TSyncCondition ACondition) override;
  void ProcessItems(int32_t WaitMs) override;

  const TRef<IDataSynchronizer>& Synchronizer() const { return FSynchronizer; }

 protected:
  TBaseProxySynchronizer() = default;

  // Set at construction; only the destructor of a holder drops it.
  TRef<IDataSynchronizer> FSynchronizer;
};

// A synchronizer with its own worker thread, named after the synchronizer. Any thread.
class TThreadDataSynchronizer : public TBaseProxySynchronizer {
 public:
  class TThreadSynchronizer;  // the executor
  class TSynchronizerThread;  // its worker thread

  explicit TThreadDataSynchronizer(const std::string& AThreadName, bool ABubbling = false);
  // Finalizes (drains and stops) when not finalized yet.
  ~TThreadDataSynchronizer() override;

  void Finalize() override;
  // The wait of each processing pass when idle (default 250 ms).
  void SetProcessingDelay(int32_t WaitMs);
  std::string ThreadName() { return GetName(); }
  // Replaces the after-pass callback; empty removes it. Takes effect from the next pass.
  void SetOnExecute(TSyncNotifyEvent ACallback);

 protected:
  // The executor factory used by the constructor.
  static TRef<IDataSynchronizer> CreateSynchronizer(const std::string& AName, bool ABubbling);
  TThreadSynchronizer* Executor() const;

  // Set once by Finalize; read by the destructor and, for processing handles, by the worker.
  std::atomic<bool> FFinalized{false};
};

// A thread synchronizer whose worker also runs a processing procedure after every pass (after at
// most MaxTasks + 1 items, or after the queue delay passed without any item). Any thread.
class TThreadProcessingSynchronizer : public TThreadDataSynchronizer {
 public:
  TThreadProcessingSynchronizer(const std::string& AName, TSyncProc AProcessing, bool ABubbling = false,
                                int32_t QueueDelay = 250, int32_t MaxTasks = 32768);
  ~TThreadProcessingSynchronizer() override;

 protected:
  // Runs the processing procedure unless the handle is finalized. Processing thread.
  virtual void DoProcessing(IInterface* ASender);

  // Constant after construction.
  TSyncProc FMethod;
};

// A synchronizer without a thread of its own: every tick of its timer event (named AName + ":Event")
// runs everything queued so far, on the timer thread (the main thread when ASync). Any thread.
class TTimerDataSynchronizer : public TBaseProxySynchronizer {
 public:
  class TTimerSynchronizer;       // the executor
  class TTimerSynchronizerEvent;  // its timer-event holder

  TTimerDataSynchronizer(const TRef<IBasicTxTimer>& ATimer, uint32_t AIntervalMs, bool ASync, const std::string& AName,
                         bool ABubbling = false);
  // Finalizes when not finalized yet, so that the timer event does not outlive the handle.
  ~TTimerDataSynchronizer() override;
};

class ISynchronizedTimerEvent : public virtual IInterface {
 public:
  static constexpr const char* IID = "{678C2976-AC20-464A-ACD2-787AE2AADD85}";
  virtual TRef<ITxTimerEvent> GetEvent() = 0;
  virtual void Delete() = 0;
};

// A timer event whose ticks run TimerProc on a synchronizer; a tick is skipped while the previous
// one has not finished there. Created inactive: activate it through GetEvent. Delete (or the last
// release) stops the ticks and, off the processing thread, waits for a tick in flight. Any thread.
class TSynchronizerTimerEvent : public TRefCntObject, public ISynchronizedTimerEvent {
 public:
  TSynchronizerTimerEvent(const TRef<IBasicTxTimer>& ATimer, int32_t IntervalMS, const std::string& AName,
                          TSyncNotifyEvent TimerProc, TRef<IDataSynchronizer> Synchronizer);
  ~TSynchronizerTimerEvent() override;

  TRef<ITxTimerEvent> GetEvent() override;
  void Delete() override;

  bool InProcessing() const { return FInProcessing.load(std::memory_order_acquire); }

 private:
  void Tick(IInterface* ASender);

  // Guarded by FEventLock: cleared by Delete.
  std::mutex FEventLock;
  TRef<ITxTimerEvent> FEvent;
  // Flags shared by the timer thread, the processing thread and Delete.
  std::atomic<bool> FInProcessing{false};
  std::atomic<bool> FDeleted{false};
  // Constant after construction.
  TSyncNotifyEvent FOnEvent;
  TRef<IDataSynchronizer> FSynchronizer;
};

// ---------------------------------------------------------------------------------------------
// Pool

class IProxyDataSynchronizer : public virtual IInterface {
 public:
  static constexpr const char* IID = "{B1D6C65E-999E-44DC-8A06-7972A73AD6E5}";
  // The cached holder this proxy refers to.
  virtual TRef<IDataSynchronizer> CommonSynchronizer() = 0;
};

// The process-wide cache of named synchronizers. Callers get their own proxy on the cached one and
// must Finalize it before releasing it; finalizing a proxy drains what was queued before and
// leaves the shared synchronizer running. Cached synchronizers without proxies are stopped by the
// 15 s cleanup on "Global AppTimer". Any thread.
class TSharedSynchronizersPool {
 public:
  using TSynchronizerFactory = std::function<TRef<IDataSynchronizer>()>;

  // Proxy on the cached thread synchronizer AThreadName (created with ABubbling when missing).
  static TRef<IDataSynchronizer> NewSynchronizer(const std::string& AThreadName, std::same_as<bool> auto ABubbling) {
    return GetCommonThreadSynchronizer(AThreadName, ABubbling);
  }
  // Proxy on the synchronizer cached under AName; AFactory runs (under the cache lock) only when
  // AName is not cached. A processing synchronizer cannot be cached.
  static TRef<IDataSynchronizer> NewSynchronizer(const std::string& AName, const TSynchronizerFactory& AFactory);
  // Proxy on a timer synchronizer cached under AName, ticking every AIntervalMs on ATimer.
  static TRef<IDataSynchronizer> NewTimerSynchronizer(const std::string& AName, const TRef<IBasicTxTimer>& ATimer,
                                                      uint32_t AIntervalMs, bool ABubbling = false);
  // Proxy on the first of AThreadPrefix:0, :1, ... whose QueueCount is below AMaxTaskCount.
  static TRef<IDataSynchronizer> PoolSynchronizer(const std::string& AThreadPrefix, int32_t AMaxTaskCount,
                                                  bool ABubbling = false);
  // A further proxy on the holder of the proxy ASynchronizer.
  static TRef<IDataSynchronizer> ProxySynchronizer(const TRef<IDataSynchronizer>& ASynchronizer);
  static bool IsProxySynchronizer(IDataSynchronizer* ASynchronizer);
  static bool IsProxySynchronizer(const TRef<IDataSynchronizer>& ASynchronizer) {
    return IsProxySynchronizer(ASynchronizer.get());
  }
  // Number of proxies on the synchronizer cached under AName (0 when not cached).
  static int32_t GetSynchronizerUsage(const std::string& AName);
  // Stops every cached synchronizer no proxy uses (what the 15 s cleanup event runs).
  static void Cleanup();
  // Number of cached synchronizers.
  static int32_t CachedCount();
  // Process shut-down: waits for the cache to empty, forcing it after 15 s and again after 30 s.
  static void WaitFor();

 private:
  static TRef<IDataSynchronizer> GetCommonThreadSynchronizer(const std::string& AThreadName, bool ABubbling);
};

// Start-up and shut-down steps of the pool, called after the timer service has started and before
// it stops. Main thread.
void StartSynchronizerPool();
void StopSynchronizerPool();

// ---------------------------------------------------------------------------------------------
// Tasks

class IDataSynchronizerTask : public virtual IInterface {
 public:
  static constexpr const char* IID = "{DCE801F5-5591-403C-9876-6A17D30C6223}";
  // Waits (without limit, logging once a minute) until the task has run. True.
  virtual bool Wait(const std::string& ATaskName) = 0;
};

class TDataSynchronizerTask {
 public:
  // Runs AProc (may be empty: waits until everything queued before has run) on ASynchronizer and
  // waits. Inline on the processing thread. True when run, refused or finalized; false when TimeOut
  // (ms, SyncNoTimeLimit for none) expired first. ObjRef stays referenced during the call.
  static bool RunAndWait(const TRef<IDataSynchronizer>& ASynchronizer, TSyncProc AProc,
                         TRef<IInterface> ObjRef = nullptr, uint32_t TimeOut = SyncNoTimeLimit,
                         const std::string& ATaskName = std::string());
  // Queues AProc and returns a task to wait on.
  static TRef<IDataSynchronizerTask> Run(const TRef<IDataSynchronizer>& ASynchronizer, TSyncProc AProc,
                                         TRef<IInterface> ObjRef = nullptr);
};

}  // namespace vexor
