#pragma once
// A value guarded by its own lock. Reads and writes are serialized; Access calls its method
// outside the lock, so the value may change while the method runs. Any thread.
#include <functional>
#include <mutex>

namespace vexor {

template <class T>
class TLockedVar {
 public:
  explicit TLockedVar(T AVal = T()) : FVar(std::move(AVal)) {}
  TLockedVar(const TLockedVar&) = delete;
  TLockedVar& operator=(const TLockedVar&) = delete;
  virtual ~TLockedVar() = default;

  // Reads the value; answers whether it is assigned.
  bool GetVar(T& AVal) {
    std::lock_guard<std::mutex> lock(FLock);
    AVal = FVar;
    return Assigned(AVal);
  }
  // Reads the value and leaves the variable empty.
  bool GetAndClearVar(T& AVal) {
    std::lock_guard<std::mutex> lock(FLock);
    AVal = std::move(FVar);
    FVar = T();
    return Assigned(AVal);
  }
  void SetVar(T AVal) {
    std::lock_guard<std::mutex> lock(FLock);
    FVar = std::move(AVal);
  }
  bool IsAssigned() {
    std::lock_guard<std::mutex> lock(FLock);
    return Assigned(FVar);
  }
  // GetVar, then AMethod with the value when assigned (outside the lock).
  bool Access(const std::function<void(T&)>& AMethod) {
    T val;
    if (!GetVar(val)) return false;
    AMethod(val);
    return true;
  }

 protected:
  virtual bool Assigned(const T& AVal) = 0;
  // Runs AProc with the value under the lock (for holders that must act before it can change).
  template <class F>
  auto Locked(F AProc) {
    std::lock_guard<std::mutex> lock(FLock);
    return AProc(FVar);
  }

 private:
  std::mutex FLock;
  T FVar;
};

}  // namespace vexor
