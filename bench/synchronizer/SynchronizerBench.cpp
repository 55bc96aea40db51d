// Closures handed to one thread synchronizer from 1 and 2 producer threads, against the usual
// executor made of a mutex, a condition variable and a deque of std::function with one consumer
// thread. Each iteration hands over kItems closures and waits until all of them have run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ServiceStartup.h"
#include "uDataSynchronizer.h"

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
  std::atomic<int64_t> ran{0};
  int64_t expected = 0;
  for (auto _ : state) {
    expected += kItems;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
      threads.emplace_back([&] {
        for (int i = 0; i < kItems / producers; ++i)
          executor.Synchronize([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
      });
    for (auto& t : threads) t.join();
    while (ran.load(std::memory_order_acquire) != expected) std::this_thread::yield();
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_Closures, TBaselineExecutor)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
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
