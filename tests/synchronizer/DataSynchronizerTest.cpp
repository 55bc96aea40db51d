#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <stdexcept>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "concurrency/internal/DataSynchronizerImpl.h"
#include "platform/Exceptions.h"
#include "SyncTestSupport.h"
#include "diagnostics/AppStats.h"
#include "concurrency/DataSynchronizer.h"

namespace vexor {
namespace {

using test::TConsoleCapture;
using test::TExceptionCapture;
using test::TGate;
using test::TTrace;
using vexor::testing::WaitFor;

using TThreadExecutor = TThreadDataSynchronizer::TThreadSynchronizer;

TRef<TThreadExecutor> ExecutorOf(const TRef<IDataSynchronizer>& AHandle) {
  auto* handle = dynamic_cast<TBaseProxySynchronizer*>(AHandle.get());
  if (!handle) throw std::logic_error("not a proxy synchronizer");
  return TRef<TThreadExecutor>(static_cast<TThreadExecutor*>(handle->Synchronizer().get()));
}

TEST(DataSynchronizer, ClosuresFromSeveralThreadsRunSeriallyInOrderOnTheNamedWorker) {
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync Order");
  constexpr int kPerProducer = 2000;
  std::vector<int> seen[2];
  std::atomic<int> running{0};
  std::atomic<bool> overlap{false}, offThread{false};
  std::string threadName;
  auto producer = [&](int AIndex) {
    for (int i = 0; i < kPerProducer; ++i)
      ASSERT_TRUE(sync->Synchronize([&, AIndex, i] {
        if (running.fetch_add(1) != 0) overlap = true;
        if (!sync->IsSynchronizerThread()) offThread = true;
        seen[AIndex].push_back(i);
        running.fetch_sub(1);
      }));
  };
  std::thread a(producer, 0), b(producer, 1);
  a.join();
  b.join();
  ASSERT_TRUE(TDataSynchronizerTask::RunAndWait(sync, [&] {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    threadName = name;
  }));
  EXPECT_FALSE(overlap);
  EXPECT_FALSE(offThread);
  EXPECT_FALSE(sync->IsSynchronizerThread());
  EXPECT_EQ(threadName, "Sync Order");
  EXPECT_EQ(sync->GetName(), "Sync Order");
  for (auto& list : seen) {
    ASSERT_EQ(list.size(), size_t(kPerProducer));
    for (int i = 0; i < kPerProducer; ++i) ASSERT_EQ(list[i], i);
  }
  // The pending counter is brought up to date at the end of the pass.
  TRef<IAppStatCounter> pending = TAppStatRegistry::DynCounter("Synchronizer.Sync Order");
  EXPECT_TRUE(WaitFor([&] { return pending->IVal() == 0; })) << pending->IVal();
  sync->Finalize();
}

// A closure handed in from the processing thread runs at once with bubbling off, and behind the
// items already waiting with bubbling on.
TEST(DataSynchronizer, BubblingDecidesWhereAClosureFromTheWorkerRuns) {
  struct TCase {
    bool Bubbling;
    const char* Expected;
  } cases[] = {{false, "A< inner A> B C"}, {true, "A< A> B C inner"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Bubbling ? "bubbling on" : "bubbling off");
    TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync Bubbling", c.Bubbling);
    TTrace trace;
    TGate gate;
    sync->Synchronize([&] {
      trace.Add("A<");
      gate.Pass();
      EXPECT_TRUE(sync->Synchronize([&] { trace.Add("inner"); }));
      trace.Add("A>");
    });
    ASSERT_TRUE(gate.WaitArrived());
    sync->Synchronize([&] { trace.Add("B"); });
    sync->Synchronize([&] { trace.Add("C"); });
    gate.Open();
    std::string expected = c.Expected;
    EXPECT_TRUE(WaitFor([&] { return trace.Text().size() >= expected.size(); }));
    EXPECT_EQ(trace.Text(), expected);
    sync->Finalize();
  }
}

// Item 1 holds the worker until all five are queued; P marks the processing procedure.
TEST(DataSynchronizer, ProcessingPassLimitsAndExceptions) {
  struct TCase {
    int32_t MaxTasks;
    int ThrowAt;  // 0: none
    const char* Expected;
  } cases[] = {
      {2, 0, "1 2 3 P 4 5 P"},    // three items per pass, then the procedure
      {32768, 3, "1 2 3 4 5 P"},  // the raising pass ends without the procedure
      {2, 3, "1 2 3 4 5 P"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Expected);
    TExceptionCapture errors;
    TTrace trace;
    std::atomic<int> itemsDone{0};
    std::atomic<bool> record{false};
    // A long queue delay: no idle pass ends while the test queues its items.
    auto sync = MakeRef<TThreadProcessingSynchronizer>(
        "Sync Pass",
        [&] {
          if (record) trace.Add("P");
        },
        false, 10000, c.MaxTasks);
    TGate gate;
    for (int i = 1; i <= 5; ++i)
      sync->Synchronize([&, i] {
        if (i == 1) {
          record = true;
          gate.Pass();
        }
        trace.Add(std::to_string(i));
        ++itemsDone;
        if (i == c.ThrowAt) throw Exception("boom");
      });
    gate.Open();
    std::string expected = c.Expected;
    ASSERT_TRUE(WaitFor([&] { return trace.Text() == expected; })) << trace.Text();
    if (c.ThrowAt) {
      ASSERT_EQ(errors.Texts().size(), 1u);
      EXPECT_EQ(errors.Texts()[0], "Queue:Sync Pass - boom");
    } else {
      EXPECT_TRUE(errors.Texts().empty());
    }
    sync->Finalize();
  }
}

TEST(DataSynchronizer, IdlePassesStillRunTheProcessingProcedure) {
  std::atomic<int> calls{0};
  auto sync = MakeRef<TThreadProcessingSynchronizer>(
      "Sync Idle", [&] { ++calls; }, false, 10);
  EXPECT_TRUE(WaitFor([&] { return calls >= 3; }));
  sync->Finalize();
  int after = calls;
  EXPECT_TRUE(WaitFor([&] { return ExecutorOf(TRef<IDataSynchronizer>(sync))->WorkerEnded(); }));
  EXPECT_EQ(calls, after);
}

// Finalize drains what was queued before it, refuses what comes after, and ends the worker,
// whether it is called from a foreign thread or from the worker itself.
TEST(DataSynchronizer, FinalizeDrainsThenRefusesAndIsIdempotent) {
  struct TCase {
    bool FromWorker;
    bool Bubbling;
  } cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.FromWorker ? "from worker" : "foreign") + (c.Bubbling ? ", bubbling" : ""));
    TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync Finalize", c.Bubbling);
    TRef<TThreadExecutor> executor = ExecutorOf(sync);
    TGate gate;
    std::atomic<int> ran{0};
    std::atomic<bool> lateRan{false};
    sync->Synchronize([&] { gate.Pass(); });
    for (int i = 0; i < 10; ++i) sync->Synchronize([&] { ++ran; });
    if (c.FromWorker) {
      sync->Synchronize([&] {
        sync->Finalize();
        EXPECT_TRUE(sync->IsFinalized());
      });
      gate.Open();
      ASSERT_TRUE(WaitFor([&] { return sync->IsFinalized(); }));
    } else {
      std::thread opener([&] {
        std::this_thread::yield();
        gate.Open();
      });
      sync->Finalize();  // returns once the queued finalization item has run
      opener.join();
      EXPECT_TRUE(sync->IsFinalized());
    }
    EXPECT_EQ(ran, 10);
    EXPECT_FALSE(sync->Synchronize([&] { lateRan = true; }));
    sync->Finalize();
    EXPECT_TRUE(WaitFor([&] { return executor->WorkerEnded(); }));
    EXPECT_FALSE(lateRan);
  }
}

