#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/Exceptions.h"
#include "concurrency/ExThread.h"
#include "concurrency/SimpleEvent.h"
#include "SyncTestSupport.h"
#include "concurrency/DataSynchronizer.h"
#include "concurrency/TxTimer.h"

namespace vexor {
namespace {

using test::LogContains;
using test::TConsoleCapture;
using test::TGate;
using test::TTrace;
using vexor::testing::WaitFor;

uint32_t WorkerThreadOf(const TRef<IDataSynchronizer>& ASync) {
  uint32_t id = 0;
  EXPECT_TRUE(TDataSynchronizerTask::RunAndWait(ASync, [&] { id = GetCurrentThreadId(); }));
  return id;
}

TEST(SynchronizersPool, ProxiesShareOneWorkerAndCleanupStopsItOnceUnused) {
  const std::string name = "Pool Shared";
  TRef<IDataSynchronizer> a = TSharedSynchronizersPool::NewSynchronizer(name, false);
  TRef<IDataSynchronizer> b = TSharedSynchronizersPool::NewSynchronizer(name, false);
  EXPECT_NE(a.get(), b.get());
  EXPECT_TRUE(TSharedSynchronizersPool::IsProxySynchronizer(a));
  EXPECT_EQ(a->GetName(), name);
  uint32_t worker = WorkerThreadOf(a);
  EXPECT_NE(worker, 0u);
  EXPECT_EQ(WorkerThreadOf(b), worker);
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage(name), 2);
  TRef<IDataSynchronizer> c = TSharedSynchronizersPool::ProxySynchronizer(a);
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage(name), 3);

  // A finalized proxy refuses work; the others keep the shared worker going.
  std::atomic<int> ran{0};
  a->Synchronize([&] { ++ran; });
  a->Finalize();
  EXPECT_EQ(ran, 1);  // drained before the proxy became finalized
  EXPECT_TRUE(a->IsFinalized());
  EXPECT_FALSE(a->Synchronize([&] { ++ran; }));
  EXPECT_TRUE(TDataSynchronizerTask::RunAndWait(b, [&] { ++ran; }));
  EXPECT_EQ(ran, 2);
  EXPECT_FALSE(b->IsFinalized());

  // While proxies exist, finalized or not, cleanup keeps the entry.
  TSharedSynchronizersPool::Cleanup();
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage(name), 3);
  for (auto* p : {&a, &b, &c}) {
    (*p)->Finalize();
    *p = nullptr;
  }
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage(name), 0);
  TSharedSynchronizersPool::Cleanup();
  EXPECT_TRUE(WaitFor([&] { return !TExThread::ThreadExists(worker); }));

  TRef<IDataSynchronizer> d = TSharedSynchronizersPool::NewSynchronizer(name, false);
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage(name), 1);
  EXPECT_NE(WorkerThreadOf(d), worker);
  d->Finalize();
}

TEST(SynchronizersPool, Errors) {
  try {
    TRef<IDataSynchronizer> own = MakeRef<TThreadDataSynchronizer>("Pool Not Shared");
    struct TFinalizeOnExit {
      TRef<IDataSynchronizer>& S;
      ~TFinalizeOnExit() { S->Finalize(); }
    } guard{own};
    TSharedSynchronizersPool::ProxySynchronizer(own);
    ADD_FAILURE() << "no error for a proxy on a synchronizer that is not shared";
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "Attempt to create proxy on non shared synchronizer");
  }

  TRef<IDataSynchronizer> product;
  try {
    TSharedSynchronizersPool::NewSynchronizer("Pool Processing", TSharedSynchronizersPool::TSynchronizerFactory([&] {
                                                product = MakeRef<TThreadProcessingSynchronizer>("Pool Processing",
                                                                                                 [] {});
                                                return product;
                                              }));
    ADD_FAILURE() << "a processing synchronizer was cached";
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "TThreadProcessingSynchronizer can't be cached");
  }
  ASSERT_TRUE(product);
  EXPECT_TRUE(product->IsFinalized());
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage("Pool Processing"), 0);
  EXPECT_FALSE(TSharedSynchronizersPool::IsProxySynchronizer(product));
}

