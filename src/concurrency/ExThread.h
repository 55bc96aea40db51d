#pragma once
// Managed worker threads and the process-wide thread registry.
// TExThread: a counted thread object. The running thread holds a reference of its own, so the
// object lives at least until its body has returned; whoever else holds it keeps it longer.
// Create it with NewThread<T>(...), which starts it unless created suspended. Every thread runs
// its body through one non-virtual entry that registers it by kernel thread id, names it for
// debuggers, applies the thread locale, runs the body (exceptions escaping it are dropped) and
// unregisters it when the body has returned, before Finished() turns true.
// Thread contract: Terminate, WaitFor, TerminateAndWait, Resume, Kill and the class-level
// operations may be called from any thread. Waits on the main thread keep serving the main
// thread's cross-thread call queue, so a worker waiting for the main thread and the main thread
// waiting for that worker both finish. The registry lock is a leaf lock.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <string>

#include "platform/Exceptions.h"
#include "containers/IndexList.h"
#include "platform/MainThread.h"
#include "containers/RefCounted.h"
#include "concurrency/SimpleEvent.h"

namespace vexor {

// The silent exception: loops and callbacks drop it without reporting.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};
bool IsAbortException(std::exception_ptr AException);

class TExThread : public TRefCntObject {
 public:
  using TNotifyEvent = std::function<void(TExThread* ASender)>;

  // AName empty: the class name.
  explicit TExThread(bool ACreateSuspended, std::string AName = std::string());
  ~TExThread() override;

  // Starts the thread unless it was created suspended (NewThread calls it).
  void AfterConstruction();

  uint32_t ThreadID() const { return FThreadID.load(); }
  std::string ThreadName() const;
  bool Terminated() const { return FTerminated.load(); }
  bool Finished() const { return FFinished.load(); }
  bool Suspended() const;
  int32_t ReturnValue() const { return FReturnValue.load(); }
  void SetReturnValue(int32_t AValue) { FReturnValue.store(AValue); }
  // Set before the thread starts: run instead of Execute.
  void SetOnExecute(TNotifyEvent AValue) { FOnExecute = std::move(AValue); }
  std::string CurrentTask() const;

  // Requests termination; the first request calls TerminatedSet.
  void Terminate();
  // Starts a thread created suspended, or wakes one that suspended itself; the remaining
  // suspend count (always 0 here).
  int Resume();
  // Only a thread can suspend itself (it blocks until Resume); suspending another running
  // thread is not available on this platform and answers false.
  bool Suspend();
  // Waits until the body has returned or ATimeOutMs passed; the exit code (ReturnValue).
  int32_t WaitFor(uint32_t ATimeOutMs = INFINITE);
  // Requests termination and, off the main thread and off the thread itself, waits for the end.
  virtual void TerminateAndWait();
  // Unregisters the thread and forgets it; it cannot be frozen here, so it is asked to terminate.
  virtual bool Kill();

  void Queue(TThreadProc AMethod) { QueueMain(std::move(AMethod)); }
  void Synchronize(TThreadProc AMethod) { SynchronizeMain(std::move(AMethod)); }
  // Shows AException through the application's exception display, on the main thread.
  void ShowException(std::exception_ptr AException);
  // For bodies that catch exceptions themselves; reports all but aborts and answers true.
  virtual bool HandleException(std::exception_ptr AException, void* AAddr = nullptr);

  // Class-level operations.
  static TExThread* CurrentThread();
  // AThreadID -1: the calling thread. The kernel keeps 15 bytes of the name.
  static void SetName(const std::string& AThreadName, int64_t AThreadID = -1);
  static void BeginTask(const std::string& AName, int ATaskType = 0);
  static void EndTask(TExThread* AThread = nullptr);
  static std::string MainThreadTask();
  static void DebugOperation(const std::string& AName) {}
  static int ThreadCount();
  static bool ThreadExists(uint32_t ATID);
  // Waits until AEvent is set; on the main thread in 10 ms slices that serve the call queue.
  static TWaitResult WaitForSimpleEvent(TSimpleEvent& AEvent);

 protected:
  // The body.
  virtual void Execute() {}
  // Called on the requesting thread when termination is first requested.
  virtual void TerminatedSet() {}
  // Called on the thread after the body, before it counts as finished.
  virtual void DoTerminate() {}

 private:
  void Start();
  void ThreadMain();  // the one entry every managed thread runs
  void RemoveFromRegistry();

  // Constant after construction (the name until AfterConstruction).
  std::string FThreadName;
  bool FCreateSuspended;
  TNotifyEvent FOnExecute;
  // Cross-thread state.
  std::atomic<uint32_t> FThreadID{0};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FStarted{false};
  std::atomic<int32_t> FReturnValue{0};
  TSimpleEvent FFinishedEvent;
  TSimpleEvent FRegisteredEvent;
  // Guarded by FStateLock.
  mutable std::mutex FStateLock;
  std::condition_variable FResumed;
  bool FSelfSuspended = false;
  bool FKilled = false;
  pthread_t FHandle{};
  bool FHasHandle = false;
  std::string FCurrentTask;
};

// Creates and starts (unless created suspended) a managed thread; the result holds the creator's
// reference.
template <class T, class... A>
TRef<T> NewThread(A&&... AArgs) {
  auto thread = TRef<T>::Adopt(new T(std::forward<A>(AArgs)...));
  thread->AfterConstruction();
  return thread;
}

// The registry: managed threads by kernel thread id, not owning them.
class TThreadsList : public TIntIndex<TExThread> {
 public:
  TThreadsList() : TIntIndex<TExThread>(false, nullptr, "TThreadsList") {}
  int32_t _Value(TExThread* AObject) override { return AObject ? int32_t(AObject->ThreadID()) : -1; }
  void RemoveById(int32_t AId);
};

// The thread locale: a language identifier chosen from the UI language override ("PL" 21,
// "JPN"/"ja" 17, "KR"/"ko" 18, anything else -1). It sets the message language (LC_MESSAGES)
// of the main thread and of every managed thread when the matching locale is installed.
int InitThreadLocale(const std::string& AUiLanguageOverride);
int ThreadLocaleId();

// Service steps (main thread): the registry, naming the main thread "Main Thread"; shut-down
// frees it only when no thread is registered.
void StartThreadRegistry();
void StopThreadRegistry();

}  // namespace vexor
