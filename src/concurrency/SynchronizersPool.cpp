// The process-wide synchronizer pool and the run-and-wait task helpers.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "concurrency/internal/DataSynchronizerImpl.h"
#include "platform/Exceptions.h"
#include "containers/IntfIndex.h"
#include "platform/MainThread.h"
#include "platform/Ticks.h"
#include "concurrency/DataSynchronizer.h"
#include "platform/StrFormat.h"
#include "diagnostics/MessageLog.h"
#include "concurrency/TxTimer.h"

namespace vexor {

namespace {

// Idle shared synchronizers are looked for every 15 s: often enough to free threads a burst left
// behind, rarely enough to cost nothing.
constexpr uint32_t kCleanupIntervalMs = 15000;
// At shut-down the pool waits up to two such periods for busy synchronizers, checking every 50 ms,
// then forces them.
constexpr uint32_t kShutdownPeriodMs = 15000;
constexpr uint32_t kShutdownPollMs = 50;
// A task that runs longer than a minute is logged as late (and waited for again); a waiting main
// thread serves its call queue every 25 ms meanwhile, so a task that needs it cannot deadlock.
constexpr uint32_t kTaskSliceMs = 60000;
constexpr uint32_t kMainThreadSliceMs = 25;


void LogSkippedWait(const std::string& AName) {
  LogMessage(tmsTrace2, "TDataSynchronizerTask",
             "**** [Wait Operation Skipped] Waiting on finalized synchronizer: " + AName);
}

void LogTaskError(const std::string& ASynchronizerName, const std::string& ATaskName) {
  LogMessage(tmsTrace2, "TDataSynchronizerTask",
             "************ TASK ERROR WAITING ON SYNCHRONIZER " + ASynchronizerName + " (" + ATaskName + ")");
}

// Sets an event when the last copy of the closure that carries it is destroyed, so that a waiter
// also wakes when its item is discarded without running.
class TSignalOnRelease {
 public:
  explicit TSignalOnRelease(TRef<ILightweightEvent> AEvent) : FEvent(std::move(AEvent)) {}
  ~TSignalOnRelease() { FEvent->SetEvent(); }
  TSignalOnRelease(const TSignalOnRelease&) = delete;
  TSignalOnRelease& operator=(const TSignalOnRelease&) = delete;

 private:
  TRef<ILightweightEvent> FEvent;
};

// ---------------------------------------------------------------------------------------------
// Holders and proxies

// The cached holder of one real synchronizer; its last release finalizes that synchronizer.
class TSharedSynchronizer : public TBaseProxySynchronizer {
 public:
  explicit TSharedSynchronizer(TRef<IDataSynchronizer> ASynchronizer)
      : TBaseProxySynchronizer(std::move(ASynchronizer)) {}
  ~TSharedSynchronizer() override {
    if (FSynchronizer) {
      FSynchronizer->Finalize();
      FSynchronizer = nullptr;
    }
  }
};

// A caller's handle on a cached holder. Finalizing it drains what was queued before and refuses
// further work; the shared synchronizer keeps running.
class TProxySynchronizer : public TBaseProxySynchronizer, public IProxyDataSynchronizer {
 public:
  explicit TProxySynchronizer(TRef<IDataSynchronizer> AHolder) : TBaseProxySynchronizer(std::move(AHolder)) {}

  ~TProxySynchronizer() override {
    if (!FFinalized.load(std::memory_order_acquire) && FSynchronizer)
      TMessagesList::ConsoleLog(Format("******* ERROR ******* Proxy synchronizer not finalized: %s",
                                       FSynchronizer->GetName().c_str()));
  }

  bool Synchronize(TSyncProc AProc, TRef<IInterface> ObjRef = nullptr) override {
    if (FFinalized.load(std::memory_order_acquire)) return false;
    return TBaseProxySynchronizer::Synchronize(std::move(AProc), std::move(ObjRef));
  }

  bool IsFinalized() override {
    return FFinalized.load(std::memory_order_acquire) || TBaseProxySynchronizer::IsFinalized();
  }