TEST(SynchronizersPool, ProxyReleasedWithoutFinalizeIsReported) {
  TConsoleCapture console;
  TSharedSynchronizersPool::NewSynchronizer("Pool Careless", false);
  EXPECT_TRUE(console.Contains("******* ERROR ******* Proxy synchronizer not finalized: Pool Careless"));
  TSharedSynchronizersPool::Cleanup();
}

TEST(SynchronizersPool, PoolSynchronizerSkipsBusyMembers) {
  TGate gate;
  TRef<IDataSynchronizer> first = TSharedSynchronizersPool::PoolSynchronizer("Pool Busy", 10);
  EXPECT_EQ(first->GetName(), "Pool Busy:0");
  first->Synchronize([&] { gate.Pass(); });
  ASSERT_TRUE(gate.WaitArrived());
  for (int i = 0; i < 9; ++i) first->Synchronize([] {});
  // Nine waiting: member 0 still takes work.
  TRef<IDataSynchronizer> same = TSharedSynchronizersPool::PoolSynchronizer("Pool Busy", 10);
  EXPECT_EQ(same->GetName(), "Pool Busy:0");
  first->Synchronize([] {});
  TRef<IDataSynchronizer> next = TSharedSynchronizersPool::PoolSynchronizer("Pool Busy", 10);
  EXPECT_EQ(next->GetName(), "Pool Busy:1");
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage("Pool Busy:0"), 2);
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage("Pool Busy:1"), 1);
  gate.Open();
  for (auto* p : {&first, &same, &next}) (*p)->Finalize();
}

TEST(SynchronizersPool, TimerSynchronizerIsCachedByName) {
  TRef<ITxTimer> timer = NewTimer("Pool Timer");
  TRef<IDataSynchronizer> a = TSharedSynchronizersPool::NewTimerSynchronizer("Pool Timed", TRef<IBasicTxTimer>(timer),
                                                                             10);
  TRef<IDataSynchronizer> b = TSharedSynchronizersPool::NewTimerSynchronizer("Pool Timed", TRef<IBasicTxTimer>(timer),
                                                                             10);
  EXPECT_EQ(timer->GetCount(), 1);
  EXPECT_EQ(TSharedSynchronizersPool::GetSynchronizerUsage("Pool Timed"), 2);
  std::atomic<bool> onTimer{false};
  EXPECT_TRUE(TDataSynchronizerTask::RunAndWait(a, [&] { onTimer = timer->IsInTimerThread(); }));
  EXPECT_TRUE(onTimer);
  a->Finalize();
  b->Finalize();
  a = b = nullptr;
  TSharedSynchronizersPool::Cleanup();
  EXPECT_TRUE(WaitFor([&] { return timer->GetCount() == 0; }));
}

// ---------------------------------------------------------------------------------------------
// Tasks

TEST(DataSynchronizerTask, RunAndWaitCases) {
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Task Sync");

  // Inline on the synchronizer's own thread.
  bool inner = false, innerInline = false;
  ASSERT_TRUE(TDataSynchronizerTask::RunAndWait(sync, [&] {
    bool returned = TDataSynchronizerTask::RunAndWait(sync, [&] { inner = true; });
    innerInline = returned && inner;
  }));
  EXPECT_TRUE(innerInline);

  // A nil closure returns once everything queued before has run.
  std::atomic<int> ran{0};
  for (int i = 0; i < 200; ++i) sync->Synchronize([&] { ++ran; });
  ASSERT_TRUE(TDataSynchronizerTask::RunAndWait(sync, nullptr));
  EXPECT_EQ(ran, 200);

  // On the main thread, a closure that itself needs the main thread completes.
  ASSERT_TRUE(IsMainThread());
  bool onMain = false;
  ASSERT_TRUE(TDataSynchronizerTask::RunAndWait(sync, [&] { SynchronizeMain([&] { onMain = IsMainThread(); }); }));
  EXPECT_TRUE(onMain);

  // A raising closure still ends the wait.
  test::TExceptionCapture errors;
  EXPECT_TRUE(TDataSynchronizerTask::RunAndWait(sync, [] { throw Exception("task failed"); }));
  // Reported by the worker after the waiter was released.
  EXPECT_TRUE(WaitFor([&] { return errors.Texts().size() == 1; }));

  sync->Finalize();
}

