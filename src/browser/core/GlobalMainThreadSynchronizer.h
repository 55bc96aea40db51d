#pragma once
// The browser's main-thread task queue: host work handed in from inside browser callbacks runs
// later, on the main thread, outside the browser's call stack, when the message pump drains the
// queue (ExCefClientHandler.h).
//
// Guarantees:
// - Tasks run on the main thread, one at a time, in the order they were queued.
// - A task queued while the queue is being drained runs in that same drain.
// - An exception escaping a task is swallowed (reported on the debug-output channel); the tasks
//   behind it still run.
// - Each task's keep-alive reference (ObjRef) is held until the task has run, or until the task is
//   freed unrun when the queue is destroyed at program end.
// Threads: CreateQueue, DestroyQueue and ProcessQueue on the main thread only. Synchronize is
// meant for the main thread (browser callbacks, host code); a call from another thread always
// queues, and is safe, because the queue has its own lock.
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/MainThread.h"
#include "containers/RefCounted.h"

namespace vexor {

class TGlobalMainThreadSynchronizer {
 public:
  TGlobalMainThreadSynchronizer() = delete;

  class TCustomSynchronizer {
   public:
    class TTask {
     public:
      TTask(TThreadProc AMethod, TRef<IInterface> AObj) : Method(std::move(AMethod)), FRef(std::move(AObj)) {}
      // Runs Method, then drops FRef; the caller frees the task (also when Method raised).
      void ExecuteAndFree();

      TThreadProc Method;
      TRef<IInterface> FRef;
    };

    TCustomSynchronizer() = default;
    TCustomSynchronizer(const TCustomSynchronizer&) = delete;
    TCustomSynchronizer& operator=(const TCustomSynchronizer&) = delete;
    // Frees the tasks still queued without running them.
    ~TCustomSynchronizer();

    void Add(std::unique_ptr<TTask> ATask);
    // The oldest task, taken out of the queue; null when empty.
    std::unique_ptr<TTask> Take();
    size_t Count();

   private:
    std::mutex FLock;
    std::deque<std::unique_ptr<TTask>> FTasks;  // guarded by FLock
  };

  // Program start-up, before the browser runtime starts (a second call keeps the queue).
  static void CreateQueue();
  // Program end: the queued tasks are freed unrun, their keep-alive references dropped. Tasks
  // handed in afterwards are dropped the same way.
  static void DestroyQueue();

  // Runs AProc at once when Force is false, the caller is the main thread and the pump is not
  // inside a slice of work (TExCefClientHandler::InCefLoop); otherwise queues it with ObjRef.
  static void Synchronize(TThreadProc AProc, TRef<IInterface> ObjRef = nullptr, bool Force = false);
  // Drains the queue: runs tasks until it is empty, including tasks queued meanwhile.
  static void ProcessQueue();
  // Tasks waiting (tests and diagnostics).
  static size_t PendingTasks();
};

}  // namespace vexor