  void Finalize() override {
    if (FFinalized.load(std::memory_order_acquire) || !FSynchronizer) return;
    auto mark = [this] { FFinalized.store(true, std::memory_order_release); };
    if (!FSynchronizer->IsSynchronizerThread()) {
      TDataSynchronizerTask::RunAndWait(TRef<IDataSynchronizer>(static_cast<IDataSynchronizer*>(this)), mark, nullptr,
                                        SyncNoTimeLimit, "Finalize");
      // A shared synchronizer that is already finalized refuses the closure: nothing more will run.
      FFinalized.store(true, std::memory_order_release);
      return;
    }
    FSynchronizer->Synchronize(mark, nullptr);
    FSynchronizer->WaitFor([this] { return FFinalized.load(std::memory_order_acquire); });
  }

  TRef<IDataSynchronizer> CommonSynchronizer() override { return FSynchronizer; }

 private:
  std::atomic<bool> FFinalized{false};
};

// ---------------------------------------------------------------------------------------------
// The process-wide cache

class TSharedSynchronizers {
 public:
  TSharedSynchronizers() {
    if (TRef<ITxTimer> timer = AppTimer()) {
      FCleanup = timer->AddEvent(
          kCleanupIntervalMs, "Shared Synchronizers Cleanup", [this](IInterface*) { Cleanup(); }, false);
      FCleanup->Activate();
    }
  }
  ~TSharedSynchronizers() {
    DeleteCleanupEvent();
    FCache.Clear();
  }

  void DeleteCleanupEvent() {
    if (FCleanup) {
      FCleanup->Delete();
      FCleanup = nullptr;
    }
  }

  // Lookup-or-create under the write lock; the factory runs under it too.
  TRef<IDataSynchronizer> GetHolder(const std::string& AName,
                                    const TSharedSynchronizersPool::TSynchronizerFactory& AFactory) {
    int ix;
    if (FCache.Find(AName, ix)) return FCache.GetItem(ix);
    TRef<IDataSynchronizer> product = AFactory ? AFactory() : nullptr;
    if (!product) throw Exception("Synchronizer factory returned no synchronizer for " + AName);
    if (dynamic_cast<TThreadProcessingSynchronizer*>(product.get())) {
      product->Finalize();
      throw Exception("TThreadProcessingSynchronizer can't be cached");
    }
    TRef<IDataSynchronizer> holder = MakeRef<TSharedSynchronizer>(std::move(product));
    FCache.Add(AName, holder);
    return holder;
  }

  void Cleanup() {
    FCache.Lock();
    try {
      for (int i = FCache.GetCount() - 1; i >= 0; --i) {
        bool unused;
        {
          TRef<IDataSynchronizer> holder = FCache.GetItem(i);
          unused = holder->RefCount() < 3;  // the cache's reference and this one
        }
        if (unused) FCache.Delete(i);  // drops the holder, which finalizes its synchronizer
      }
    } catch (...) {
      FCache.Unlock();
      throw;
    }
    FCache.Unlock();
  }

  void ForcePass() {
    FCache.Lock();
    try {
      TMessagesList::ConsoleLog(Format("*********** WARNING: %d Synchronizers in cache", FCache.GetCount()));
      for (int i = 0; i < FCache.GetCount(); ++i) {
        TRef<IDataSynchronizer> holder = FCache.GetItem(i);
        TMessagesList::ConsoleLog(Format("            [%s] - Still in use", holder->GetName().c_str()));
        holder->Finalize();
      }
      FCache.Clear();
    } catch (...) {
      FCache.Unlock();
      throw;
    }
    FCache.Unlock();
  }

  TStrIntfIndex<IDataSynchronizer> FCache;

