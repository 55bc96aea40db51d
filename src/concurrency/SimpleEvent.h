#pragma once
// Events, the counting semaphore and thread identifiers for the concurrency layer.
// TSimpleEvent is a manual-reset event: SetEvent releases every waiter and stays set until
// ResetEvent. Setting an event that is already set costs one atomic load, so producers may set it
// on every push. All operations may be called from any thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "containers/RefCounted.h"
#include "containers/XCriticalSection.h"

namespace vexor {

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// The kernel's identifier of the calling thread (cached per thread).
uint32_t GetCurrentThreadId();
// The identifier of the thread that initialised the main-thread services (0 before).
uint32_t MainThreadNativeId();
void SetMainThreadNativeId(uint32_t AId);

class TSimpleEvent {
 public:
  // ASpinCount: polls of the state before blocking.
  explicit TSimpleEvent(bool AInitialState = false, int ASpinCount = 0)
      : FState(AInitialState), FSpinCount(ASpinCount) {}
  TSimpleEvent(const TSimpleEvent&) = delete;
  TSimpleEvent& operator=(const TSimpleEvent&) = delete;

  void SetEvent();
  void ResetEvent() { FState.store(false); }
  bool IsSet() const { return FState.load(); }
  // ATimeoutMs: INFINITE waits without limit; 0 only tests.
  TWaitResult WaitFor(uint32_t ATimeoutMs = INFINITE);

 private:
  std::atomic<bool> FState;
  std::atomic<int> FWaiters{0};
  const int FSpinCount;
  // Guarded by FMutex: the pulse count that lets a waiter notice a set that was reset at once.
  std::mutex FMutex;
  std::condition_variable FCond;
  uint64_t FGeneration = 0;
};

// Counting semaphore with a timed acquire; the fast paths take no lock.
class TLightSemaphore {
 public:
  explicit TLightSemaphore(int64_t AInitialCount) : FCount(AInitialCount) {}
  TLightSemaphore(const TLightSemaphore&) = delete;
  TLightSemaphore& operator=(const TLightSemaphore&) = delete;

  bool TryAcquire() {
    int64_t c = FCount.load();
    while (c > 0)
      if (FCount.compare_exchange_weak(c, c - 1)) return true;
    return false;
  }
  // False when no place came free within ATimeoutMs (INFINITE: no limit).
  bool Acquire(uint32_t ATimeoutMs);
  void Release(int64_t ACount = 1);
  int64_t Count() const { return FCount.load(); }

 private:
  std::atomic<int64_t> FCount;
  std::atomic<int> FWaiters{0};
  std::mutex FMutex;
  std::condition_variable FCond;
};

class ILightweightEvent : public virtual IInterface {
 public:
  virtual void ResetEvent() = 0;
  virtual void SetEvent() = 0;
  virtual TWaitResult WaitFor(uint32_t ATimeout) = 0;
};

// Counted manual-reset event that spins ASpinCount times before blocking.
class TXLightweightEvent : public TRefCntObject, public ILightweightEvent {
 public:
  explicit TXLightweightEvent(bool AInitialState = false, int ASpinCount = 10) : FEvent(AInitialState, ASpinCount) {}
  void ResetEvent() override { FEvent.ResetEvent(); }
  void SetEvent() override { FEvent.SetEvent(); }
  TWaitResult WaitFor(uint32_t ATimeout) override { return FEvent.WaitFor(ATimeout); }

 private:
  TSimpleEvent FEvent;
};

}  // namespace vexor
