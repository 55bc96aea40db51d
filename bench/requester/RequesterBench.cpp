// Request round trips through TChildProcessRequester to the line-protocol child, against the raw
// limit of the same lines echoed by `cat` through a plain pipe with the same 64 lines in flight.
// Prints the ratio requester / raw pipe at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "platform/MainThread.h"
#include "packets/json/PacketConversions.h"
#include "concurrency/ServiceStartup.h"
#include "requests/ChildProcessRequester.h"
#include "concurrency/DataSynchronizer.h"
#include "process/LineProtocol.h"

namespace {

using namespace vexor;

constexpr int kInFlight = 64;
constexpr int kBatch = 2000;  // requests per iteration
const std::string kJson = R"({"n":12345,"text":"hello"})";

class TBenchRequester : public TChildProcessRequester {
 public:
  using TChildProcessRequester::TChildProcessRequester;
};

void RequesterRoundTrips(benchmark::State& state) {
  auto r = TCustomAsyncRequester::New<TBenchRequester>(nullptr, TW_LINECHILD_PATH, "", nullptr, nullptr);
  r->SetRequestTimeOut(30000);
  r->SetFlushInterval(static_cast<uint32_t>(state.range(0)));
  r->Run();
  while (!r->IsChildProcesssActive()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  IPacketPtr packet = TPacketConversions::PacketFromJSON(kJson);
  std::atomic<int> answered{0};
  for (auto _ : state) {
    answered = 0;
    for (int i = 0; i < kBatch; ++i)
      r->Request(MakeRef<TPacketAsyncRequest>(packet, [&](const IPacketPtr&) { ++answered; }));
    while (answered.load() < kBatch) {
      if (!CheckSynchronize(1)) std::this_thread::yield();
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  r.reset();
}

// A minimal loop: write framed lines to `cat`, keep 64 in flight, count the echoed lines.
void RawPipeCat(benchmark::State& state) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execlp("cat", "cat", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  const std::string line = FormatRequestLine(255, kJson);
  char buf[65536];
  for (auto _ : state) {
    int sent = 0, echoed = 0;
    while (echoed < kBatch) {
      std::string chunk;
      while (sent < kBatch && sent - echoed < kInFlight) {
        chunk += line;
        ++sent;
      }
      if (!chunk.empty() && ::write(in[1], chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
        state.SkipWithError("write");
        break;
      }
      ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) {
        state.SkipWithError("read");
        break;
      }
      for (ssize_t i = 0; i < n; ++i) echoed += buf[i] == '\n';
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  ::close(in[1]);
  ::close(out[0]);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace

// Arg: the requester's flush interval in ms (25 as shipped, 0 to see its own cost).
BENCHMARK(RequesterRoundTrips)->Arg(25)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RawPipeCat)->UseRealTime()->Unit(benchmark::kMillisecond);

// Collects items per second of each run to print the ratios.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& ARuns) override {
    ConsoleReporter::ReportRuns(ARuns);
    for (const auto& run : ARuns)
      if (run.counters.count("items_per_second")) Rates[run.benchmark_name()] = run.counters.at("items_per_second");
  }
  std::map<std::string, double> Rates;
};

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  vexor::StartConcurrencyServices();
  vexor::StartSynchronizerPool();
  vexor::InitPacketConversions();
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto raw = reporter.Rates.find("RawPipeCat/real_time");
  if (raw != reporter.Rates.end() && raw->second > 0)
    for (const auto& [name, rate] : reporter.Rates)
      if (name.rfind("RequesterRoundTrips", 0) == 0)
        std::printf("ratio %s / RawPipeCat: %.4f (%.0f vs %.0f requests/s)\n", name.c_str(), rate / raw->second, rate,
                    raw->second);
  vexor::StopSynchronizerPool();
  vexor::StopConcurrencyServices();
  return 0;
}
