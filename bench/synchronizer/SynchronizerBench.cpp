// Closures handed to one thread synchronizer from 1 and 2 producer threads, against the usual
// executor made of a mutex, a condition variable and a deque of std::function with one consumer
// thread. A third row runs the synchronizer's two-buffer queue alone on a plain thread, which
// shows what the synchronizer adds to it. Each iteration hands over kItems closures and waits
// until all of them have run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "concurrency/QuickSynQueue.h"
#include "concurrency/ServiceStartup.h"
#include "concurrency/DataSynchronizer.h"

namespace {

using TClosure = std::function<void()>;

constexpr int kItems = 200000;

// The peer: one lock, one condition, one item per pop, on a consumer thread of its own.
class TBaselineExecutor {
 public:
  TBaselineExecutor()
      : FThread([this] {
          for (;;) {
            TClosure item;
            {
              std::unique_lock<std::mutex> lock(FLock);
              FCond.wait(lock, [&] { return !FItems.empty() || FStop; });
              if (FItems.empty()) return;
              item = std::move(FItems.front());
              FItems.pop_front();
            }
            item();
          }
        }) {}
  ~TBaselineExecutor() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStop = true;
    }
    FCond.notify_one();
    FThread.join();
  }
  void Synchronize(TClosure AItem) {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FItems.push_back(std::move(AItem));
    }
    FCond.notify_one();
  }

 private:
  std::mutex FLock;
  std::condition_variable FCond;
  std::deque<TClosure> FItems;
  bool FStop = false;
  std::thread FThread;
};

// The two-buffer queue with a bare consumer loop.
class TQueueOnlyExecutor {
 public:
  TQueueOnlyExecutor()
      : FThread([this] {
          TClosure item;
          while (!FStop.load()) {
            while (FQueue.PopAndWait(item, 250)) {
              item();
              item = nullptr;
            }
          }
        }) {}
  ~TQueueOnlyExecutor() {
    FStop = true;
    FQueue.PushAndSignal([] {});
    FThread.join();
  }
  void Synchronize(TClosure AItem) { FQueue.PushAndSignal(std::move(AItem)); }

 private:
  std::atomic<bool> FStop{false};
  vexor::TQuickSynQueue<TClosure> FQueue{nullptr, "Bench Queue", 65536};
  std::thread FThread;
};

class TSynchronizerExecutor {
 public:
  TSynchronizerExecutor() : FSync(vexor::MakeRef<vexor::TThreadDataSynchronizer>("Bench Synchronizer")) {}
  ~TSynchronizerExecutor() { FSync->Finalize(); }
  void Synchronize(TClosure AItem) { FSync->Synchronize(std::move(AItem)); }

 private:
  vexor::TRef<vexor::IDataSynchronizer> FSync;
};

template <class E>
void BM_Closures(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  E executor;
  // Touched by the consumer only, on a cache line of its own (see the queue benchmark).
  struct alignas(64) {
    int64_t Value = 0;
  } ran;
  const int each = kItems / producers;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
      threads.emplace_back([&executor, &ran, each] {
        for (int i = 0; i < each; ++i) executor.Synchronize([&ran] { ++ran.Value; });
      });
    for (auto& t : threads) t.join();
    // Closures run in order: the marker runs after all of them. Waiting blocks instead of polling
    // a counter the consumer writes, which would slow the consumer down.
    std::atomic<bool> done{false};
    executor.Synchronize([&done] {
      done.store(true);
      done.notify_one();
    });
    done.wait(false);
  }
  benchmark::DoNotOptimize(ran.Value);
  state.SetItemsProcessed(state.iterations() * kItems);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_Closures, TBaselineExecutor)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Closures, TQueueOnlyExecutor)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Closures, TSynchronizerExecutor)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  vexor::StartConcurrencyServices();
  vexor::StartSynchronizerPool();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  vexor::StopSynchronizerPool();
  vexor::StopConcurrencyServices();
  return 0;
}
