#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "concurrency/ExThread.h"
#include "common/Wait.h"
#include "concurrency/TxTimer.h"

namespace vexor {
namespace {

using testing::WaitFor;

void SleepMs(int AMs) { std::this_thread::sleep_for(std::chrono::milliseconds(AMs)); }

// A tick counter that reads AStart now and then advances with the real clock.
std::atomic<uint32_t> gTickBase{0};
uint32_t ShiftedTicks() {
  static const auto origin = std::chrono::steady_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - origin);
  return gTickBase.load() + uint32_t(ms.count());
}
struct TShiftedTicks {
  explicit TShiftedTicks(uint32_t AStart) {
    gTickBase = 0;
    gTickBase = AStart - ShiftedTicks();
    SetTickSource(&ShiftedTicks);
  }
  ~TShiftedTicks() { SetTickSource(nullptr); }
};

class TxTimerTest : public ::testing::Test {
 protected:
  void SetUp() override { FTimer = NewTimer("Test Timer"); }
  void TearDown() override {
    FTimer = nullptr;
    SetAppExceptionHandler(nullptr);
  }
  TRef<ITxTimer> FTimer;
};

TEST_F(TxTimerTest, ServiceTimers) {
  ASSERT_TRUE(AppTimer());
  EXPECT_EQ(AppTimer()->GetName(), "Global AppTimer");
  EXPECT_FALSE(TimersShuttingDown());
}

TEST_F(TxTimerTest, FiresOnlyAfterActivate) {
  std::atomic<int> idle{0}, clock{0};
  auto waiting = FTimer->AddEvent(
      10, "waiting", [&](ITxTimerEvent*) { ++idle; }, false);
  auto ticking = FTimer->AddEvent(
      10, "ticking", [&](ITxTimerEvent*) { ++clock; }, false);
  ticking->Activate();
  ASSERT_TRUE(WaitFor([&] { return clock >= 5; }));
  EXPECT_EQ(idle, 0);
  EXPECT_FALSE(waiting->GetActive());
  waiting->Activate();
  EXPECT_TRUE(WaitFor([&] { return idle >= 1; }));
  waiting->Delete();
  ticking->Delete();
  EXPECT_EQ(FTimer->GetCount(), 0);
}

TEST_F(TxTimerTest, PeriodCountsFromTheEndOfThePreviousRun) {
  std::mutex lock;
  std::vector<uint32_t> starts;
  auto event = FTimer->AddEvent(
      250, "slow",
      [&](ITxTimerEvent*) {
        {
          std::lock_guard<std::mutex> g(lock);
          starts.push_back(GetTickCount32());
        }
        SleepMs(100);
      },
      false);
  event->Activate();
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(lock);
    return starts.size() >= 3;
  }));
  event->Delete();
  for (size_t i = 1; i < 3; ++i) {
    uint32_t gap = TickDiff(starts[i - 1], starts[i]);
    EXPECT_GE(gap, 345u);  // 100 ms run + 250 ms interval, never less
    EXPECT_LT(gap, 2000u);
  }
}

TEST_F(TxTimerTest, IntervalZeroFiresEverySweepNegativeNever) {
  std::atomic<int> fast{0}, never{0};
  auto zero = FTimer->AddEvent(
      0, "zero", [&](ITxTimerEvent*) { ++fast; }, false);
  auto negative = FTimer->AddEvent(
      -1, "negative", [&](ITxTimerEvent*) { ++never; }, false);
  negative->Activate();
  zero->Activate();
  EXPECT_TRUE(WaitFor([&] { return fast >= 50; }));
  EXPECT_EQ(never, 0);
  zero->Delete();
  negative->Delete();
}

// "Due at the next check" must not depend on how long ago the machine booted: a counter a few
// milliseconds after boot, one in mid-range, and one about to wrap.
TEST_F(TxTimerTest, RestartFiresAtTheNextCheckWhateverTheCounterReads) {
  for (uint32_t start : {5u, 0x7FFFFFFFu, 0xFFFFFFF0u}) {
    SCOPED_TRACE(start);
    TShiftedTicks ticks(start);
    std::atomic<int> runs{0};
    auto event = FTimer->AddEvent(
        1000000, "rare", [&](ITxTimerEvent*) { ++runs; }, false);
    event->Activate();
    event->Restart();
    EXPECT_TRUE(WaitFor([&] { return runs == 1; }));
    EXPECT_TRUE(event->GetActive());
    event->Delete();
  }
}

