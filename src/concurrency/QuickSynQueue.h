#pragma once
// The bounded two-buffer work queue of the data synchronizers.
// Producers (any thread) append to the push buffer under the lock; the one consumer thread (fixed
// by its first PopAndWait) swaps the buffers in one short lock per batch and then takes items
// from its own buffer without locking. The push buffer holds at most AMaxSize items: a producer
// waits up to 60 s for a free place (freed by the next swap) and then fails with the deadlock
// error. The consumer may push too: while the push buffer is empty its item joins the batch it is
// working on. Items still queued at destruction are destroyed without being run.
// An idle consumer polls briefly before it blocks, and only the item that starts a batch wakes a
// blocked consumer, so a busy queue costs producers one short lock per item and no system call.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/Exceptions.h"
#include "concurrency/SimpleEvent.h"
#include "platform/Ticks.h"
#include "containers/XCriticalSection.h"

namespace vexor {

// Message texts shared by every instantiation.
[[noreturn]] void RaiseQueueWaitExceeded(const std::string& AName, uint32_t AMaxSize, uint32_t ACount);
[[noreturn]] void RaiseBubblingQueueFull(const std::string& AName, uint32_t ACount);

// GetCurrentThreadId for the hot paths: the cached value is read without a call.
inline uint32_t CachedThreadId() {
  static thread_local uint32_t id = 0;
  if (id == 0) id = GetCurrentThreadId();
  return id;
}

// The queue's own lock: its critical sections are a few instructions long, so a waiter spins
// briefly (then yields, then sleeps) instead of paying a kernel sleep and wake-up each time.
class TSpinLock {
 public:
  void lock() {
    for (int spins = 0;; ++spins) {
      if (!FLocked.load(std::memory_order_relaxed) && !FLocked.exchange(true, std::memory_order_acquire)) return;
      if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      } else if (spins < 256)
        std::this_thread::yield();
      else
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
  void unlock() { FLocked.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> FLocked{false};
};

template <class T>
class TQuickSynQueue {
  static_assert(std::is_nothrow_move_constructible_v<T>, "items are moved between buffers under the lock");

 public:
  // Each buffer starts with room for 512 items and, after a burst made it larger than 25,600,
  // shrinks back to that, so one burst does not pin its memory for good.
  static constexpr uint32_t kInitialCapacity = 512;
  static constexpr uint32_t kShrinkCapacity = 25600;
  // A producer blocked by a full queue waits at most a minute for the consumer's swap, then raises
  // instead of hanging on a consumer that is gone.
  static constexpr uint32_t kProducerWaitMs = 60000;
  // Polls of the batch flag before an idle consumer blocks: a wake-up through the kernel costs
  // far more than the items that arrive meanwhile. The limit adapts between the two bounds: it
  // doubles while polling finds items and halves each time the consumer had to block, so that a
  // consumer whose producers must first be woken themselves does not hold the processor they need.
  static constexpr int kConsumerSpins = 256;
  static constexpr int kMinConsumerSpins = 8;
  // Batch gathering: a batch that arrived within kStreamSpins polls, after one below kSmallBatch
  // items, waits kGatherSpins pauses before it is swapped in.
  static constexpr int kStreamSpins = 16;
  static constexpr uint32_t kSmallBatch = 32;
  static constexpr int kGatherSpins = 16;

  // A growable array; doubles when full, up to 2^30 items. Only the first Count() places hold
  // items: growing allocates raw storage and moves those alone, so a burst that grows the
  // producers' buffer under the lock pays for its items, not for the whole new capacity.
  class TSimpleList {
   public:
    explicit TSimpleList(uint32_t ACapacity) { SetCapacity(ACapacity); }
    ~TSimpleList() {
      Clear();
      ::operator delete(FList);
    }
    TSimpleList(const TSimpleList&) = delete;
    TSimpleList& operator=(const TSimpleList&) = delete;

    void Add(T&& AValue) {
      if (FCount == FCapacity) Grow();
      ::new (static_cast<void*>(FList + FCount)) T(std::move(AValue));
      ++FCount;
    }
    // Below the count the surplus items are destroyed.
    void SetCapacity(uint32_t ACapacity) {
      if (ACapacity > kMaxCapacity) throw std::bad_alloc();
      T* list = ACapacity ? static_cast<T*>(::operator new(sizeof(T) * size_t(ACapacity))) : nullptr;
      uint32_t keep = ACapacity < FCount ? ACapacity : FCount;
      for (uint32_t i = 0; i < keep; ++i) ::new (static_cast<void*>(list + i)) T(std::move(FList[i]));
      Clear();
      ::operator delete(FList);
      FList = list;
      FCapacity = ACapacity;
      FCount = keep;
    }
    uint32_t Capacity() const { return FCapacity; }
    uint32_t Count() const { return FCount; }

   private:
    friend class TQuickSynQueue;
    static constexpr uint64_t kMaxCapacity = uint64_t(1) << 30;
    void Grow() {
      uint64_t c = FCapacity == 0 ? 1 : FCapacity;
      while (c <= FCount) c *= 2;
      if (c > kMaxCapacity) throw std::bad_alloc();
      SetCapacity(static_cast<uint32_t>(c));
    }
    void Clear() {
      for (uint32_t i = 0; i < FCount; ++i) FList[i].~T();
      FCount = 0;
    }
    // The storage changes hands; the lists themselves stay where they are, so that each keeps
    // its cache line (the producers' one next to the lock).
    void Exchange(TSimpleList& AOther) {
      std::swap(FList, AOther.FList);
      std::swap(FCapacity, AOther.FCapacity);
      std::swap(FCount, AOther.FCount);
    }
    T* FList = nullptr;
    uint32_t FCapacity = 0;
    uint32_t FCount = 0;
  };

  // ALock nil: a plain exclusive lock of the queue's own.
  TQuickSynQueue(TRef<IReadWriteSync> ALock, std::string AName, uint32_t AMaxSize)
      : PushQ(kInitialCapacity),
        FLock(std::move(ALock)),
        PopQ(kInitialCapacity),
        FMaxSize(AMaxSize),
        FName(std::move(AName)) {}
  TQuickSynQueue(const TQuickSynQueue&) = delete;
  TQuickSynQueue& operator=(const TQuickSynQueue&) = delete;
  ~TQuickSynQueue() {
    // The places before HeadPos were destroyed as they were taken.
    if (HeadPos > 0) DropTaken();
  }

  // Any thread. Raises the deadlock error after 60 s without a free place, and, on the consumer
  // thread, "Bubbling queue full" instead of waiting for itself.
  bool PushAndSignal(T AValue) {
    if (IsConsumerThread()) {
      TGuard guard(*this);
      if (PushQ.FCount == 0) {
        if (PopQ.FCount == PopQ.FCapacity && HeadPos > 0) DropTaken();
        PopQ.Add(std::move(AValue));
      } else {
        // The consumer frees places only by swapping: it must never wait for one itself.
        if (PushQ.FCount >= FMaxSize) RaiseBubblingQueueFull(FName, PushQ.FCount);
        AppendLocked(std::move(AValue));
      }
      return true;  // the consumer is awake: no signal needed
    }
    uint32_t start = 0;
    bool waited = false;
    bool first;
    for (;;) {
      uint64_t swaps;
      {
        TGuard guard(*this);
        if (PushQ.FCount < FMaxSize) {
          first = AppendLocked(std::move(AValue));
          break;
        }
        // Full: register as waiting before the lock goes, so that the next swap sees us.
        swaps = FSwaps.load(std::memory_order_relaxed);
        FSpaceWaiters.fetch_add(1);
      }
      if (!waited) {
        start = GetTickCount32();
        waited = true;
      }
      uint32_t elapsed = TicksSince(start);
      bool freed = elapsed < kProducerWaitMs && WaitForSwap(swaps, kProducerWaitMs - elapsed);
      FSpaceWaiters.fetch_sub(1);
      if (!freed) RaiseQueueWaitExceeded(FName, FMaxSize, GetCount());
    }
    // Only the item that made the buffer non-empty announces the batch, after the lock is
    // released, so that the woken consumer does not block on it at once. The announcement is
    // withdrawn only by a swap, under the lock, which empties the buffer: every later item has a
    // first item behind that swap whose announcement is still to come, so no wake-up is lost; one
    // that arrives after its item was already taken costs the consumer one empty look.
    if (first) {
      // Pairs with WaitForItems: both stores and both loads are sequentially consistent, so either
      // the consumer sees the announcement before it blocks, or this sees it blocking. (The same
      // order as relaxed accesses around two fences, but in a form the thread sanitizer checks.)
      FItemsReady.store(true, std::memory_order_seq_cst);
      if (FConsumerWaiting.load(std::memory_order_seq_cst)) FEvent.SetEvent();
    }
    return true;
  }

  // Consumer thread only. AWaitTime in ms (INFINITE: no limit; 0: no wait).
  bool PopAndWait(T& AValue, uint32_t AWaitTime) {
    if (FThreadId.load(std::memory_order_relaxed) == 0) FThreadId.store(CachedThreadId(), std::memory_order_relaxed);
    if (PopQ.FCount == 0) SwapQueues(AWaitTime);
    if (HeadPos < PopQ.FCount) {
      // The slot is destroyed as it is taken: the batch is walked once, not again to clear it.
      T& slot = PopQ.FList[HeadPos];
      AValue = std::move(slot);
      slot.~T();
      if (++HeadPos == PopQ.FCount) {
        HeadPos = 0;
        PopQ.FCount = 0;
      }
      return true;
    }
    return false;
  }

  // Items waiting in the producers' buffer (not those already handed to the consumer).
  uint32_t GetCount() const { return FPushCount.load(std::memory_order_relaxed); }
  void Lock() {
    if (FLock)
      FLock->BeginWrite();
    else
      FMutex.lock();
  }
  void UnLock() {
    if (FLock)
      FLock->EndWrite();
    else
      FMutex.unlock();
  }

  const std::string& Name() const { return FName; }
  uint32_t MaxSize() const { return FMaxSize; }
  uint32_t ThreadId() const { return FThreadId.load(std::memory_order_relaxed); }
  bool IsConsumerThread() const {
    uint32_t consumer = FThreadId.load(std::memory_order_relaxed);
    return consumer != 0 && consumer == CachedThreadId();
  }
  // Consumer side, for tests and diagnostics.
  uint32_t HeadPosition() const { return HeadPos; }
  const TSimpleList& PopBuffer() const { return PopQ; }
  const TSimpleList& PushBuffer() const { return PushQ; }

 private:
  struct TGuard {
    TQuickSynQueue& Q;
    explicit TGuard(TQuickSynQueue& AQueue) : Q(AQueue) { Q.Lock(); }
    ~TGuard() { Q.UnLock(); }
  };

  // Consumer thread: moves the untaken rest of the batch to the front of PopQ, so that growing
  // it moves live items only.
  void DropTaken() {
    T* list = PopQ.FList;
    uint32_t n = PopQ.FCount - HeadPos;
    for (uint32_t i = 0; i < n; ++i) {
      ::new (static_cast<void*>(list + i)) T(std::move(list[HeadPos + i]));
      list[HeadPos + i].~T();
    }
    PopQ.FCount = n;
    HeadPos = 0;
  }

  // Lock held, PushQ below its bound. True when the item made PushQ non-empty.
  bool AppendLocked(T&& AValue) {
    PushQ.Add(std::move(AValue));
    FPushCount.store(PushQ.FCount, std::memory_order_relaxed);
    return PushQ.FCount == 1;
  }

  // A producer waits for the swap after ASwaps; false when ATimeoutMs passed first.
  bool WaitForSwap(uint64_t ASwaps, uint32_t ATimeoutMs) {
    std::unique_lock<std::mutex> lock(FSpaceMutex);
    return FSpaceFreed.wait_for(lock, std::chrono::milliseconds(ATimeoutMs), [&] { return FSwaps.load() != ASwaps; });
  }

  static void Pause(int ACount) {
    for (int i = 0; i < ACount; ++i) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }

  // Polls for an announced batch: the polls it took, or -1 when none came.
  int SpinForItems() {
    for (int i = 0; i < FSpinLimit; ++i) {
      if (ItemsReady()) {
        if (FSpinLimit < kConsumerSpins) FSpinLimit *= 2;
        return i;
      }
      Pause(1);
    }
    if (ItemsReady()) return FSpinLimit;
    if (FSpinLimit > kMinConsumerSpins) FSpinLimit /= 2;
    return -1;
  }
  bool ItemsReady() const { return FItemsReady.load(std::memory_order_relaxed); }

  // Blocks until a producer signals or AWaitMs pass; false on time-out.
  bool WaitForItems(uint32_t AWaitMs) {
    FConsumerWaiting.store(true, std::memory_order_seq_cst);
    bool signaled = FItemsReady.load(std::memory_order_seq_cst) || FEvent.WaitFor(AWaitMs) == wrSignaled;
    FConsumerWaiting.store(false, std::memory_order_relaxed);
    return signaled;
  }

  void SwapQueues(uint32_t AWaitTime) {
    uint32_t start = AWaitTime == 0 || AWaitTime == INFINITE ? 0 : GetTickCount32();
    for (;;) {
      bool streaming = true;  // items come faster than the consumer takes them
      if (!ItemsReady()) {
        if (AWaitTime == 0) return;
        int spins = SpinForItems();
        streaming = spins >= 0 && spins < kStreamSpins;
        if (spins < 0) {
          uint32_t wait = AWaitTime;
          if (AWaitTime != INFINITE) {
            uint32_t elapsed = TicksSince(start);
            if (elapsed >= AWaitTime) return;
            wait = AWaitTime - elapsed;
          }
          if (!WaitForItems(wait)) return;
        }
      }
      // While items stream in, a swap per item or two would fight the producers for the lock on
      // every item: let a batch gather first. A lone item (after a pause) is taken at once.
      if (streaming && FLastBatch < kSmallBatch) Pause(kGatherSpins);
      {
        TGuard guard(*this);
        if (PushQ.FCount == 0) {
          // A late announcement of an item an earlier swap took: wait on for the rest of the time.
          FItemsReady.store(false, std::memory_order_relaxed);
          FEvent.ResetEvent();
          if (AWaitTime == 0) return;
          continue;
        }
        if (PopQ.FCapacity > kShrinkCapacity) PopQ.SetCapacity(kShrinkCapacity);
        PopQ.Exchange(PushQ);
        FLastBatch = PopQ.FCount;
        FPushCount.store(0, std::memory_order_relaxed);
        FItemsReady.store(false, std::memory_order_relaxed);
        if (FEvent.IsSet()) FEvent.ResetEvent();
        FSwaps.fetch_add(1);
      }
      // The places the batch held are free again: wake producers that wait for one.
      if (FSpaceWaiters.load() > 0) {
        { std::lock_guard<std::mutex> lock(FSpaceMutex); }
        FSpaceFreed.notify_all();
      }
      return;
    }
  }

  // Each group sits on its own cache line: producers touch only the first (and the places their
  // items go to), the consumer mostly its own.
  // The lock guarding PushQ and the swap: the one given, or FMutex. Guarded by it: PushQ.
  alignas(64) TSpinLock FMutex;
  std::atomic<uint32_t> FPushCount{0};  // PushQ's count, readable without the lock
  TSimpleList PushQ;
  std::atomic<uint64_t> FSwaps{0};  // changed under the lock
  TRef<IReadWriteSync> FLock;
  // Set by the item that makes PushQ non-empty, cleared by the swap: what the consumer polls, so
  // that its polling does not pull the lock's line away from the producers on every item.
  alignas(64) std::atomic<bool> FItemsReady{false};
  // While the consumer blocks (FConsumerWaiting), the announcing item also sets FEvent; the swap
  // resets it.
  std::atomic<bool> FConsumerWaiting{false};
  alignas(64) TSimpleEvent FEvent;
  // Producers waiting for a free place. PushQ holds at most FMaxSize items: the free places are
  // FMaxSize minus its count, read under the lock, and each swap gives them all back.
  alignas(64) std::atomic<int> FSpaceWaiters{0};
  std::mutex FSpaceMutex;
  std::condition_variable FSpaceFreed;
  // Consumer thread only (its storage exchanged with PushQ's under the lock).
  alignas(64) TSimpleList PopQ;
  uint32_t HeadPos = 0;
  uint32_t FLastBatch = 0;  // items the last swap took
  int FSpinLimit = kConsumerSpins;
  // Constant after construction (the consumer is fixed by its first PopAndWait).
  alignas(64) const uint32_t FMaxSize;
  const std::string FName;
  std::atomic<uint32_t> FThreadId{0};
};

}  // namespace vexor