TEST(DataSynchronizer, ReleasingTheLastHandleFinalizesAndEndsTheWorker) {
  TConsoleCapture console;
  TRef<TThreadExecutor> executor;
  std::atomic<int> ran{0};
  {
    TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync Release");
    executor = ExecutorOf(sync);
    for (int i = 0; i < 100; ++i) sync->Synchronize([&] { ++ran; });
  }
  EXPECT_EQ(ran, 100);
  EXPECT_TRUE(executor->IsFinalized());
  EXPECT_TRUE(WaitFor([&] { return executor->WorkerEnded(); }, 2000));
  executor = nullptr;
  EXPECT_FALSE(console.Contains("NOT FINALIZED"));
}

TEST(DataSynchronizer, ExecutorDestroyedUnfinalizedIsReported) {
  TConsoleCapture console;
  MakeRef<TBasicDataSynchronizer>("Sync Lost");
  EXPECT_TRUE(console.Contains("***** SYNCHRONIZER NOT FINALIZED: Sync Lost ******"));
}

// The item's ObjRef lives until the item has run, or until it is discarded unrun.
TEST(DataSynchronizer, ObjRefLivesUntilTheItemIsDone) {
  struct TProbe : TRefCntObject {
    std::atomic<bool>* Destroyed;
    explicit TProbe(std::atomic<bool>* ADestroyed) : Destroyed(ADestroyed) {}
    ~TProbe() override { *Destroyed = true; }
  };
  std::atomic<bool> destroyed{false}, destroyedWhileRunning{true};
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync ObjRef");
  TGate gate;
  sync->Synchronize([&] { gate.Pass(); });
  {
    TRef<TProbe> probe = MakeRef<TProbe>(&destroyed);
    sync->Synchronize([&] { destroyedWhileRunning = destroyed.load(); }, TRef<IInterface>(probe.get()));
  }
  EXPECT_FALSE(destroyed);
  gate.Open();
  ASSERT_TRUE(TDataSynchronizerTask::RunAndWait(sync, nullptr));
  EXPECT_FALSE(destroyedWhileRunning);
  EXPECT_TRUE(destroyed);
  sync->Finalize();
}

