#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "common/Wait.h"
#include "platform/Ticks.h"

namespace vexor {
namespace {


class MainThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { InitMainThread(); }
  void TearDown() override {
    SetMainThreadWakeHook(nullptr);
    SetAppExceptionHandler(nullptr);
  }
};

TEST_F(MainThreadTest, SynchronizeRunsOnTheMainThreadInOrder) {
  std::vector<int> order;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i)
      SynchronizeMain([&, i] {
        EXPECT_TRUE(IsMainThread());
        order.push_back(i);
      });
    done = true;
  });
  EXPECT_TRUE(testing::WaitFor([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  int direct = 0;
  SynchronizeMain([&] { direct = 1; });  // from the main thread: runs at once
  EXPECT_EQ(direct, 1);
}

TEST_F(MainThreadTest, ExceptionsReachTheWaiterOrTheHandler) {
  std::string caught, handled;
  std::atomic<bool> done{false};
  std::atomic<int> wakes{0};
  SetMainThreadWakeHook([&] { ++wakes; });
  SetAppExceptionHandler([&](std::exception_ptr e, const char*) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      handled = ex.what();
    }
  });
  std::thread worker([&] {
    try {
      SynchronizeMain([] { throw Exception("sync failure"); });
    } catch (const Exception& e) {
      caught = e.what();
    }
    QueueMain([] { throw Exception("queued failure"); });
    QueueMain([&] { done = true; });
  });
  EXPECT_TRUE(testing::WaitFor([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(caught, "sync failure");
  EXPECT_EQ(handled, "queued failure");
  EXPECT_EQ(wakes.load(), 3);
  EXPECT_EQ(PendingMainThreadCalls(), 0u);
}

TEST_F(MainThreadTest, OnlyTheMainThreadServesTheQueue) {
  std::atomic<bool> ran{false};
  std::thread worker([&] {
    QueueMain([&] { ran = true; });
    EXPECT_FALSE(CheckSynchronize(0));
  });
  worker.join();
  EXPECT_FALSE(ran.load());
  EXPECT_TRUE(CheckSynchronize(0));
  EXPECT_TRUE(ran.load());
}

}  // namespace
}  // namespace vexor
