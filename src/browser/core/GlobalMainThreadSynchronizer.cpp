#include "browser/core/GlobalMainThreadSynchronizer.h"

#include <atomic>

#include "platform/DebugOutput.h"
#include "browser/core/ExCefClientHandler.h"
#include "platform/Exceptions.h"

namespace vexor {
namespace {

// Written only on the main thread at start-up and program end; read by Synchronize, which may
// also queue from other threads while the queue exists.
std::atomic<TGlobalMainThreadSynchronizer::TCustomSynchronizer*> gQueue{nullptr};

}  // namespace

void TGlobalMainThreadSynchronizer::TCustomSynchronizer::TTask::ExecuteAndFree() {
  // The reference goes when the task is freed, whether Method returned or raised.
  Method();
  FRef = nullptr;
}

TGlobalMainThreadSynchronizer::TCustomSynchronizer::~TCustomSynchronizer() {
  std::deque<std::unique_ptr<TTask>> left;
  {
    std::lock_guard<std::mutex> lock(FLock);
    left.swap(FTasks);
  }
  // Freed outside the lock: dropping a keep-alive reference may run any destructor.
}

void TGlobalMainThreadSynchronizer::TCustomSynchronizer::Add(std::unique_ptr<TTask> ATask) {
  std::lock_guard<std::mutex> lock(FLock);
  FTasks.push_back(std::move(ATask));
}

std::unique_ptr<TGlobalMainThreadSynchronizer::TCustomSynchronizer::TTask>
TGlobalMainThreadSynchronizer::TCustomSynchronizer::Take() {
  std::lock_guard<std::mutex> lock(FLock);
  if (FTasks.empty()) return nullptr;
  std::unique_ptr<TTask> task = std::move(FTasks.front());
  FTasks.pop_front();
  return task;
}

size_t TGlobalMainThreadSynchronizer::TCustomSynchronizer::Count() {
  std::lock_guard<std::mutex> lock(FLock);
  return FTasks.size();
}

void TGlobalMainThreadSynchronizer::CreateQueue() {
  if (!gQueue.load()) gQueue.store(new TCustomSynchronizer);
}

void TGlobalMainThreadSynchronizer::DestroyQueue() { delete gQueue.exchange(nullptr); }

void TGlobalMainThreadSynchronizer::Synchronize(TThreadProc AProc, TRef<IInterface> ObjRef, bool Force) {
  if (!Force && IsMainThread() && !TExCefClientHandler::InCefLoop()) {
    AProc();
    return;
  }
  auto task = std::make_unique<TCustomSynchronizer::TTask>(std::move(AProc), std::move(ObjRef));
  if (TCustomSynchronizer* queue = gQueue.load()) queue->Add(std::move(task));
}

void TGlobalMainThreadSynchronizer::ProcessQueue() {
  TCustomSynchronizer* queue = gQueue.load();
  if (!queue) return;
  while (std::unique_ptr<TCustomSynchronizer::TTask> task = queue->Take()) {
    try {
      task->ExecuteAndFree();
    } catch (...) {
      OutputDebugString("Main-thread task failed: " + ExceptionMessage(std::current_exception()));
    }
  }
}

size_t TGlobalMainThreadSynchronizer::PendingTasks() {
  TCustomSynchronizer* queue = gQueue.load();
  return queue ? queue->Count() : 0;
}

}  // namespace vexor
