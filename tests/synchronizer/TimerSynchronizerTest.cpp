#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "SyncTestSupport.h"
#include "concurrency/DataSynchronizer.h"
#include "concurrency/TxTimer.h"

namespace vexor {
namespace {

using test::TGate;
using test::TTrace;
using vexor::testing::WaitFor;

// Everything queued before a tick runs in that tick on the timer thread: a closure posted to the
// timer from the first item can only run after the whole batch.
TEST(TimerSynchronizer, QueuedItemsRunTogetherInTheNextTickOnTheTimerThread) {
  TRef<ITxTimer> timer = NewTimer("Sync Timer A");
  TRef<IDataSynchronizer> sync = MakeRef<TTimerDataSynchronizer>(TRef<IBasicTxTimer>(timer), 20, false, "TimerSync");
  EXPECT_EQ(timer->GetCount(), 1);
  TGate gate;
  timer->PostEvent([&] { gate.Pass(); }, 0, false);  // holds the timer thread
  ASSERT_TRUE(gate.WaitArrived());
  TTrace trace;
  std::atomic<bool> offTimer{false};
  for (int i = 1; i <= 5; ++i)
    ASSERT_TRUE(sync->Synchronize([&, i] {
      if (!timer->IsInTimerThread() || !sync->IsSynchronizerThread()) offTimer = true;
      if (i == 1) timer->PostEvent([&] { trace.Add("X"); }, 0, false);
      trace.Add(std::to_string(i));
    }));
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return trace.Text().size() >= 11; }));
  EXPECT_EQ(trace.Text(), "1 2 3 4 5 X");
  EXPECT_FALSE(offTimer);
  sync->Finalize();
  EXPECT_TRUE(sync->IsFinalized());
}

// Finalize drains, removes the timer event and refuses later work, from a foreign thread, from a
// tick, and through the release of an unfinalized handle.
TEST(TimerSynchronizer, FinalizeDrainsAndRemovesTheTimerEvent) {
  enum TWay { wForeign, wFromTick, wRelease };
  for (TWay way : {wForeign, wFromTick, wRelease}) {
    SCOPED_TRACE(way);
    TRef<ITxTimer> timer = NewTimer("Sync Timer B");
    TRef<IDataSynchronizer> sync = MakeRef<TTimerDataSynchronizer>(TRef<IBasicTxTimer>(timer), 10, false,
                                                                   "TimerSyncFin");
    std::atomic<int> ran{0};
    std::atomic<bool> late{false};
    for (int i = 0; i < 20; ++i) sync->Synchronize([&] { ++ran; });
    if (way == wForeign) {
      sync->Finalize();
    } else if (way == wFromTick) {
      sync->Synchronize([&] { sync->Finalize(); });
      ASSERT_TRUE(WaitFor([&] { return sync->IsFinalized(); }));
    } else {
      // Keep the executor to look at it once the handle is gone.
      TRef<IDataSynchronizer> executor = dynamic_cast<TBaseProxySynchronizer*>(sync.get())->Synchronizer();
      sync = nullptr;
      EXPECT_TRUE(executor->IsFinalized());
      sync = executor;
    }
    EXPECT_EQ(ran, 20);
    EXPECT_TRUE(WaitFor([&] { return timer->GetCount() == 0; }));
    EXPECT_FALSE(sync->Synchronize([&] { late = true; }));
    sync->Finalize();  // a second time: nothing
    EXPECT_FALSE(late);
  }
}

TEST(SynchronizerTimerEvent, TicksRunOnTheSynchronizerAndOverlappingTicksAreSkipped) {
  TRef<ITxTimer> timer = NewTimer("Sync Timer C");
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync Ticks");
  std::atomic<int> ticks{0};
  std::atomic<bool> offThread{false};
  auto event = MakeRef<TSynchronizerTimerEvent>(
      TRef<IBasicTxTimer>(timer), 5, "Sync Tick Event",
      [&](IInterface* ASender) {
        if (!sync->IsSynchronizerThread() || !ASender) offThread = true;
        ++ticks;
      },
      sync);
  TRef<ITxTimerEvent> timerEvent = event->GetEvent();
  ASSERT_TRUE(timerEvent);
  // Created inactive.
  uint32_t created = GetTickCount32();
  while (!TickElapsed(created, 30)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(ticks, 0);

  // Hold the synchronizer; several timer runs go by with one tick queued at most.
  TGate gate;
  sync->Synchronize([&] { gate.Pass(); });
  ASSERT_TRUE(gate.WaitArrived());
  timerEvent->Activate();
  ASSERT_TRUE(WaitFor([&] { return event->InProcessing(); }));
  for (int run = 0; run < 3; ++run) {
    uint32_t last = timerEvent->GetLastTime();
    ASSERT_TRUE(WaitFor([&] { return timerEvent->GetLastTime() != last; }));
    EXPECT_LE(sync->QueueCount(), 1);
  }
  EXPECT_EQ(ticks, 0);
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return ticks >= 3; }));
  EXPECT_FALSE(offThread);
  event->Delete();
  int after = ticks;
  ASSERT_TRUE(TDataSynchronizerTask::RunAndWait(sync, nullptr));
  EXPECT_EQ(ticks, after);
  EXPECT_FALSE(event->InProcessing());
  sync->Finalize();
}

TEST(SynchronizerTimerEvent, DeleteFromAnotherThreadWaitsForTheTickInFlight) {
  TRef<ITxTimer> timer = NewTimer("Sync Timer D");
  TRef<IDataSynchronizer> sync = MakeRef<TThreadDataSynchronizer>("Sync Tick Delete");
  TGate inTick;
  TTrace trace;
  std::atomic<bool> first{true};
  auto event = MakeRef<TSynchronizerTimerEvent>(
      TRef<IBasicTxTimer>(timer), 5, "Sync Tick Delete Event",
      [&](IInterface*) {
        if (!first.exchange(false)) return;
        inTick.Pass();
        trace.Add("tick-end");
      },
      sync);
  event->GetEvent()->Activate();
  ASSERT_TRUE(inTick.WaitArrived());
  std::atomic<bool> deleted{false};
  std::thread deleter([&] {
    event->Delete();
    trace.Add("deleted");
    deleted = true;
  });
  // Delete must still be waiting while the tick runs.
  EXPECT_FALSE(WaitFor([&] { return deleted.load(); }, 100));
  inTick.Open();
  deleter.join();
  EXPECT_EQ(trace.Text(), "tick-end deleted");
  EXPECT_FALSE(event->InProcessing());
  sync->Finalize();
}

}  // namespace
}  // namespace vexor
