#pragma once
// The browser message pump and the lifetime of the browser clients it serves.
// Every browser control owns one TExCefClientHandler. The first client starts one main-thread
// timer with a 5 ms period, the last one stops it; each tick gives the runtime a slice of work
// and then drains the main-thread task queue (GlobalMainThreadSynchronizer.h).
//
// Loop depth: above 0 while a tick is inside the runtime's work or the queue's drain. During the
// drain it is at least 1, so work synchronized from inside a queued task is queued behind it, not
// run nested. A tick that re-enters (a modal loop inside a task) leaves the depth as it found it.
// Exceptions from the runtime's work or from tasks never leave a tick.
//
// Threads: everything here on the main thread only. The timer and the runtime's work are the
// platform's (SetPumpTimer, SetMessageLoopWork), installed at runtime start-up.
#include <cstdint>
#include <functional>

namespace vexor {

// A periodic timer of the main thread, not bound to a window. Start replaces any running tick.
class IBrowserPumpTimer {
 public:
  virtual ~IBrowserPumpTimer() = default;
  virtual void Start(uint32_t APeriodMs, std::function<void()> ATick) = 0;
  virtual void Stop() = 0;
};

class TExCefClientHandler {
 public:
  static constexpr uint32_t kPumpPeriodMs = 5;

  // ARenderer: whether the client renders off-screen (browser controls pass false).
  explicit TExCefClientHandler(bool ARenderer = false);
  ~TExCefClientHandler();
  TExCefClientHandler(const TExCefClientHandler&) = delete;
  TExCefClientHandler& operator=(const TExCefClientHandler&) = delete;

  bool Renderer() const { return FRenderer; }

  static bool InCefLoop();
  static int32_t ClientCount();
  static int32_t LoopDepth();
  // One pump tick: the runtime's slice of work, then the queue's drain.
  static void PumpTick();

  // The platform's timer (not owned; null: no timer, ticks only when PumpTick is called). Set
  // while no client exists.
  static void SetPumpTimer(IBrowserPumpTimer* ATimer);
  // The runtime's slice of work for each tick (empty: none; Qt's own event loop drives
  // Chromium).
  static void SetMessageLoopWork(std::function<void()> AWork);

 private:
  // Constant after construction.
  const bool FRenderer;
};

}  // namespace vexor
