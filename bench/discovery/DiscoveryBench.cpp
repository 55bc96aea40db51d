// Time from TBasicNodeJsRequester::Run() to its OnDebugger event, against the time from starting
// `node --inspect-brk` directly to its "Debugger listening" line on standard error (the earliest
// moment any discovery could succeed). The two kinds of run alternate so that drift in the
// machine's load touches both alike; one uncounted warm-up of each fills the file cache.
//
// Usage: bench_discovery [--runs N] [--node PATH]   (20 runs, "node" on PATH by default); it is
// not a Google Benchmark program and refuses --benchmark_... flags.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PlainBenchArgs.h"
#include "common/FreePort.h"
#include "platform/MainThread.h"
#include "app/Services.h"
#include "nodejs/NodeJsRequester.h"

namespace {

using namespace vexor;
using TClock = std::chrono::steady_clock;

constexpr auto kEventDeadline = std::chrono::seconds(10);
constexpr auto kExitDeadline = std::chrono::seconds(5);

double Ms(TClock::duration ADuration) { return std::chrono::duration<double, std::milli>(ADuration).count(); }

// A port nobody listens on right now: bound to 0 on loopback, read back, released.
using vexor::testing::FreeLoopbackPort;

// Our children named "node" that have not ended (zombies waiting for their reaper do not count:
// they hold no port and no CPU).
int LiveNodeChildren() {
  const std::string self = std::to_string(::getpid());
  int count = 0;
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  while (dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid ...; comm may hold blanks, so split after the last ')'.
    size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    std::string state, ppid;
    rest >> state >> ppid;
    if (ppid == self && comm == "node" && state != "Z") ++count;
  }
  ::closedir(proc);
  return count;
}

bool WaitNoNodeChildren() {
  const auto deadline = TClock::now() + kExitDeadline;
  while (LiveNodeChildren() > 0) {
    if (TClock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Records when the worker saw the inspector's banner (the filter drops it from the events).
class TTimedRequester : public TBasicNodeJsRequester {
 public:
  using TBasicNodeJsRequester::TBasicNodeJsRequester;
  std::atomic<int64_t> BannerAt{0};  // steady-clock ticks, 0 until seen

 protected:
  friend class TCustomAsyncRequester;
  void DoErrorOutput(const std::string& ALine) override {
    if (ALine.rfind("Debugger listening", 0) == 0 && BannerAt.load() == 0)
      BannerAt.store(TClock::now().time_since_epoch().count());
    TBasicNodeJsRequester::DoErrorOutput(ALine);
  }
};

struct TRequesterRun {
  double RunToEvent = 0;    // Run() called -> OnDebugger
  double RunToBanner = -1;  // Run() called -> banner read by the worker
  double CreateToRun = 0;   // construction (discovery timer activated) -> Run()
};

std::optional<TRequesterRun> RunRequester(const std::string& ANode, const std::string& AScript) {
  const uint16_t port = FreeLoopbackPort();
  if (port == 0) return std::nullopt;
  std::optional<TRequesterRun> result;
  {
    const auto created = TClock::now();
    auto requester = TCustomAsyncRequester::New<TTimedRequester>(TRef<IChildProcessRequesterEvents>(), AScript, port, 0,
                                                                 ANode);
    requester->SetStopOnStart(true);
    std::optional<TClock::time_point> fired;
    requester->SetOnDebugger([&](TBasicNodeJsRequester*) {
      if (!fired) fired = TClock::now();
    });
    const auto started = TClock::now();
    requester->Run();
    const auto deadline = started + kEventDeadline;
    while (!fired && TClock::now() < deadline) CheckSynchronize(1);
    if (fired) {
      TRequesterRun run;
      run.RunToEvent = Ms(*fired - started);
      run.CreateToRun = Ms(started - created);
      if (int64_t banner = requester->BannerAt.load())
        run.RunToBanner = Ms(TClock::time_point(TClock::duration(banner)) - started);
      result = run;
    }
  }  // the requester ends node and its worker here
  if (!WaitNoNodeChildren()) std::fprintf(stderr, "warning: node still running after the requester was destroyed\n");
  return result;
}

struct TDirectRun {
  double StartToBanner = 0;  // fork -> "Debugger listening" read from its standard error
  double FirstGet = -1;      // one GET /json right after the banner
};

// Starts node by hand (fork/exec, its standard error on a pipe) and waits for its banner.
std::optional<TDirectRun> RunDirect(const std::string& ANode, const std::string& AScript) {
  const uint16_t port = FreeLoopbackPort();
  if (port == 0) return std::nullopt;
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) return std::nullopt;
  // Everything the child needs is built before fork: it may only call async-signal-safe code.
  const std::string inspect = "--inspect-brk=127.0.0.1:" + std::to_string(port);
  const char* argv[] = {ANode.c_str(), inspect.c_str(), AScript.c_str(), nullptr};
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

  const auto started = TClock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    if (devNull >= 0) {
      ::dup2(devNull, 0);
      ::dup2(devNull, 1);
    }
    ::dup2(err[1], 2);
    ::execvp(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ::close(err[1]);
  if (devNull >= 0) ::close(devNull);
  if (pid < 0) {
    ::close(err[0]);
    return std::nullopt;
  }

  std::optional<TDirectRun> result;
  std::string buffer;
  const auto deadline = started + kEventDeadline;
  while (!result && TClock::now() < deadline) {
    pollfd p{err[0], POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(err[0], chunk, sizeof chunk);
    if (n <= 0) break;  // node ended without the banner
    buffer.append(chunk, static_cast<size_t>(n));
    size_t eol;
    while (!result && (eol = buffer.find('\n')) != std::string::npos) {
      if (buffer.rfind("Debugger listening", 0) == 0) {
        TDirectRun run;
        run.StartToBanner = Ms(TClock::now() - started);
        result = run;
      }
      buffer.erase(0, eol + 1);
    }
  }
  if (result) {
    // What one discovery request costs once the inspector is up (the requester's own client).
    TDebuggerClient client(port);
    const auto before = TClock::now();
    if (client.GetSettings()) result->FirstGet = Ms(TClock::now() - before);
  }
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  ::close(err[0]);
  return result;
}

struct TStats {
  double Median = 0, Min = 0, Max = 0;
};

TStats Summarize(std::vector<double> AValues) {
  TStats s;
  if (AValues.empty()) return s;
  std::sort(AValues.begin(), AValues.end());
  const size_t n = AValues.size();
  s.Median = n % 2 ? AValues[n / 2] : (AValues[n / 2 - 1] + AValues[n / 2]) / 2;
  s.Min = AValues.front();
  s.Max = AValues.back();
  return s;
}

void Print(const char* ALabel, const std::vector<double>& AValues) {
  TStats s = Summarize(AValues);
  std::printf("%-44s median %8.1f ms   min %8.1f   max %8.1f   (n=%zu)\n", ALabel, s.Median, s.Min, s.Max,
              AValues.size());
}

// A temporary folder holding the script; removed at the end.
struct TScriptFolder {
  std::string Folder, Script;
  TScriptFolder() {
    char tmpl[] = "/tmp/bench_discovery.XXXXXX";
    if (::mkdtemp(tmpl)) {
      Folder = tmpl;
      Script = Folder + "/script.js";
      std::ofstream(Script) << "console.log('started');\nsetTimeout(() => {}, 1000);\n";
    }
  }
  ~TScriptFolder() {
    if (Folder.empty()) return;
    ::unlink(Script.c_str());
    ::rmdir(Folder.c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  vexor::bench::TPlainBenchArgs args("bench_discovery", "[--runs N] [--node PATH]");
  args.Option("runs", "20");
  args.Option("node", "node");
  if (!args.Parse(argc, argv)) return 2;
  const int runs = args.Count("runs");
  if (runs == 0) return 2;
  const std::string node = args.Text("node");
  TScriptFolder folder;
  if (folder.Script.empty()) {
    std::fprintf(stderr, "bench_discovery: cannot create a temporary folder\n");
    return 1;
  }
  ::signal(SIGPIPE, SIG_IGN);
  StartTarnwickServices();

  std::vector<double> eventTimes, bannerTimes, gaps, createToRun, workerBanner, eventAfterWorkerBanner, gets;
  int failedRequester = 0, failedDirect = 0;
  RunDirect(node, folder.Script);  // warm-up, not counted
  RunRequester(node, folder.Script);
  for (int i = 0; i < runs; ++i) {
    // Alternate which kind goes first, so neither always follows the other's teardown.
    std::optional<TRequesterRun> a;
    std::optional<TDirectRun> b;
    if (i % 2 == 0) {
      a = RunRequester(node, folder.Script);
      b = RunDirect(node, folder.Script);
    } else {
      b = RunDirect(node, folder.Script);
      a = RunRequester(node, folder.Script);
    }
    if (a) {
      eventTimes.push_back(a->RunToEvent);
      createToRun.push_back(a->CreateToRun);
      if (a->RunToBanner >= 0) {
        workerBanner.push_back(a->RunToBanner);
        eventAfterWorkerBanner.push_back(a->RunToEvent - a->RunToBanner);
      }
    } else {
      ++failedRequester;
    }
    if (b) {
      bannerTimes.push_back(b->StartToBanner);
      if (b->FirstGet >= 0) gets.push_back(b->FirstGet);
    } else {
      ++failedDirect;
    }
    if (a && b) gaps.push_back(a->RunToEvent - b->StartToBanner);
    std::printf("run %2d: requester %s  direct %s\n", i + 1,
                a ? (std::to_string(a->RunToEvent).substr(0, 7) + " ms").c_str() : "failed",
                b ? (std::to_string(b->StartToBanner).substr(0, 7) + " ms").c_str() : "failed");
    std::fflush(stdout);
  }
  StopTarnwickServices();

  std::printf("\n");
  Print("Run() -> OnDebugger", eventTimes);
  Print("direct start -> \"Debugger listening\"", bannerTimes);
  Print("gap (same pair of runs)", gaps);
  std::printf("%-44s %8.1f ms\n", "median(OnDebugger) - median(banner)",
              Summarize(eventTimes).Median - Summarize(bannerTimes).Median);
  std::printf("\nbreakdown of the requester runs:\n");
  Print("  construction -> Run()", createToRun);
  Print("  Run() -> banner read by the worker", workerBanner);
  Print("  banner read by the worker -> OnDebugger", eventAfterWorkerBanner);
  Print("  one GET /json once the inspector is up", gets);
  if (failedRequester || failedDirect)
    std::printf("\nfailed runs: requester %d, direct %d\n", failedRequester, failedDirect);
  // A goal is judged on measured pairs only: no pair, no verdict.
  if (gaps.empty()) {
    std::printf(
        "\ngoal: OnDebugger within 300 ms of \"Debugger listening\" at the median: NOT judged (no run "
        "measured)\n");
    return 1;
  }
  const double medianGap = Summarize(gaps).Median;
  std::printf("\ngoal: OnDebugger within 300 ms of \"Debugger listening\" at the median: %s (%.1f ms, n=%zu)\n",
              medianGap <= 300 ? "met" : "NOT met", medianGap, gaps.size());
  return failedRequester || failedDirect ? 1 : 0;
}