TEST(DataSynchronizerTask, FiniteTimeOutOnAStuckSynchronizer) {
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Task Stuck");
  TGate gate;
  sync->Synchronize([&] { gate.Pass(); });
  ASSERT_TRUE(gate.WaitArrived());
  std::atomic<bool> late{false};
  uint32_t start = GetTickCount32();
  EXPECT_FALSE(TDataSynchronizerTask::RunAndWait(
      sync, [&] { late = true; }, nullptr, 300, "Stuck"));
  EXPECT_GE(TicksSince(start), 300u);
  EXPECT_FALSE(LogContains("TASK ERROR WAITING ON SYNCHRONIZER Task Stuck"));
  gate.Open();
  // The closure still runs later and signals an event that is still alive.
  EXPECT_TRUE(WaitFor([&] { return late.load(); }));
  sync->Finalize();
}

TEST(DataSynchronizerTask, FinalizedSynchronizerIsSkipped) {
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Task Finalized");
  sync->Finalize();
  bool ran = false;
  EXPECT_TRUE(TDataSynchronizerTask::RunAndWait(
      sync, [&] { ran = true; }, nullptr, SyncNoTimeLimit, "Skip Me"));
  EXPECT_TRUE(LogContains("**** [Wait Operation Skipped] Waiting on finalized synchronizer: Skip Me"));
  TRef<IDataSynchronizerTask> task = TDataSynchronizerTask::Run(sync, [&] { ran = true; });
  EXPECT_TRUE(task->Wait("Skip Task"));
  EXPECT_TRUE(LogContains("**** [Wait Operation Skipped] Waiting on finalized synchronizer: Task Finalized"));
  EXPECT_FALSE(ran);
}

TEST(DataSynchronizerTask, RunThenWait) {
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Task Run");
  TGate gate;
  TTrace trace;
  sync->Synchronize([&] { gate.Pass(); });
  TRef<IDataSynchronizerTask> task = TDataSynchronizerTask::Run(sync, [&] { trace.Add("ran"); });
  ASSERT_TRUE(gate.WaitArrived());
  EXPECT_EQ(trace.Text(), "");
  gate.Open();
  EXPECT_TRUE(task->Wait("Run"));
  EXPECT_EQ(trace.Text(), "ran");
  // On the processing thread, Run runs at once.
  bool inlineDone = false;
  ASSERT_TRUE(TDataSynchronizerTask::RunAndWait(sync, [&] {
    TRef<IDataSynchronizerTask> t = TDataSynchronizerTask::Run(sync, [&] { trace.Add("inline"); });
    inlineDone = trace.Text() == "ran inline" && t->Wait("Inline");
  }));
  EXPECT_TRUE(inlineDone);
  sync->Finalize();
}

// A waiter on an item queued behind the finalization item, which therefore never runs, is
// released when the item is discarded.
TEST(DataSynchronizerTask, WaitEndsWhenItsItemIsDiscarded) {
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Task Abandoned");
  TGate gate;
  sync->Synchronize([&] { gate.Pass(); });
  ASSERT_TRUE(gate.WaitArrived());
  std::thread finalizer([&] { sync->Finalize(); });
  ASSERT_TRUE(WaitFor([&] { return sync->QueueCount() == 1; }));  // the finalization item
  bool ran = false;
  TRef<IDataSynchronizerTask> task = TDataSynchronizerTask::Run(sync, [&] { ran = true; });
  gate.Open();
  uint32_t start = GetTickCount32();
  EXPECT_TRUE(task->Wait("Abandoned"));
  finalizer.join();
  EXPECT_FALSE(ran);
  EXPECT_LT(TicksSince(start), 10000u);
}

}  // namespace
}  // namespace vexor
