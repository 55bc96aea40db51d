#pragma once
// The re-entrant critical section and the exclusive lock behind the read/write-lock interface.
// TXCriticalSection may be entered from any thread and re-entered by its owner. Its waits never
// block the main thread: a main-thread entry polls every millisecond and serves the main thread's
// cross-thread call queue meanwhile, so a worker that holds the section while waiting for the main
// thread can finish. TXSimpleRWSync is exclusive for readers too.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "containers/RefCounted.h"

namespace vexor {

constexpr uint32_t INFINITE = 0xFFFFFFFFu;

class TXCriticalSection {
 public:
  explicit TXCriticalSection(std::string AName = std::string());
  TXCriticalSection(const TXCriticalSection&) = delete;
  TXCriticalSection& operator=(const TXCriticalSection&) = delete;
  virtual ~TXCriticalSection() = default;

  // AWaitTime in ms; INFINITE waits without limit. False: not entered.
  bool TryEnter(uint32_t AWaitTime);
  void Enter() { TryEnter(INFINITE); }
  virtual void Acquire() { Enter(); }
  virtual void Release();
  void Leave() { Release(); }

  // The calling thread owns the section.
  bool IsLockedAndOwned() const;
  // Other threads are waiting to enter.
  bool IsAwaited() const { return FWaiters.load(std::memory_order_relaxed) > 0; }

  const std::string& Name() const { return FName; }
  // Tick of the last first-level entry.
  uint32_t Time() const { return FTime.load(std::memory_order_relaxed); }

 private:
  void Entered();

  // Constant after construction.
  const std::string FName;
  // The mutex does the exclusion; the fields below describe its current owner.
  std::recursive_mutex FMutex;
  std::atomic<std::thread::id> FOwner{};
  int FDepth = 0;  // touched by the owner only
  std::atomic<uint32_t> FTime{0};
  std::atomic<int> FWaiters{0};
};

// Scoped entry.
class TXLockGuard {
 public:
  explicit TXLockGuard(TXCriticalSection& ASection) : FSection(ASection) { FSection.Enter(); }
  ~TXLockGuard() { FSection.Release(); }
  TXLockGuard(const TXLockGuard&) = delete;
  TXLockGuard& operator=(const TXLockGuard&) = delete;

 private:
  TXCriticalSection& FSection;
};

// The read/write-lock interface. BeginWrite answers whether another writer got in meanwhile.
class IReadWriteSync : public virtual IInterface {
 public:
  virtual void BeginRead() = 0;
  virtual void EndRead() = 0;
  virtual bool BeginWrite() = 0;
  virtual void EndWrite() = 0;
};

class IReadWriteSyncEx : public IReadWriteSync {
 public:
  virtual bool IsLockedAndOwned() = 0;
  virtual bool TryEnter(uint32_t AWaitTime) = 0;
};

// Exclusive lock seen through the read/write interface; the default lock of the index lists.
// Re-entrant for its owner. Any thread.
class TXSimpleRWSync : public TRefCntObject, public IReadWriteSyncEx {
 public:
  explicit TXSimpleRWSync(std::string AName = std::string()) : FLock(std::move(AName)) {}

  void BeginRead() override { FLock.Enter(); }
  void EndRead() override { FLock.Release(); }
  bool BeginWrite() override {
    FLock.Enter();
    return false;
  }
  void EndWrite() override { FLock.Release(); }
  bool IsLockedAndOwned() override { return FLock.IsLockedAndOwned(); }
  bool TryEnter(uint32_t AWaitTime) override { return FLock.TryEnter(AWaitTime); }

 private:
  TXCriticalSection FLock;
};

}  // namespace vexor
