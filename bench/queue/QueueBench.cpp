// The two-buffer work queue against the usual mutex + condition variable + deque queue:
// closures per second from 1 and 2 producers to one consumer, and the round trip of one closure
// to an idle consumer and back.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "concurrency/QuickSynQueue.h"

namespace {

using TClosure = std::function<void()>;

// The peer: one lock, one condition, one item per pop.
class TBaselineQueue {
 public:
  void Push(TClosure AItem) {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FItems.push_back(std::move(AItem));
    }
    FCond.notify_one();
  }
  TClosure Pop() {
    std::unique_lock<std::mutex> lock(FLock);
    FCond.wait(lock, [&] { return !FItems.empty(); });
    TClosure item = std::move(FItems.front());
    FItems.pop_front();
    return item;
  }

 private:
  std::mutex FLock;
  std::condition_variable FCond;
  std::deque<TClosure> FItems;
};

class TQuickQueue {
 public:
  void Push(TClosure AItem) { FQueue.PushAndSignal(std::move(AItem)); }
  TClosure Pop() {
    TClosure item;
    FQueue.PopAndWait(item, vexor::INFINITE);
    return item;
  }

 private:
  vexor::TQuickSynQueue<TClosure> FQueue{nullptr, "bench", 65536};
};

constexpr int kItems = 400000;

template <class Q>
void BM_Throughput(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Q queue;
    // The consumer's counter keeps a cache line of its own: sharing one with what the producers
    // read would measure false sharing instead of the queue.
    struct alignas(64) {
      std::atomic<int64_t> Value{0};
    } sum;
    const int each = kItems / producers;
    std::thread consumer([&queue] {
      for (int i = 0; i < kItems; ++i) queue.Pop()();
    });
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
      threads.emplace_back([&queue, &sum, each] {
        for (int i = 0; i < each; ++i) queue.Push([&sum] { sum.Value.fetch_add(1, std::memory_order_relaxed); });
      });
    for (auto& t : threads) t.join();
    consumer.join();
    benchmark::DoNotOptimize(sum.Value.load());
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

template <class Q>
void BM_RoundTrip(benchmark::State& state) {
  Q queue;
  std::atomic<bool> stop{false};
  std::thread consumer([&] {
    while (!stop.load()) queue.Pop()();
  });
  std::atomic<int> done{0};
  int expected = 0;
  for (auto _ : state) {
    ++expected;
    queue.Push([&done] {
      done.fetch_add(1);
      done.notify_one();
    });
    for (int d = done.load(); d != expected; d = done.load()) done.wait(d);
  }
  stop = true;
  queue.Push([] {});
  consumer.join();
}

}  // namespace

BENCHMARK_TEMPLATE(BM_Throughput, TBaselineQueue)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Throughput, TQuickQueue)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RoundTrip, TBaselineQueue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RoundTrip, TQuickQueue)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
