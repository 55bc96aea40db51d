#include "platform/MainThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/DebugOutput.h"
#include "platform/Exceptions.h"

namespace vexor {
namespace {

// One synchronized call: the waiter sleeps on Done until the main thread has run it.
struct TCall {
  TThreadProc Proc;
  bool Waited = false;
  bool Done = false;
  std::exception_ptr Error;
};

struct TMainQueue {
  std::mutex Lock;
  std::condition_variable Arrived;   // main thread waits for work
  std::condition_variable Finished;  // synchronizing threads wait for their call
  // Guarded by Lock.
  std::deque<std::shared_ptr<TCall>> Calls;
  std::function<void()> WakeHook;
  TAppExceptionHandler ExceptionHandler;
  std::function<void(const std::string&, const std::string&)> ExceptionLogger;
};

TMainQueue& Queue() {
  static TMainQueue* queue = new TMainQueue;  // never destroyed: threads may outlive main's statics
  return *queue;
}

std::atomic<std::thread::id> gMainThreadId{};

void Enqueue(const std::shared_ptr<TCall>& ACall) {
  auto& q = Queue();
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(q.Lock);
    q.Calls.push_back(ACall);
    hook = q.WakeHook;
  }
  q.Arrived.notify_all();
  if (hook) hook();
}

}  // namespace

void InitMainThread() { gMainThreadId.store(std::this_thread::get_id()); }
std::thread::id MainThreadId() { return gMainThreadId.load(); }
bool IsMainThread() { return std::this_thread::get_id() == gMainThreadId.load(); }

void SynchronizeMain(TThreadProc AProc) {
  if (IsMainThread() || MainThreadId() == std::thread::id()) {
    AProc();
    return;
  }
  auto call = std::make_shared<TCall>();
  call->Proc = std::move(AProc);
  call->Waited = true;
  Enqueue(call);
  auto& q = Queue();
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(q.Lock);
    q.Finished.wait(lock, [&] { return call->Done; });
    // Taken out, so that only this thread ever holds the exception: the main thread may drop its
    // reference to the call at any time.
    error = std::move(call->Error);
    call->Error = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

void QueueMain(TThreadProc AProc) {
  auto call = std::make_shared<TCall>();
  call->Proc = std::move(AProc);
  Enqueue(call);
}

bool CheckSynchronize(uint32_t ATimeoutMs) {
  if (!IsMainThread()) return false;
  auto& q = Queue();
  std::deque<std::shared_ptr<TCall>> batch;
  {
    std::unique_lock<std::mutex> lock(q.Lock);
    if (q.Calls.empty() && ATimeoutMs > 0)
      q.Arrived.wait_for(lock, std::chrono::milliseconds(ATimeoutMs), [&] { return !q.Calls.empty(); });
    batch.swap(q.Calls);
  }
  for (auto& call : batch) {
    try {
      call->Proc();
    } catch (...) {
      if (call->Waited)
        call->Error = std::current_exception();
      else
        HandleAppException(std::current_exception(), "QueueMain");
    }
    call->Proc = nullptr;  // release captured state on the main thread
    if (call->Waited) {
      std::lock_guard<std::mutex> lock(q.Lock);
      call->Done = true;
    }
  }
  if (!batch.empty()) q.Finished.notify_all();
  return !batch.empty();
}

size_t PendingMainThreadCalls() {
  auto& q = Queue();
  std::lock_guard<std::mutex> lock(q.Lock);
  return q.Calls.size();
}

void SetMainThreadWakeHook(std::function<void()> AHook) {
  auto& q = Queue();
  std::lock_guard<std::mutex> lock(q.Lock);
  q.WakeHook = std::move(AHook);
}

void SetAppExceptionHandler(TAppExceptionHandler AHandler) {
  auto& q = Queue();
  std::lock_guard<std::mutex> lock(q.Lock);
  q.ExceptionHandler = std::move(AHandler);
}

void SetAppExceptionLogger(std::function<void(const std::string&, const std::string&)> ALogger) {
  auto& q = Queue();
  std::lock_guard<std::mutex> lock(q.Lock);
  q.ExceptionLogger = std::move(ALogger);
}

void HandleAppException(std::exception_ptr AException, const char* ASource) {
  auto& q = Queue();
  TAppExceptionHandler handler;
  std::function<void(const std::string&, const std::string&)> logger;
  {
    std::lock_guard<std::mutex> lock(q.Lock);
    handler = q.ExceptionHandler;
    logger = q.ExceptionLogger;
  }
  if (handler) {
    handler(AException, ASource);
    return;
  }
  std::string source = ASource ? ASource : "";
  std::string text = ExceptionMessage(AException);
  if (logger) logger(source, text);
  OutputDebugString(source.empty() ? text : source + ": " + text);
}

}  // namespace vexor
