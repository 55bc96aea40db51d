#pragma once
// Waits for tests and benchmarks: WaitFor polls a condition until it holds or a deadline passes;
// PumpFor keeps the program's events going for a fixed time. Any thread.
// On the main thread every step of a wait serves the main thread's call queue and, in a program
// with a Qt application object, Qt's event loop too: each step lets the loop go idle (the window
// brings its actions up to date when the loop is about to wait for events), and objects deleted
// later are deleted. Off the main thread a step only sleeps, since the call queue and the event
// loop belong to the main thread.
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/MainThread.h"
#include "platform/Ticks.h"

#ifdef QT_CORE_LIB  // defined for every target that links Qt Core
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#endif

namespace vexor::testing {

// Long enough for a page or a node child under the sanitizers on a busy machine; a wait that is
// expected to fail names its own, shorter deadline.
constexpr uint32_t kWaitMs = 60000;

// One step of a wait: runs what is due and returns within about AStepMs.
inline void WaitStep(uint32_t AStepMs = 1) {
#ifdef QT_CORE_LIB
  if (QCoreApplication* app = QCoreApplication::instance(); app && app->thread() == QThread::currentThread()) {
    // The timer wakes the wait below when nothing else arrives in time.
    QTimer::singleShot(static_cast<int>(AStepMs), [] {});
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (IsMainThread()) CheckSynchronize(0);
    return;
  }
#endif
  if (IsMainThread())
    CheckSynchronize(AStepMs);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(AStepMs));
}

// Waits until APredicate holds; false when it still does not at the deadline.
template <class P>
bool WaitFor(P APredicate, uint32_t ATimeoutMs = kWaitMs) {
  const uint32_t start = GetTickCount32();
  while (!APredicate()) {
    if (TickElapsed(start, ATimeoutMs)) return APredicate();
    WaitStep();
  }
  return true;
}

// Keeps the events going for AMs (a page's late repaints, a child's output that must not come).
inline void PumpFor(uint32_t AMs) {
  const uint32_t start = GetTickCount32();
  while (!TickElapsed(start, AMs)) WaitStep();
}

}  // namespace vexor::testing
