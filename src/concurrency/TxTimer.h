#pragma once
// The timer service: timers with a thread of their own that run periodic named events.
// An event is created inactive by AddEvent, fires every interval (measured from the end of its
// previous run) once Activate is called, and is removed by Delete. Unsynchronized callbacks run
// on the timer's thread, one at a time; synchronized ones run on the main thread while the timer
// thread waits. An event stays registered only while somebody outside the timer holds it: once
// every holder has let go it is deleted at its next check, without running.
// Thread contract: every operation may be called from any thread, including from inside a
// callback (deleting one's own event from its callback does not wait). No lock is held while a
// callback runs. Delete/Deactivate(true) from another thread wait (up to 60 s) for a running
// callback; on the main thread that wait keeps serving the main thread's call queue. Code on
// the main thread must not otherwise block on a timer thread that waits for the main thread.
#include <cstdint>
#include <functional>
#include <string>

#include "containers/RefCounted.h"
#include "containers/XCriticalSection.h"

namespace vexor {

class ITxTimer;
class ITxTimerEvent;

// A callback with its sender (the event).
using TTimerNotify = std::function<void(ITxTimerEvent* ASender)>;
using TTimerProc = std::function<void()>;

class ITxTimerEvent : public virtual IInterface {
 public:
  virtual bool GetActive() = 0;  // active and not being deleted
  virtual TTimerNotify GetOnTimer() = 0;
  virtual int32_t GetInterval() = 0;
  virtual bool GetSynchronized() = 0;
  virtual std::string GetName() = 0;
  virtual void SetActive(bool AValue) = 0;  // true: Activate; false: Deactivate(true)
  virtual void SetInterval(int32_t AValue) = 0;
  virtual void SetSynchronized(bool AValue) = 0;
  virtual TRef<ITxTimer> GetTimer() = 0;  // nil once unlinked
  virtual void Delete() = 0;
  virtual void Activate() = 0;
  virtual void Deactivate(bool AWait = true) = 0;
  // Fires at the next check, then every interval (AInterval > 0 replaces the interval).
  virtual void Restart(int32_t AInterval = 0) = 0;
  virtual void Unlink() = 0;
  virtual uint32_t GetLastTime() = 0;
  virtual void SetLastTime(uint32_t AValue) = 0;
};

// What the timer thread asks of its events.
class ITxEvent : public ITxTimerEvent {
 public:
  virtual bool IsUsed() = 0;
  virtual uint32_t SetRunTime(uint32_t ALastExecuted) = 0;
  virtual bool IsReadyToRun(int64_t& AMinWait) = 0;
  virtual bool ActiveAndUsed() = 0;
  virtual void ClearPending() = 0;
  virtual void Run() = 0;
};

class IBasicTxTimer : public virtual IInterface {
 public:
  virtual TRef<ITxTimerEvent> AddEvent(int32_t AIntervalMS, const std::string& AName, TTimerNotify ATimerProc,
                                       bool ASynchronize) = 0;
  // Named after the callback's type, followed by ":Timer Event".
  virtual TRef<ITxTimerEvent> AddEvent(int32_t AIntervalMS, TTimerNotify ATimerProc, bool ASynchronize) = 0;
  // Runs ATimerProc once, AIntervalMS from now (at the next check for 0).
  virtual void PostEvent(TTimerNotify ATimerProc, int32_t AIntervalMS, bool ASynchronize) = 0;
  virtual void PostEvent(TTimerProc ATimerProc, int32_t AIntervalMS, bool ASynchronize) = 0;
  // Runs AMethod on the timer thread and waits up to AWait ms; false when it had not run by then
  // (it may still run later). AIntervalMS is not used.
  virtual bool SyncEvent(TTimerProc AMethod, int32_t AIntervalMS, uint32_t AWait, bool ASynchronize) = 0;
  virtual bool Synchronize(TTimerProc AMethod) = 0;
  // Clears AEvent, then deletes the event.
  virtual void DelEvent(TRef<ITxTimerEvent>& AEvent) = 0;
  virtual bool IsInTimerThread() = 0;
  virtual std::string GetName() = 0;
};

class ITxTimer : public IBasicTxTimer {
 public:
  // Unlinks every event: they never fire again.
  virtual void Clear() = 0;
  virtual int32_t GetCount() = 0;
  virtual bool GetEnabled() = 0;
  // Disabling takes effect between two callbacks; events keep their state.
  virtual void SetEnabled(bool AValue) = 0;
};

// A private timer with its own thread named AName.
TRef<ITxTimer> NewTimer(const std::string& AName);
// The timer shared by every holder of AName while any holder keeps it; nil after shut-down.
TRef<IBasicTxTimer> GetSharedTimer(const std::string& AName);
// The process-wide "Global AppTimer"; nil outside the service's lifetime.
TRef<ITxTimer> AppTimer();
bool TimersShuttingDown();

// Service steps (main thread): AppTimer and the shared-timer list; shut-down clears and drops
// them and gives the timer threads up to 250 ms to leave their loops.
void StartTimerService();
void StopTimerService();

}  // namespace vexor