// A fresh event waits one interval, also when the counter is still small.
TEST_F(TxTimerTest, FirstRunComesOneIntervalAfterActivationOnAFreshCounter) {
  TShiftedTicks ticks(1);
  std::atomic<int> runs{0};
  auto event = FTimer->AddEvent(
      1000000, "fresh", [&](ITxTimerEvent*) { ++runs; }, false);
  event->Activate();
  EXPECT_TRUE(FTimer->Synchronize(nullptr));  // one full check has passed
  EXPECT_EQ(runs, 0);
  event->Delete();
}

TEST_F(TxTimerTest, EventReleasedByItsHoldersIsDeletedWithoutRunning) {
  std::atomic<int> runs{0};
  {
    auto event = FTimer->AddEvent(
        50, "orphan", [&](ITxTimerEvent*) { ++runs; }, false);
    event->Activate();
  }
  EXPECT_TRUE(WaitFor([&] { return FTimer->GetCount() == 0; }));
  EXPECT_EQ(runs, 0);
}

TEST_F(TxTimerTest, DeleteFromItsOwnCallbackDoesNotWait) {
  std::atomic<int> runs{0};
  std::atomic<bool> returned{false};
  TRef<ITxTimerEvent> event = FTimer->AddEvent(
      0, "self",
      [&](ITxTimerEvent* ASender) {
        ++runs;
        ASender->Delete();
        returned = true;
      },
      false);
  event->Activate();
  ASSERT_TRUE(WaitFor([&] { return returned.load(); }));
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(event->GetActive());
  EXPECT_FALSE(event->GetTimer());  // unlinked
  EXPECT_EQ(FTimer->GetCount(), 0);
}

TEST_F(TxTimerTest, DeleteFromAnotherThreadWaitsForTheRunningCallback) {
  std::atomic<bool> inside{false}, finished{false};
  auto event = FTimer->AddEvent(
      0, "busy",
      [&](ITxTimerEvent*) {
        inside = true;
        SleepMs(150);
        finished = true;
      },
      false);
  event->Activate();
  ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
  event->Delete();  // main thread: waits, serving the call queue
  EXPECT_TRUE(finished);
}

TEST_F(TxTimerTest, SynchronizeRunsOnTheTimerThread) {
  std::atomic<bool> onTimer{false}, inline_{false};
  EXPECT_TRUE(FTimer->Synchronize([&] { onTimer = FTimer->IsInTimerThread(); }));
  EXPECT_TRUE(onTimer);

  // From the timer thread itself it runs inline.
  std::atomic<bool> done{false};
  FTimer->PostEvent(
      [&] {
        bool ran = false;
        EXPECT_TRUE(FTimer->Synchronize([&] { ran = true; }));
        inline_ = ran;
        done = true;
      },
      0, false);
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  EXPECT_TRUE(inline_);

  // A closure that raises still releases its waiter; the timer reports it and carries on.
  SetAppExceptionHandler([](std::exception_ptr, const char*) {});
  EXPECT_TRUE(FTimer->Synchronize([] { throw std::runtime_error("sync failed"); }));
}

TEST_F(TxTimerTest, PostedClosureRunsOnceAndDisappears) {
  std::atomic<int> runs{0};
  std::atomic<ITxTimerEvent*> sender{nullptr};
  FTimer->PostEvent(
      [&](ITxTimerEvent* ASender) {
        sender = ASender;
        ++runs;
      },
      20, false);
  EXPECT_EQ(FTimer->GetCount(), 1);
  ASSERT_TRUE(WaitFor([&] { return runs == 1 && FTimer->GetCount() == 0; }));
  EXPECT_NE(sender.load(), nullptr);
  // A raising closure is still a one-shot.
  SetAppExceptionHandler([](std::exception_ptr, const char*) {});
  FTimer->PostEvent(
      [&] {
        ++runs;
        throw std::runtime_error("once");
      },
      0, false);
  ASSERT_TRUE(WaitFor([&] { return runs == 2 && FTimer->GetCount() == 0; }));
  EXPECT_TRUE(FTimer->Synchronize(nullptr));  // one more sweep
  EXPECT_EQ(runs, 2);
}

