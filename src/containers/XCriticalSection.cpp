#include "containers/XCriticalSection.h"

#include <chrono>

#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "platform/Ticks.h"

namespace vexor {

TXCriticalSection::TXCriticalSection(std::string AName) : FName(std::move(AName)) {}

void TXCriticalSection::Entered() {
  if (FDepth++ == 0) {
    FOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    FTime.store(GetTickCount32(), std::memory_order_relaxed);
  }
}

bool TXCriticalSection::TryEnter(uint32_t AWaitTime) {
  if (FMutex.try_lock()) {
    Entered();
    return true;
  }
  if (AWaitTime == 0) return false;

  struct TWaiting {
    std::atomic<int>& Count;
    explicit TWaiting(std::atomic<int>& ACount) : Count(ACount) { Count.fetch_add(1, std::memory_order_relaxed); }
    ~TWaiting() { Count.fetch_sub(1, std::memory_order_relaxed); }
  } waiting(FWaiters);

  uint32_t start = GetTickCount32();
  bool onMain = IsMainThread();
  if (AWaitTime == INFINITE && !onMain) {
    FMutex.lock();
    Entered();
    return true;
  }
  std::this_thread::yield();
  for (;;) {
    if (FMutex.try_lock()) {
      Entered();
      return true;
    }
    uint32_t elapsed = TicksSince(start);
    if (AWaitTime != INFINITE && elapsed >= AWaitTime) return false;
    // The owner may be a worker waiting for the main thread: keep its calls flowing.
    if (onMain && elapsed >= 1)
      CheckSynchronize(1);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TXCriticalSection::Release() {
  if (!IsLockedAndOwned()) throw Exception("Critical section " + FName + " released by a thread that does not own it");
  if (--FDepth == 0) FOwner.store(std::thread::id(), std::memory_order_relaxed);
  FMutex.unlock();
}

bool TXCriticalSection::IsLockedAndOwned() const {
  return FOwner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

}  // namespace vexor
