#pragma once
// The bounded two-buffer work queue of the data synchronizers.
// Producers (any thread) append to the push buffer under the lock; the one consumer thread (fixed
// by its first PopAndWait) swaps the buffers in one short lock per batch and then takes items
// from its own buffer without locking. A semaphore bounds the push buffer to AMaxSize items: a
// producer waits up to 60 s for a free place and then fails with the deadlock error. The consumer
// may push too: while the push buffer is empty its item joins the batch it is working on.
// Items still queued at destruction are destroyed without being run.
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "Exceptions.h"
#include "SimpleEvent.h"
#include "XCriticalSection.h"

namespace vexor {

// Message texts shared by every instantiation.
[[noreturn]] void RaiseQueueWaitExceeded(const std::string& AName, uint32_t AMaxSize, uint32_t ACount);
[[noreturn]] void RaiseBubblingQueueFull(const std::string& AName, uint32_t ACount);

template <class T>
class TQuickSynQueue {
 public:
  static constexpr uint32_t kInitialCapacity = 512;
  static constexpr uint32_t kShrinkCapacity = 25600;
  static constexpr uint32_t kProducerWaitMs = 60000;

  // A growable array; doubles when full, up to 2^30 items.
  class TSimpleList {
   public:
    explicit TSimpleList(uint32_t ACapacity) { SetCapacity(ACapacity); }
    void Add(T&& AValue) {
      if (FCount == FCapacity) Grow();
      FList[FCount++] = std::move(AValue);
    }
    // Below the count the surplus items are destroyed.
    void SetCapacity(uint32_t ACapacity) {
      if (ACapacity > kMaxCapacity) throw std::bad_alloc();
      std::unique_ptr<T[]> list(ACapacity ? new T[ACapacity] : nullptr);
      if (ACapacity < FCount) FCount = ACapacity;
      for (uint32_t i = 0; i < FCount; ++i) list[i] = std::move(FList[i]);
      FList = std::move(list);
      FCapacity = ACapacity;
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
    std::unique_ptr<T[]> FList;
    uint32_t FCapacity = 0;
    uint32_t FCount = 0;
  };

  // ALock nil: a plain exclusive lock of the queue's own.
  TQuickSynQueue(TRef<IReadWriteSync> ALock, std::string AName, uint32_t AMaxSize)
      : FSemaphore(AMaxSize),
        FLock(std::move(ALock)),
        PushQ(new TSimpleList(kInitialCapacity)),
        PopQ(new TSimpleList(kInitialCapacity)),
        FMaxSize(AMaxSize),
        FName(std::move(AName)) {}
  TQuickSynQueue(const TQuickSynQueue&) = delete;
  TQuickSynQueue& operator=(const TQuickSynQueue&) = delete;

  // Any thread. Raises the deadlock error after 60 s without a free place, and, on the consumer
  // thread, "Bubbling queue full" instead of waiting for itself.
  bool PushAndSignal(T AValue) {
    uint32_t consumer = FThreadId.load(std::memory_order_relaxed);
    if (consumer != 0 && consumer == GetCurrentThreadId()) {
      TGuard guard(*this);
      if (PushQ->FCount == 0) {
        PopQ->Add(std::move(AValue));
        return true;
      }
      // The consumer frees places only by swapping: it must never wait for one itself.
      if (PushQ->FCount >= FMaxSize || !FSemaphore.TryAcquire()) RaiseBubblingQueueFull(FName, PushQ->FCount);
      AppendLocked(std::move(AValue));
      return true;
    }
    if (!FSemaphore.Acquire(kProducerWaitMs)) RaiseQueueWaitExceeded(FName, FMaxSize, GetCount());
    TGuard guard(*this);
    AppendLocked(std::move(AValue));
    return true;
  }

  // Consumer thread only. AWaitTime in ms (INFINITE: no limit; 0: no wait).
  bool PopAndWait(T& AValue, uint32_t AWaitTime) {
    if (FThreadId.load(std::memory_order_relaxed) == 0)
      FThreadId.store(GetCurrentThreadId(), std::memory_order_relaxed);
    if (PopQ->FCount == 0) SwapQueues(AWaitTime);
    if (HeadPos < PopQ->FCount) {
      T& slot = PopQ->FList[HeadPos];
      AValue = std::move(slot);
      slot = T();
      if (++HeadPos == PopQ->FCount) {
        HeadPos = 0;
        PopQ->FCount = 0;
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
  // Consumer side, for tests and diagnostics.
  uint32_t HeadPosition() const { return HeadPos; }
  const TSimpleList& PopBuffer() const { return *PopQ; }
  const TSimpleList& PushBuffer() const { return *PushQ; }

 private:
  struct TGuard {
    TQuickSynQueue& Q;
    explicit TGuard(TQuickSynQueue& AQueue) : Q(AQueue) { Q.Lock(); }
    ~TGuard() { Q.UnLock(); }
  };

  // Lock held; a place was taken for the item.
  void AppendLocked(T&& AValue) {
    try {
      PushQ->Add(std::move(AValue));
    } catch (...) {
      FSemaphore.Release(1);
      throw;
    }
    FPushCount.store(PushQ->FCount, std::memory_order_relaxed);
    FEvent.SetEvent();
  }

  void SwapQueues(uint32_t AWaitTime) {
    if (GetCount() == 0) {
      if (AWaitTime == 0) return;
      if (FEvent.WaitFor(AWaitTime) != wrSignaled) return;
    }
    uint32_t moved;
    {
      TGuard guard(*this);
      if (PushQ->FCount == 0) return;
      if (PopQ->FCapacity > kShrinkCapacity) PopQ->SetCapacity(kShrinkCapacity);
      std::swap(PopQ, PushQ);
      FPushCount.store(0, std::memory_order_relaxed);
      FEvent.ResetEvent();
      moved = PopQ->FCount;
    }
    FSemaphore.Release(moved);
  }

  TSimpleEvent FEvent;       // items wait in PushQ
  TLightSemaphore FSemaphore;  // free places in PushQ
  // The lock guarding PushQ and the swap: the one given, or FMutex.
  TRef<IReadWriteSync> FLock;
  std::mutex FMutex;
  // Guarded by the lock.
  std::unique_ptr<TSimpleList> PushQ;
  std::atomic<uint32_t> FPushCount{0};  // PushQ's count, readable without the lock
  // Consumer thread only (swapped under the lock).
  std::unique_ptr<TSimpleList> PopQ;
  uint32_t HeadPos = 0;
  // Constant after construction.
  const uint32_t FMaxSize;
  const std::string FName;
  std::atomic<uint32_t> FThreadId{0};
};

}  // namespace vexor