TEST_F(TxTimerTest, CallbackErrorIsReportedAndTheTimerCarriesOn) {
  std::mutex lock;
  std::string reported;
  SetAppExceptionHandler([&](std::exception_ptr AError, const char*) {
    try {
      std::rethrow_exception(AError);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(lock);
      reported = e.what();
    }
  });
  std::atomic<int> runs{0};
  auto event = FTimer->AddEvent(
      0, "Faulty",
      [&](ITxTimerEvent*) {
        ++runs;
        throw std::runtime_error("boom");
      },
      false);
  event->Activate();
  ASSERT_TRUE(WaitFor([&] { return runs >= 3; }));
  event->Delete();
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(reported, "Test Timer: Faulty boom");
}

TEST_F(TxTimerTest, SynchronizedEventsRunOnTheMainThread) {
  std::atomic<int> onMain{0};
  std::atomic<bool> refused{false};
  auto event = FTimer->AddEvent(
      10, "ui",
      [&](ITxTimerEvent*) {
        onMain += IsMainThread();
        // The timer thread waits for us: a waiting sync call from here must be refused.
        try {
          FTimer->Synchronize([] {});
        } catch (const Exception& e) {
          refused = std::string(e.what()) == "Can't executed sync event in synchronize.";
        }
      },
      true);
  event->Activate();
  EXPECT_TRUE(WaitFor([&] { return onMain >= 2; }));  // serves the main thread's queue
  event->Delete();
  EXPECT_TRUE(refused);
}

TEST_F(TxTimerTest, DisablingTakesEffectAfterTheRunningCallback) {
  std::atomic<bool> inside{false}, finished{false};
  std::atomic<int> runs{0};
  auto event = FTimer->AddEvent(
      0, "work",
      [&](ITxTimerEvent*) {
        ++runs;
        inside = true;
        SleepMs(100);
        finished = true;
      },
      false);
  event->Activate();
  ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
  FTimer->SetEnabled(false);
  EXPECT_TRUE(finished);  // disabling waited for the callback
  EXPECT_FALSE(FTimer->GetEnabled());
  int after = runs;
  SleepMs(300);
  EXPECT_EQ(runs, after);
  EXPECT_TRUE(event->GetActive());  // events keep their state
  FTimer->SetEnabled(true);
  EXPECT_TRUE(WaitFor([&] { return runs > after; }));
  event->Delete();
}

TEST_F(TxTimerTest, SharedTimersByName) {
  auto threadOf = [](const TRef<IBasicTxTimer>& ATimer) {
    std::atomic<uint32_t> id{0};
    ATimer->Synchronize([&] { id = GetCurrentThreadId(); });
    return id.load();
  };
  auto a = GetSharedTimer("Shared Test Timer");
  auto b = GetSharedTimer("Shared Test Timer");
  ASSERT_TRUE(a);
  EXPECT_EQ(a.get(), b.get());
  uint32_t first = threadOf(a);
  a = nullptr;
  b = nullptr;
  EXPECT_TRUE(WaitFor([&] { return !TExThread::ThreadExists(first); }));
  auto c = GetSharedTimer("Shared Test Timer");
  EXPECT_NE(threadOf(c), first);
}

TEST_F(TxTimerTest, ClearUnlinksEveryEvent) {
  std::atomic<int> runs{0};
  auto event = FTimer->AddEvent(
      5, "cleared", [&](ITxTimerEvent*) { ++runs; }, false);
  FTimer->Clear();
  EXPECT_EQ(FTimer->GetCount(), 0);
  EXPECT_FALSE(event->GetTimer());
  event->Activate();
  EXPECT_TRUE(FTimer->Synchronize(nullptr));
  EXPECT_EQ(runs, 0);
  event->Delete();  // inert, no wait
}

TEST_F(TxTimerTest, IntervalsSpanTheTickWrap) {
  TShiftedTicks ticks(0xFFFFFFFFu - 150);  // wraps 150 ms from now
  std::atomic<int> runs{0};
  auto event = FTimer->AddEvent(
      100, "wrap", [&](ITxTimerEvent*) { ++runs; }, false);
  event->Activate();
  EXPECT_TRUE(WaitFor([&] { return runs >= 4; }));  // runs on both sides of the wrap
  event->Delete();
}

}  // namespace
}  // namespace vexor
