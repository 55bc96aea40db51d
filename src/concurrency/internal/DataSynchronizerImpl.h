#pragma once
// The executors behind the synchronizer handles, for the synchronizer and pool sources and their
// tests. Callers use the handles of DataSynchronizer.h.
// TBasicDataSynchronizer: Synchronize, QueueCount, IsFinalized, GetName and Finalize may be called
// from any thread; ProcessItems only on the processing thread (the worker, or the thread that
// delivers the timer ticks), which the first pass fixes.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "concurrency/QuickSynQueue.h"
#include "concurrency/SimpleEvent.h"
#include "concurrency/DataSynchronizer.h"

namespace vexor {

class IAppStatCounter;

// Waits up to AMs for AEvent. On the main thread the wait is cut into slices of at most
// ASliceMs, and the main thread's cross-thread call queue is served between them, so that
// closures the awaited work hands to the main thread still run. True when AEvent was set.
bool WaitServingMainThread(ILightweightEvent& AEvent, uint32_t AMs, uint32_t ASliceMs = 25);

class TBasicDataSynchronizer : public TRefCntObject, public IDataSynchronizer {
 public:
  // Items the queue holds before producers wait; one pass of the worker takes at most
  // kDefaultMaxTasks of them, half the queue.
  static constexpr uint32_t kQueueCapacity = 65536;
  static constexpr int32_t kDefaultMaxTasks = 32768;
  // A synchronous call that has waited a minute for its item fails instead of hanging.
  static constexpr uint32_t kWaitLimitMs = 60000;
  // Items between two updates of the pending counter within one pass (a power of two).
  static constexpr int32_t kPendingPublishEvery = 1024;

  // The queued work item: the closure and a reference kept alive until the item has run or has
  // been discarded (never called).
  struct TSyncItem {
    TSyncProc FMethod;
    TRef<IInterface> FRef;
    TSyncItem() = default;
    TSyncItem(TSyncProc AMethod, TRef<IInterface> ARef) : FMethod(std::move(AMethod)), FRef(std::move(ARef)) {}
    void Clear() {
      FMethod = nullptr;
      FRef = nullptr;
    }
  };

  explicit TBasicDataSynchronizer(const std::string& AName);
  ~TBasicDataSynchronizer() override;

  // IDataSynchronizer
  bool Synchronize(TSyncProc AProc, TRef<IInterface> ObjRef = nullptr) override;
  int32_t QueueCount() override { return static_cast<int32_t>(FQueue.GetCount()); }
  bool IsSynchronizerThread() override;
  bool IsFinalized() override { return FFinalized.load(std::memory_order_acquire); }
  std::string GetName() override { return FName; }
  void Finalize() override;
  void WaitFor(TSyncCondition ACondition) override;
  void ProcessItems(int32_t WaitMs) override;

  // Marks the synchronizer finalized; subclasses add their own stop.
  virtual void DoFinalize();

  void SetOnExecute(TSyncNotifyEvent ACallback);
  void SetBubbling(bool AValue) { FBubbling.store(AValue, std::memory_order_relaxed); }
  bool Bubbling() const { return FBubbling.load(std::memory_order_relaxed); }
  void SetMaxTasks(int32_t AValue) { FMaxTasks.store(AValue, std::memory_order_relaxed); }
  int32_t MaxTasks() const { return FMaxTasks.load(std::memory_order_relaxed); }
  uint32_t ThreadId() const { return FThreadId.load(std::memory_order_acquire); }

 protected:
  // One processing pass (ProcessItems without the processing-thread check).
  void RunPass(int32_t WaitMs);
  // Releases, unrun, the items still queued. Processing thread, once finalized.
  void DiscardQueued();
  // Sets the pending counter to the items queued and not yet run. Processing thread: it is
  // updated by the consumer alone (after every pass and every kPendingPublishEvery items), since
  // a shared counter touched by every producer and by the consumer for each item cost more than
  // the hand-over itself.
  void PublishPending();
  // Reports an exception that ended a pass, its message prefixed with the queue's name.
  void ReportPassException(std::exception_ptr AException);

  // Constant after construction.
  const std::string FName;
  TRef<IAppStatCounter> FPending;  // "Synchronizer." + name: items queued and not yet run
  // Flags written by one side and read by the other without a lock. Producers read them on every
  // Synchronize, so they keep a cache line apart from the queue's consumer-written fields.
  alignas(64) std::atomic<uint32_t> FThreadId{0};
  std::atomic<bool> FBubbling{false};
  std::atomic<bool> FFinalized{false};
  std::atomic<bool> FHasOnExecute{false};  // mirrors whether FOnExecute is set
  std::atomic<int32_t> FMaxTasks{kDefaultMaxTasks};
  // Has its own lock.
  alignas(64) TQuickSynQueue<TSyncItem> FQueue;
  // Processing thread only: the value last written to FPending.
  int64_t FPublishedPending = 0;
  // Guarded by FOnExecuteLock.
  alignas(64) std::mutex FOnExecuteLock;
  TSyncNotifyEvent FOnExecute;
};

class TThreadDataSynchronizer::TThreadSynchronizer : public TBasicDataSynchronizer {
 public:
  static constexpr int32_t kDefaultQueueDelay = 250;

  TThreadSynchronizer(const std::string& AName, bool ABubbling);

  void DoFinalize() override;
  void SetQueueDelay(int32_t AValue) { FQueueDelay.store(AValue, std::memory_order_relaxed); }
  int32_t QueueDelay() const { return FQueueDelay.load(std::memory_order_relaxed); }
  // True once the worker thread has left its loop and dropped its reference.
  bool WorkerEnded() const { return FWorkerEnded.load(std::memory_order_acquire); }

 private:
  friend class TThreadDataSynchronizer;
  friend class TThreadDataSynchronizer::TSynchronizerThread;
  // Starts the worker; called once by the handle after construction.
  void Start();

  // The wait of each pass of the worker.
  std::atomic<int32_t> FQueueDelay{kDefaultQueueDelay};
  // Set by DoFinalize, read by the worker loop.
  std::atomic<bool> FTerminate{false};
  std::atomic<bool> FWorkerEnded{false};
};

class TTimerDataSynchronizer::TTimerSynchronizer : public TBasicDataSynchronizer {
 public:
  TTimerSynchronizer(const std::string& AName, bool ABubbling);
  ~TTimerSynchronizer() override;

  // Routes through the timer-event holder until it is finalized, then the shared path.
  void Finalize() override;

 private:
  friend class TTimerDataSynchronizer;
  friend class TTimerDataSynchronizer::TTimerSynchronizerEvent;
  // Registers and activates the timer event; called once by the handle after construction.
  void Start(const TRef<IBasicTxTimer>& ATimer, uint32_t AIntervalMs, bool ASync);
  // The final step once no tick will come any more.
  void FinalizeUnregistered();

  // Set by Start; the holder's own state is guarded by its lock.
  std::unique_ptr<TTimerSynchronizerEvent> FEvent;
};

}  // namespace vexor
