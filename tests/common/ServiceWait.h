#pragma once
// Condition waits for tests: poll until a predicate holds or a deadline passes. On the main
// thread the wait keeps serving the main thread's call queue. Any thread.
#include <thread>

#include "platform/MainThread.h"
#include "platform/Ticks.h"

namespace vexor::testing {

template <class P>
bool WaitFor(P APredicate, uint32_t ATimeoutMs = 10000) {
  uint32_t start = GetTickCount32();
  while (!APredicate()) {
    if (TickElapsed(start, ATimeoutMs)) return APredicate();
    if (IsMainThread())
      CheckSynchronize(1);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vexor::testing
