// The browser message pump and the main-thread task queue, driven tick by tick without a browser.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "browser/core/ExCefClientHandler.h"
#include "browser/core/GlobalMainThreadSynchronizer.h"
#include "platform/MainThread.h"

namespace vexor {
namespace {

class TFakePumpTimer : public IBrowserPumpTimer {
 public:
  void Start(uint32_t APeriodMs, std::function<void()> ATick) override {
    ++Starts;
    Period = APeriodMs;
    Tick = std::move(ATick);
  }
  void Stop() override {
    ++Stops;
    Tick = nullptr;
  }
  int Starts = 0, Stops = 0;
  uint32_t Period = 0;
  std::function<void()> Tick;
};

class TAliveCounter : public TRefCntObject {
 public:
  explicit TAliveCounter(int& ALive) : FLive(ALive) { ++FLive; }
  ~TAliveCounter() override { --FLive; }

 private:
  int& FLive;
};

class MessagePump : public ::testing::Test {
 protected:
  void SetUp() override {
    InitMainThread();
    TGlobalMainThreadSynchronizer::CreateQueue();
    TExCefClientHandler::SetPumpTimer(&FTimer);
  }
  void TearDown() override {
    TExCefClientHandler::SetPumpTimer(nullptr);
    TExCefClientHandler::SetMessageLoopWork(nullptr);
    TGlobalMainThreadSynchronizer::DestroyQueue();
  }
  void Queue(std::string AName, bool AForce = true) {
    TGlobalMainThreadSynchronizer::Synchronize([this, AName] { FRan.push_back(AName); }, nullptr, AForce);
  }

  TFakePumpTimer FTimer;
  std::vector<std::string> FRan;
};

TEST_F(MessagePump, FirstClientStartsTheOneTimerAndTheLastStopsIt) {
  {
    TExCefClientHandler first;
    EXPECT_EQ(FTimer.Starts, 1);
    EXPECT_EQ(FTimer.Period, 5u);
    {
      TExCefClientHandler second;
      EXPECT_EQ(TExCefClientHandler::ClientCount(), 2);
    }
    EXPECT_EQ(FTimer.Starts, 1) << "a second client made a second timer";
    EXPECT_EQ(FTimer.Stops, 0) << "destroying one of two clients stopped the timer";
    ASSERT_TRUE(FTimer.Tick);
    Queue("a");
    FTimer.Tick();
    EXPECT_EQ(FRan, std::vector<std::string>{"a"});
  }
  EXPECT_EQ(FTimer.Stops, 1);
  EXPECT_EQ(TExCefClientHandler::ClientCount(), 0);
}

TEST_F(MessagePump, ForcedTaskWaitsForTheNextTickAndUnforcedRunsAtOnce) {
  Queue("forced", true);
  EXPECT_TRUE(FRan.empty());
  Queue("direct", false);
  EXPECT_EQ(FRan, std::vector<std::string>{"direct"});
  TExCefClientHandler::PumpTick();
  EXPECT_EQ(FRan, (std::vector<std::string>{"direct", "forced"}));
}

TEST_F(MessagePump, TaskQueuedFromATaskRunsBehindTheOthersInTheSameDrain) {
  TGlobalMainThreadSynchronizer::Synchronize(
      [this] {
        FRan.push_back("a");
        EXPECT_TRUE(TExCefClientHandler::InCefLoop());
        Queue("nested", false);  // not forced, yet queued: the drain runs at depth 1
        EXPECT_EQ(FRan.back(), "a");
      },
      nullptr, true);
  Queue("c");
  TExCefClientHandler::PumpTick();
  EXPECT_EQ(FRan, (std::vector<std::string>{"a", "c", "nested"}));
  EXPECT_EQ(TGlobalMainThreadSynchronizer::PendingTasks(), 0u);
  EXPECT_EQ(TExCefClientHandler::LoopDepth(), 0);
}

TEST_F(MessagePump, RaisingTaskDoesNotStopTheLaterOnesAndDropsItsReference) {
  int live = 0;
  TGlobalMainThreadSynchronizer::Synchronize([] { throw std::runtime_error("boom"); },
                                             TRef<IInterface>::Adopt(new TAliveCounter(live)), true);
  Queue("after");
  EXPECT_EQ(live, 1);
  TExCefClientHandler::PumpTick();
  EXPECT_EQ(FRan, std::vector<std::string>{"after"});
  EXPECT_EQ(live, 0);
}

TEST_F(MessagePump, RuntimeWorkRunsFirstAndItsFailureStillLetsTheQueueDrain) {
  TExCefClientHandler::SetMessageLoopWork([this] {
    FRan.push_back("work@" + std::to_string(TExCefClientHandler::LoopDepth()));
    throw std::runtime_error("runtime failure");
  });
  Queue("task");
  TExCefClientHandler::PumpTick();
  EXPECT_EQ(FRan, (std::vector<std::string>{"work@1", "task"}));
  EXPECT_EQ(TExCefClientHandler::LoopDepth(), 0);
}

TEST_F(MessagePump, NestedTickInsideATaskLeavesTheDepthAsItFoundIt) {
  int depthBefore = -1, depthAfter = -1;
  TGlobalMainThreadSynchronizer::Synchronize(
      [&] {
        Queue("inner");
        depthBefore = TExCefClientHandler::LoopDepth();
        TExCefClientHandler::PumpTick();  // as a modal loop inside a task would
        depthAfter = TExCefClientHandler::LoopDepth();
      },
      nullptr, true);
  TExCefClientHandler::PumpTick();
  EXPECT_EQ(depthBefore, 1);
  EXPECT_EQ(depthAfter, 1);
  EXPECT_EQ(FRan, std::vector<std::string>{"inner"});
  EXPECT_EQ(TExCefClientHandler::LoopDepth(), 0);
}

TEST_F(MessagePump, TasksLeftAtProgramEndAreFreedUnrunAndLateOnesDropped) {
  int live = 0;
  bool ran = false;
  TGlobalMainThreadSynchronizer::Synchronize([&] { ran = true; }, TRef<IInterface>::Adopt(new TAliveCounter(live)),
                                             true);
  EXPECT_EQ(live, 1);
  TGlobalMainThreadSynchronizer::DestroyQueue();
  EXPECT_EQ(live, 0);
  TGlobalMainThreadSynchronizer::Synchronize([&] { ran = true; }, TRef<IInterface>::Adopt(new TAliveCounter(live)),
                                             true);
  EXPECT_EQ(live, 0);
  TExCefClientHandler::PumpTick();
  EXPECT_FALSE(ran);
}

TEST_F(MessagePump, OtherThreadsAlwaysQueue) {
  std::thread([this] { Queue("from worker", false); }).join();
  EXPECT_TRUE(FRan.empty());
  TExCefClientHandler::PumpTick();
  EXPECT_EQ(FRan, std::vector<std::string>{"from worker"});
}

}  // namespace
}  // namespace vexor