TEST(DataSynchronizer, ProcessingThreadOnlyOperations) {
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync WaitFor");
  ASSERT_TRUE(TDataSynchronizerTask::RunAndWait(sync, nullptr));  // the worker runs
  struct TCase {
    std::function<void()> Call;
    const char* Message;
  } cases[] = {
      {[&] { sync->WaitFor([] { return true; }); }, "WaitFor can be called only inside synchronize"},
      {[&] { sync->ProcessItems(0); }, "ProcessItems can be called only on the processing thread of Sync WaitFor"},
  };
  for (const TCase& c : cases) {
    try {
      c.Call();
      ADD_FAILURE() << "no error off the processing thread: " << c.Message;
    } catch (const Exception& E) {
      EXPECT_STREQ(E.what(), c.Message);
    }
  }
  // On the worker, WaitFor keeps running queued items until the condition holds.
  std::atomic<bool> flag{false}, waited{false};
  TGate gate;
  sync->Synchronize([&] {
    gate.Pass();
    sync->WaitFor([&] { return flag.load(); });
    waited = true;
  });
  ASSERT_TRUE(gate.WaitArrived());
  sync->Synchronize([&] { flag = true; });
  gate.Open();
  EXPECT_TRUE(WaitFor([&] { return waited.load(); }));
  sync->Finalize();
}

// Finalizing from the main thread must not freeze while queued work needs the main thread.
TEST(DataSynchronizer, FinalizeOnTheMainThreadServesMainThreadCalls) {
  ASSERT_TRUE(IsMainThread());
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync Main");
  std::atomic<bool> ranOnMain{false};
  sync->Synchronize([&] { SynchronizeMain([&] { ranOnMain = IsMainThread(); }); });
  uint32_t start = GetTickCount32();
  sync->Finalize();
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(sync->IsFinalized());
  EXPECT_LT(TicksSince(start), 10000u);
}

}  // namespace
}  // namespace vexor
