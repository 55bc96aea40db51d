#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "common/Wait.h"
#include "concurrency/SyncObjs.h"

namespace vexor {
namespace {

using TQueue = TQuickSynQueue<int>;

TEST(QuickSynQueueTest, EmptyQueueWithoutWaitAnswersAtOnce) {
  TQueue q(nullptr, "q", 16);
  int v = 0;
  EXPECT_FALSE(q.PopAndWait(v, 0));
  EXPECT_FALSE(q.PopAndWait(v, 5));
  EXPECT_EQ(q.ThreadId(), GetCurrentThreadId());
}

TEST(QuickSynQueueTest, WaitingConsumerWakesOnPush) {
  TQueue q(MakeRef<TXSimpleRWSync>("rw"), "q", 16);
  int v = 0;
  ASSERT_FALSE(q.PopAndWait(v, 0));  // this thread is the consumer
  std::thread producer([&] { q.PushAndSignal(42); });
  EXPECT_TRUE(q.PopAndWait(v, 10000));
  EXPECT_EQ(v, 42);
  producer.join();
}

TEST(QuickSynQueueTest, ConsumerPushJoinsTheCurrentBatch) {
  TQueue q(nullptr, "q", 16);
  int v = 0;
  q.PopAndWait(v, 0);
  std::thread([&] {
    for (int i = 1; i <= 3; ++i) q.PushAndSignal(i);
  }).join();
  ASSERT_TRUE(q.PopAndWait(v, 0));  // batch 1,2,3 taken
  EXPECT_EQ(v, 1);
  q.PushAndSignal(100);  // producer buffer empty: goes behind 3 in this batch
  EXPECT_EQ(q.GetCount(), 0u);
  std::thread([&] { q.PushAndSignal(4); }).join();
  q.PushAndSignal(101);  // producer buffer not empty: queued behind 4
  EXPECT_EQ(q.GetCount(), 2u);

  std::vector<int> order;
  while (q.PopAndWait(v, 0)) order.push_back(v);
  EXPECT_EQ(order, (std::vector<int>{2, 3, 100, 4, 101}));
  EXPECT_EQ(q.HeadPosition(), 0u);
  EXPECT_EQ(q.PopBuffer().Count(), 0u);
}

TEST(QuickSynQueueTest, BoundBlocksProducersUntilTheConsumerSwaps) {
  TQueue q(nullptr, "bounded", 2);
  int v = 0;
  q.PopAndWait(v, 0);
  std::atomic<int> pushed{0};
  std::thread producer([&] {
    for (int i = 0; i < 3; ++i) {
      q.PushAndSignal(i);
      ++pushed;
    }
  });
  testing::WaitFor([&] { return pushed >= 2; });
  ASSERT_EQ(pushed, 2);
  EXPECT_EQ(q.GetCount(), 2u);
  // The consumer may not wait for a place that only it can free.
  try {
    q.PushAndSignal(99);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "bounded: Bubbling queue full 2");
  }
  EXPECT_EQ(pushed, 2);             // the third push is still waiting
  ASSERT_TRUE(q.PopAndWait(v, 0));  // swap frees two places
  producer.join();
  EXPECT_EQ(pushed, 3);
  std::vector<int> rest{v};
  while (q.PopAndWait(v, 1000)) rest.push_back(v);
  EXPECT_EQ(rest, (std::vector<int>{0, 1, 2}));
}

TEST(QuickSynQueueTest, ProducersKeepTheirOrderAndNothingIsLost) {
  constexpr int kProducers = 3, kEach = 20000;
  TQueue q(nullptr, "stress", 100);
  int v = 0;
  q.PopAndWait(v, 0);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) q.PushAndSignal(p * kEach + i);
    });
  std::vector<int> next(kProducers, 0);
  int received = 0;
  while (received < kProducers * kEach) {
    ASSERT_TRUE(q.PopAndWait(v, 10000));
    int p = v / kEach;
    ASSERT_EQ(v % kEach, next[p]) << "producer " << p << " out of order";
    ++next[p];
    ++received;
  }
  for (auto& t : producers) t.join();
  EXPECT_FALSE(q.PopAndWait(v, 0));
}

