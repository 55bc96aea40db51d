#pragma once
// The main thread's cross-thread call queue.
// The main thread is the one that called InitMainThread (the program's or the test runner's
// main). Any thread may Synchronize (run on the main thread and wait) or Queue (run later,
// no wait); only the main thread serves the queue with CheckSynchronize. A wake hook lets an
// event loop learn that work is waiting (Qt posts an event; the headless loop waits on it).
// Closures run in the order they were handed in. A Synchronize from the main thread itself runs
// the closure directly. An exception thrown by a synchronized closure is rethrown in the waiting
// thread; one thrown by a queued closure goes to the application exception hook.
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <thread>

namespace vexor {

using TThreadProc = std::function<void()>;

void InitMainThread();
std::thread::id MainThreadId();
bool IsMainThread();

// Runs AProc on the main thread and waits for it to finish.
void SynchronizeMain(TThreadProc AProc);
// Hands AProc to the main thread without waiting.
void QueueMain(TThreadProc AProc);
// Main thread only: runs the waiting closures; when none waits, waits up to ATimeoutMs for one.
// Returns true when at least one closure ran.
bool CheckSynchronize(uint32_t ATimeoutMs = 0);
// Number of closures waiting (for tests and diagnostics).
size_t PendingMainThreadCalls();

// Called (on the handing thread) each time a closure is queued; may be empty.
void SetMainThreadWakeHook(std::function<void()> AHook);

// The application's exception handler: receives exceptions that loops, timer callbacks and
// queued closures catch at their boundary. Default: message log (error level) + standard error.
using TAppExceptionHandler = std::function<void(std::exception_ptr, const char* ASource)>;
void SetAppExceptionHandler(TAppExceptionHandler AHandler);
void HandleAppException(std::exception_ptr AException, const char* ASource);
// Sink used by the default handler to reach the message log without depending on it.
void SetAppExceptionLogger(std::function<void(const std::string& ASource, const std::string& AText)> ALogger);

}  // namespace vexor