 private:
  TRef<ITxTimerEvent> FCleanup;
};

std::mutex GPoolLock;  // guards creating and dropping the pool object
std::atomic<TSharedSynchronizers*> GPool{nullptr};

TSharedSynchronizers& Pool() {
  TSharedSynchronizers* pool = GPool.load(std::memory_order_acquire);
  if (pool) return *pool;
  // Used before start-up (a library without the service start): start it now.
  StartSynchronizerPool();
  return *GPool.load(std::memory_order_acquire);
}

// Runs AAction under the cache's write lock.
template <class F>
auto UnderCacheLock(TSharedSynchronizers& APool, F&& AAction) {
  APool.FCache.Lock();
  try {
    auto result = AAction();
    APool.FCache.Unlock();
    return result;
  } catch (...) {
    APool.FCache.Unlock();
    throw;
  }
}

TRef<IDataSynchronizer> NewProxy(TRef<IDataSynchronizer> AHolder) {
  return TRef<IDataSynchronizer>(MakeRef<TProxySynchronizer>(std::move(AHolder)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TSharedSynchronizersPool

TRef<IDataSynchronizer> TSharedSynchronizersPool::GetCommonThreadSynchronizer(const std::string& AThreadName,
                                                                              bool ABubbling) {
  return NewSynchronizer(AThreadName, TSynchronizerFactory([&] {
                           return TRef<IDataSynchronizer>(MakeRef<TThreadDataSynchronizer>(AThreadName, ABubbling));
                         }));
}

TRef<IDataSynchronizer> TSharedSynchronizersPool::NewSynchronizer(const std::string& AName,
                                                                  const TSynchronizerFactory& AFactory) {
  TSharedSynchronizers& pool = Pool();
  return UnderCacheLock(pool, [&] { return NewProxy(pool.GetHolder(AName, AFactory)); });
}

TRef<IDataSynchronizer> TSharedSynchronizersPool::NewTimerSynchronizer(const std::string& AName,
                                                                       const TRef<IBasicTxTimer>& ATimer,
                                                                       uint32_t AIntervalMs, bool ABubbling) {
  return NewSynchronizer(AName, TSynchronizerFactory([&] {
                           return TRef<IDataSynchronizer>(MakeRef<TTimerDataSynchronizer>(ATimer, AIntervalMs, false,
                                                                                          AName + ":Event", ABubbling));
                         }));
}

TRef<IDataSynchronizer> TSharedSynchronizersPool::PoolSynchronizer(const std::string& AThreadPrefix,
                                                                   int32_t AMaxTaskCount, bool ABubbling) {
  TSharedSynchronizers& pool = Pool();
  return UnderCacheLock(pool, [&] {
    for (int n = 0;; ++n) {
      std::string name = AThreadPrefix + ":" + std::to_string(n);
      TRef<IDataSynchronizer> holder = pool.GetHolder(name, [&] {
        return TRef<IDataSynchronizer>(MakeRef<TThreadDataSynchronizer>(name, ABubbling));
      });
      if (holder->QueueCount() < AMaxTaskCount) return NewProxy(std::move(holder));
    }
  });
}

TRef<IDataSynchronizer> TSharedSynchronizersPool::ProxySynchronizer(const TRef<IDataSynchronizer>& ASynchronizer) {
  auto* proxy = dynamic_cast<TProxySynchronizer*>(ASynchronizer.get());
  if (!proxy) throw Exception("Attempt to create proxy on non shared synchronizer");
  return NewProxy(proxy->CommonSynchronizer());
}

bool TSharedSynchronizersPool::IsProxySynchronizer(IDataSynchronizer* ASynchronizer) {
  return dynamic_cast<TProxySynchronizer*>(ASynchronizer) != nullptr;
}

int32_t TSharedSynchronizersPool::GetSynchronizerUsage(const std::string& AName) {
  TSharedSynchronizers& pool = Pool();
  return UnderCacheLock(pool, [&] {
    int ix;
    if (!pool.FCache.Find(AName, ix)) return 0;
    TRef<IDataSynchronizer> holder = pool.FCache.GetItem(ix);
    return holder->RefCount() - 2;
  });
}

void TSharedSynchronizersPool::Cleanup() {
  if (TSharedSynchronizers* pool = GPool.load(std::memory_order_acquire)) pool->Cleanup();
}

int32_t TSharedSynchronizersPool::CachedCount() {
  TSharedSynchronizers* pool = GPool.load(std::memory_order_acquire);
  return pool ? UnderCacheLock(*pool, [&] { return pool->FCache.GetCount(); }) : 0;
}

void TSharedSynchronizersPool::WaitFor() {
  TSharedSynchronizers* pool = GPool.load(std::memory_order_acquire);
  if (!pool) return;
  pool->DeleteCleanupEvent();
  uint32_t start = GetTickCount32();
  int forced = 0;
  for (;;) {
    if (CachedCount() == 0) break;
    pool->Cleanup();
    if (CachedCount() > 0) {
      if (IsMainThread())
        CheckSynchronize(kShutdownPollMs);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(kShutdownPollMs));
    }
    if (TickElapsed(start, kShutdownPeriodMs)) {
      ++forced;
      pool->ForcePass();
      if (forced >= 2) break;
      start = GetTickCount32();
    }
  }
}

void StartSynchronizerPool() {
  std::lock_guard<std::mutex> lock(GPoolLock);
  if (!GPool.load(std::memory_order_relaxed)) GPool.store(new TSharedSynchronizers(), std::memory_order_release);
}

void StopSynchronizerPool() {
  TSharedSynchronizersPool::WaitFor();
  std::lock_guard<std::mutex> lock(GPoolLock);
  delete GPool.exchange(nullptr, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------------------------------------
// Tasks

namespace {

class TTask : public TRefCntObject, public IDataSynchronizerTask {
 public:
  explicit TTask(std::string AName) : FInished(MakeRef<TXLightweightEvent>(false, 10)), FName(std::move(AName)) {}

  bool Wait(const std::string& ATaskName) override {
    while (!WaitServingMainThread(*FInished, kTaskSliceMs, kMainThreadSliceMs)) LogTaskError(FName, ATaskName);
    return true;
  }

  // Constant after construction.
  TRef<ILightweightEvent> FInished;
  const std::string FName;
};

}  // namespace

bool TDataSynchronizerTask::RunAndWait(const TRef<IDataSynchronizer>& ASynchronizer, TSyncProc AProc,
                                       TRef<IInterface> ObjRef, uint32_t TimeOut, const std::string& ATaskName) {
  if (!ASynchronizer) throw Exception("RunAndWait without a synchronizer: " + ATaskName);
  if (ASynchronizer->IsSynchronizerThread()) {
    if (AProc) AProc();
    return true;
  }
  TRef<ILightweightEvent> done = MakeRef<TXLightweightEvent>(false, 10);
  auto signal = std::make_shared<TSignalOnRelease>(done);
  bool queued = ASynchronizer->Synchronize(
      [proc = std::move(AProc), done, signal] {
        struct TSetOnExit {
          ILightweightEvent& Event;
          ~TSetOnExit() { Event.SetEvent(); }
        } setOnExit{*done};
        if (proc) proc();
      },
      nullptr);
  signal.reset();
  if (!queued) {
    LogSkippedWait(ATaskName);
    return true;
  }
  uint32_t remaining = TimeOut;
  for (;;) {
    uint32_t slice = TimeOut == SyncNoTimeLimit ? kTaskSliceMs : (remaining < kTaskSliceMs ? remaining : kTaskSliceMs);
    if (TimeOut != SyncNoTimeLimit) remaining -= slice;
    bool set = WaitServingMainThread(*done, slice, kMainThreadSliceMs);
    if (set || ASynchronizer->IsFinalized()) return true;
    if (TimeOut != SyncNoTimeLimit && remaining == 0) return false;
    LogTaskError(ASynchronizer->GetName(), ATaskName);
  }
}

TRef<IDataSynchronizerTask> TDataSynchronizerTask::Run(const TRef<IDataSynchronizer>& ASynchronizer, TSyncProc AProc,
                                                       TRef<IInterface> ObjRef) {
  if (!ASynchronizer) throw Exception("Run without a synchronizer");
  TRef<TTask> task = MakeRef<TTask>(ASynchronizer->GetName());
  if (ASynchronizer->IsSynchronizerThread()) {
    struct TSetOnExit {
      ILightweightEvent& Event;
      ~TSetOnExit() { Event.SetEvent(); }
    } setOnExit{*task->FInished};
    if (AProc) AProc();
    return task;
  }
  auto signal = std::make_shared<TSignalOnRelease>(task->FInished);
  bool queued = ASynchronizer->Synchronize(
      [proc = std::move(AProc), ref = std::move(ObjRef), signal]() mutable {
        struct TFinish {
          std::shared_ptr<TSignalOnRelease>& Signal;
          TRef<IInterface>& Ref;
          ~TFinish() {
            Ref = nullptr;
            Signal.reset();
          }
        } finish{signal, ref};
        if (proc) proc();
      },
      TRef<IInterface>(static_cast<IDataSynchronizerTask*>(task.get())));
  signal.reset();
  if (!queued) {
    LogSkippedWait(task->FName);
    task->FInished->SetEvent();
  }
  return task;
}

}  // namespace vexor
