#pragma once
// Start-up and shut-down of the process's own services, from one place, so that the program and
// the test runners start them the same way. Start order: the main thread's call queue, the
// message log, the statistics registry, the thread registry ("Main Thread"), the timer service
// ("Global AppTimer" and the shared timers), the thread locale. Stop runs the reverse order.
// Higher layers chain their own steps around these two calls in the same explicit style.
// Main thread only; each call once per process (Stop may be followed by a new Start in tests).
#include <string>

namespace vexor {

struct TServiceOptions {
  // The user-interface language override that selects the thread locale (empty: none).
  std::string UiLanguage;
};

void StartConcurrencyServices(const TServiceOptions& AOptions = TServiceOptions());
void StopConcurrencyServices();

}  // namespace vexor
