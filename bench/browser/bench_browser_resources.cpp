// The resource routing core against the plain work it wraps, and the main-thread task queue's
// latency against the pump's 5 ms period. Rows to compare within one run:
//   StartPage                       the start page, from ProcessResourceRequest to the last body byte
//   File1MB  vs  IfstreamFile1MB    a 1 MB file of the base directory vs std::ifstream reading it
//   Api10KB  vs  PacketAsJSON10KB   an API call returning a 10 KB packet vs writing that packet as JSON
//   ForcedTaskLatency               a task queued with Force on a running 5 ms pump: queue -> run;
//                                   counters median_ms and p99_ms against period_ms
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "browser/core/ExCefClientHandler.h"
#include "browser/core/GlobalMainThreadSynchronizer.h"
#include "platform/MainThread.h"
#include "packets/json/PacketConversions.h"
#include "browser/QtCefRuntime.h"
#include "browser/core/ResourceRouter.h"

using namespace vexor;

namespace {

struct TFixture {
  std::string Dir;
  std::shared_ptr<TResourceRouter> Router = std::make_shared<TResourceRouter>();
  IPacketPtr Packet10KB;

  TFixture() {
    Dir = (std::filesystem::temp_directory_path() / ("tarnwick-bench-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(Dir);
    std::string bytes(1 << 20, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
    std::ofstream(Dir + "/big.bin", std::ios::binary) << bytes;
    Router->SetBaseDir(Dir + "/");
    std::string html = "<!DOCTYPE html><html><head><title>Vexor Tarnwick</title></head><body>";
    while (html.size() < 4000) html += "<p>Select the project's start file and press Debug.</p>";
    Router->SetHTML(html + "</body></html>");
    Packet10KB = NewPacket();
    for (int i = 0; TPacketConversions::PacketAsJSON(Packet10KB).size() < 10240; ++i) {
      IPacketPtr row = NewPacket();
      row->PutProperty("id", i);
      row->PutProperty("name", "user " + std::to_string(i));
      row->PutProperty("active", i % 2 == 0);
      row->PutProperty("score", i * 1.25);
      Packet10KB->PutProperty("row" + std::to_string(i), Variant(row));
    }
    IPacketPtr result = Packet10KB;
    Router->SetOnSyncAPIRequest([result](const std::string&, const IPacketPtr&, const IPacketPtr&) { return result; });
  }
  ~TFixture() { std::filesystem::remove_all(Dir); }
};

TFixture& Fixture() {
  static TFixture fixture;
  return fixture;
}

// One complete answer: routing, headers and every body byte.
void Answer(benchmark::State& AState, const std::string& AUrl) {
  TFixture& f = Fixture();
  std::vector<char> buffer(64 * 1024);
  int64_t bytes = 0;
  for (auto _ : AState) {
    TDataStreamPtr stream;
    TResourceRouter::TResponseData response;
    f.Router->ProcessResourceRequest({AUrl}, stream, response);
    if (!stream || response.Status != 200) AState.SkipWithError("no answer");
    size_t n;
    while ((n = stream->Read(buffer.data(), buffer.size())) > 0) bytes += static_cast<int64_t>(n);
    benchmark::DoNotOptimize(buffer.data());
  }
  AState.SetBytesProcessed(bytes);
}

void StartPage(benchmark::State& AState) { Answer(AState, "ctrl-data://"); }
void File1MB(benchmark::State& AState) { Answer(AState, "ctrl-data://big.bin"); }
void Api10KB(benchmark::State& AState) { Answer(AState, "ctrl-data:////api/users?id=5&x"); }

void IfstreamFile1MB(benchmark::State& AState) {
  const std::string path = Fixture().Dir + "/big.bin";
  std::vector<char> buffer(64 * 1024);
  int64_t bytes = 0;
  for (auto _ : AState) {
    std::ifstream in(path, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) bytes += in.gcount();
    benchmark::DoNotOptimize(buffer.data());
  }
  AState.SetBytesProcessed(bytes);
}

void PacketAsJSON10KB(benchmark::State& AState) {
  const IPacketPtr packet = Fixture().Packet10KB;
  int64_t bytes = 0;
  for (auto _ : AState) {
    std::string text = TPacketConversions::PacketAsJSON(packet, false, false);
    bytes += static_cast<int64_t>(text.size());
    benchmark::DoNotOptimize(text.data());
  }
  AState.SetBytesProcessed(bytes);
}

// Each sample waits a random part of the period first, so the queueing falls anywhere in it.
void ForcedTaskLatency(benchmark::State& AState) {
  TExCefClientHandler client;  // starts the pump's 5 ms timer
  std::mt19937 random(42);
  std::uniform_int_distribution<int> phaseUs(0, 5000);
  std::vector<double> samples;
  for (auto _ : AState) {
    QElapsedTimer phase;
    phase.start();
    int wait = phaseUs(random);
    while (phase.nsecsElapsed() / 1000 < wait) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    bool ran = false;
    auto queued = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point run;
    TGlobalMainThreadSynchronizer::Synchronize(
        [&] {
          run = std::chrono::steady_clock::now();
          ran = true;
        },
        nullptr, true);
    while (!ran) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    double ms = std::chrono::duration<double, std::milli>(run - queued).count();
    samples.push_back(ms);
    AState.SetIterationTime(ms / 1000.0);
  }
  std::sort(samples.begin(), samples.end());
  AState.counters["median_ms"] = samples[samples.size() / 2];
  AState.counters["p99_ms"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  AState.counters["period_ms"] = TExCefClientHandler::kPumpPeriodMs;
}

}  // namespace

BENCHMARK(StartPage);
BENCHMARK(File1MB);
BENCHMARK(IfstreamFile1MB);
BENCHMARK(Api10KB);
BENCHMARK(PacketAsJSON10KB);
BENCHMARK(ForcedTaskLatency)->UseManualTime()->Iterations(400)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  InitMainThread();
  InitPacketConversions();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  StartBrowserRuntime();  // the queue and the pump's Qt timer, as the program has them
  {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  StopBrowserRuntime();
  return 0;
}