TEST(QuickSynQueueTest, BurstBufferIsShrunkWhenItComesBack) {
  TQueue q(nullptr, "burst", 40000);
  int v = 0;
  q.PopAndWait(v, 0);
  std::thread([&] {
    for (int i = 0; i < 30000; ++i) q.PushAndSignal(i);
  }).join();
  ASSERT_TRUE(q.PopAndWait(v, 0));
  EXPECT_GT(q.PopBuffer().Capacity(), 30000u);
  while (q.PopAndWait(v, 0)) {
  }
  std::thread([&] { q.PushAndSignal(1); }).join();
  ASSERT_TRUE(q.PopAndWait(v, 0));
  EXPECT_EQ(q.PushBuffer().Capacity(), 25600u);
}

TEST(QuickSynQueueTest, ConsumerPushIntoAFullBatchKeepsOrderAndReleasesEverything) {
  // A batch that fills the consumer's buffer, partly taken: the consumer's pushes make it grow.
  constexpr int kBatch = TQuickSynQueue<int>::kInitialCapacity;
  auto token = std::make_shared<int>(0);
  {
    TQuickSynQueue<std::shared_ptr<int>> q(nullptr, "q", kBatch);
    std::shared_ptr<int> v;
    q.PopAndWait(v, 0);
    std::thread([&] {
      for (int i = 0; i < kBatch; ++i) q.PushAndSignal(std::make_shared<int>(i));
    }).join();
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(q.PopAndWait(v, 0));
      EXPECT_EQ(*v, i);
    }
    ASSERT_EQ(q.PopBuffer().Count(), uint32_t(kBatch));
    for (int i = 0; i < 4; ++i) q.PushAndSignal(std::make_shared<int>(kBatch + i));
    q.PushAndSignal(token);
    std::vector<int> rest;
    for (int i = 0; i < 100 && q.PopAndWait(v, 0); ++i) rest.push_back(*v);
    ASSERT_EQ(rest.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(rest[i], 3 + i);
    v.reset();
    EXPECT_EQ(token.use_count(), 2);  // still queued, behind the rest of the batch
  }
  EXPECT_EQ(token.use_count(), 1);
}

TEST(QuickSynQueueTest, NoWakeUpIsLostBetweenPingPongs) {
  // Each item goes to an idle consumer: a lost signal would leave it waiting out the time-out.
  constexpr int kRounds = 3000;
  TQueue q(nullptr, "pingpong", 16);
  std::atomic<int> taken{0};
  std::atomic<bool> failed{false};
  std::thread consumer([&] {
    int v = 0;
    for (int i = 0; i < kRounds; ++i) {
      if (!q.PopAndWait(v, 10000) || v != i) {
        failed = true;
        taken.store(-1);
        taken.notify_one();
        return;
      }
      taken.store(i + 1);
      taken.notify_one();
    }
  });
  for (int i = 0; i < kRounds && !failed; ++i) {
    q.PushAndSignal(i);
    for (int t = taken.load(); t != i + 1 && t >= 0; t = taken.load()) taken.wait(t);
  }
  consumer.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(taken, kRounds);
}

TEST(QuickSynQueueTest, QueuedItemsAreReleasedUnrunAtDestruction) {
  auto token = std::make_shared<int>(0);
  {
    TQuickSynQueue<std::shared_ptr<int>> q(nullptr, "q", 8);
    std::shared_ptr<int> v;
    q.PopAndWait(v, 0);
    std::thread([&] {
      q.PushAndSignal(token);
      q.PushAndSignal(token);
    }).join();
    ASSERT_TRUE(q.PopAndWait(v, 0));
    v.reset();
    std::thread([&] { q.PushAndSignal(token); }).join();
    EXPECT_EQ(token.use_count(), 3);  // one in each buffer
  }
  EXPECT_EQ(token.use_count(), 1);
}

}  // namespace
}  // namespace vexor
