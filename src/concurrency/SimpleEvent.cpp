#include "concurrency/SimpleEvent.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace vexor {
namespace {

std::atomic<uint32_t> gMainThreadNativeId{0};

std::chrono::steady_clock::time_point DeadlineAfter(uint32_t AMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
}

}  // namespace

uint32_t GetCurrentThreadId() {
  thread_local uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

uint32_t MainThreadNativeId() { return gMainThreadNativeId.load(std::memory_order_relaxed); }
void SetMainThreadNativeId(uint32_t AId) { gMainThreadNativeId.store(AId, std::memory_order_relaxed); }

void TSimpleEvent::SetEvent() {
  if (FState.load(std::memory_order_relaxed)) return;
  FState.store(true);
  // A waiter registers (FWaiters) before it looks at FState, both sequentially consistent, so
  // either it sees the state or we see it and wake it under the mutex it waits with.
  if (FWaiters.load() > 0) {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      ++FGeneration;
    }
    FCond.notify_all();
  }
}

TWaitResult TSimpleEvent::WaitFor(uint32_t ATimeoutMs) {
  for (int i = 0; i < FSpinCount; ++i) {
    if (FState.load()) return wrSignaled;
    std::this_thread::yield();
  }
  if (FState.load()) return wrSignaled;
  if (ATimeoutMs == 0) return wrTimeout;
  std::unique_lock<std::mutex> lock(FMutex);
  FWaiters.fetch_add(1);
  uint64_t generation = FGeneration;
  auto done = [&] { return FState.load() || FGeneration != generation; };
  bool signaled;
  if (ATimeoutMs == INFINITE) {
    FCond.wait(lock, done);
    signaled = true;
  } else {
    signaled = FCond.wait_until(lock, DeadlineAfter(ATimeoutMs), done);
  }
  FWaiters.fetch_sub(1);
  return signaled ? wrSignaled : wrTimeout;
}

bool TLightSemaphore::Acquire(uint32_t ATimeoutMs) {
  if (TryAcquire()) return true;
  if (ATimeoutMs == 0) return false;
  std::unique_lock<std::mutex> lock(FMutex);
  FWaiters.fetch_add(1);
  bool ok;
  if (ATimeoutMs == INFINITE) {
    FCond.wait(lock, [&] { return TryAcquire(); });
    ok = true;
  } else {
    ok = FCond.wait_until(lock, DeadlineAfter(ATimeoutMs), [&] { return TryAcquire(); });
  }
  FWaiters.fetch_sub(1);
  return ok;
}

void TLightSemaphore::Release(int64_t ACount) {
  if (ACount <= 0) return;
  FCount.fetch_add(ACount);
  if (FWaiters.load() > 0) {
    { std::lock_guard<std::mutex> lock(FMutex); }
    FCond.notify_all();
  }
}

}  // namespace vexor
