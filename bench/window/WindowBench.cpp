// The debugger window's speed and cost, each against a bare QWebEngineView in the same run:
//  1. Debug -> DevTools attached (node's own "Debugger attached." line), 10 runs, against the
//     limit: node's start -> "Debugger listening" plus a bare view loading the DevTools address
//     -> "Debugger attached.".
//  2. Restart -> attached, against the same limit.
//  3. Cold start: `tarnwick SCRIPT` started -> attached, against a fresh process with a bare view
//     that starts node and loads its DevTools address.
//  4. With DevTools open on a paused script: CPU of the browser process and of its render
//     processes over 10 s, and the resident memory of the process and its QtWebEngineProcess
//     children, tarnwick against the bare view's process.
// Both sides start node through tests/app/node-tee, which copies node's standard error to a log
// that both read the same way (polled every millisecond).
// Usage: bench_window [--runs N] [--hold-seconds S]   (offscreen unless a platform is chosen); not a
// Google Benchmark program: --benchmark_... flags are refused.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWebEngineView>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "PlainBenchArgs.h"
#include "window/ExceptionDisplay.h"
#include "browser/QtCefRuntime.h"
#include "platform/CommandLine.h"
#include "common/FreePort.h"
#include "window/MainForm.h"
#include "common/ProcessScan.h"
#include "app/Services.h"
#include "window/WindowServices.h"
#include "common/TempDir.h"
#include "common/Wait.h"

namespace {

using namespace vexor;
using namespace vexor::testing;
using TClock = std::chrono::steady_clock;

double Ms(TClock::duration ADuration) { return std::chrono::duration<double, std::milli>(ADuration).count(); }

size_t Count(const std::string& ALog, const char* AText) { return CountOf(ReadWholeFile(ALog), AText); }

pid_t Spawn(const std::vector<std::string>& AArgs, const std::vector<std::string>& AExtraEnv, bool AOwnGroup) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), AExtraEnv.begin(), AExtraEnv.end());
  std::vector<char*> argv, envp;
  for (auto& a : const_cast<std::vector<std::string>&>(AArgs)) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (AOwnGroup) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return pid;
}

void EndGroup(pid_t APid) {
  if (APid <= 0) return;
  ::kill(-APid, SIGKILL);
  ::waitpid(APid, nullptr, 0);
}

void EndProcess(pid_t APid) {
  if (APid <= 0) return;
  ::kill(APid, SIGTERM);
  if (!WaitFor([&] { return ::waitpid(APid, nullptr, WNOHANG) == APid; }, 30000)) {
    ::kill(APid, SIGKILL);
    ::waitpid(APid, nullptr, 0);
  }
  // Whatever it left comes to this subreaper: gather it.
  WaitFor(
      [] {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        for (const auto& p : Descendants(::getpid()))
          if (p.Name != "QtWebEngineProc") return false;
        return true;
      },
      20000);
}

// "Debugger listening on ws://127.0.0.1:9229/<id>" -> the DevTools address node's /json gives.
std::string DevToolsAddress(const std::string& ALog) {
  const std::string text = ReadWholeFile(ALog);
  const size_t at = text.rfind("Debugger listening on ws://");
  if (at == std::string::npos) return {};
  const size_t start = at + std::string("Debugger listening on ws://").size();
  const size_t end = text.find('\n', start);
  return "devtools://devtools/bundled/js_app.html?experiments=true&v8only=true&ws=" + text.substr(start, end - start);
}

struct TStats {
  std::vector<double> Values;
  double Median() const {
    auto v = Values;
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
  double Max() const { return Values.empty() ? 0 : *std::max_element(Values.begin(), Values.end()); }
};

void Report(const char* AName, const TStats& AMine, const TStats& APeer) {
  std::printf("%-34s median %7.1f ms  max %7.1f ms | bare view: median %7.1f ms  max %7.1f ms | ratio %.2f\n", AName,
              AMine.Median(), AMine.Max(), APeer.Median(), APeer.Max(),
              APeer.Median() > 0 ? AMine.Median() / APeer.Median() : 0.0);
  std::fflush(stdout);
}

// The bare view's limit for one run: node start -> listening, then load -> attached.
std::optional<double> BareViewRun(QWebEngineView& AView, const std::string& AScript, const std::string& ALog,
                                  TStats* AListening = nullptr, TStats* AAttached = nullptr) {
  const uint16_t port = FreeLoopbackPort();
  const size_t listening = Count(ALog, "Debugger listening"), attached = Count(ALog, "Debugger attached.");
  const auto t0 = TClock::now();
  pid_t node = Spawn({TW_NODE_TEE, "--inspect-brk=127.0.0.1:" + std::to_string(port), AScript}, {}, true);
  std::optional<double> result;
  if (WaitFor([&] { return Count(ALog, "Debugger listening") > listening; })) {
    const auto t1 = TClock::now();
    const auto t2 = TClock::now();
    AView.load(QUrl(QString::fromStdString(DevToolsAddress(ALog))));
    if (WaitFor([&] { return Count(ALog, "Debugger attached.") > attached; })) {
      result = Ms(t1 - t0) + Ms(TClock::now() - t2);
      if (AListening) AListening->Values.push_back(Ms(t1 - t0));
      if (AAttached) AAttached->Values.push_back(Ms(TClock::now() - t2));
    }
  }
  EndGroup(node);
  AView.setUrl(QUrl("about:blank"));
  PumpFor(100);  // the front end lets go of the ended target
  return result;
}

struct TUsage {
  double BrowserCpuPct = 0, RendererCpuPct = 0, RssMiB = 0;
};

// CPU ticks (user + system) of one process.
long long CpuTicks(pid_t APid) {
  const std::string text = ReadWholeFile("/proc/" + std::to_string(APid) + "/stat");
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; in >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) {
      stime = std::stoll(field);
      break;
    }
  }
  return utime + stime;
}

double RssKiB(pid_t APid) {
  std::istringstream in(ReadWholeFile("/proc/" + std::to_string(APid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6));
  return 0;
}

// Samples APid and its QtWebEngineProcess descendants for AHoldSeconds.
TUsage Measure(pid_t APid, int AHoldSeconds) {
  auto renderers = [&] {
    std::vector<pid_t> r;
    for (const auto& p : Descendants(APid))
      if (p.Name == "QtWebEngineProc") r.push_back(p.Pid);
    return r;
  };
  auto rendererTicks = [&] {
    long long t = 0;
    for (pid_t p : renderers()) t += CpuTicks(p);
    return t;
  };
  const long long b0 = CpuTicks(APid), r0 = rendererTicks();
  const auto t0 = TClock::now();
  ::sleep(AHoldSeconds);
  const double seconds = Ms(TClock::now() - t0) / 1000;
  const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
  TUsage u;
  u.BrowserCpuPct = 100.0 * (CpuTicks(APid) - b0) / hz / seconds;
  u.RendererCpuPct = 100.0 * (rendererTicks() - r0) / hz / seconds;
  double rss = RssKiB(APid);
  for (pid_t p : renderers()) rss += RssKiB(p);
  u.RssMiB = rss / 1024;
  return u;
}

// How long a plain fork() (child exits at once) takes in this process now: the process layer
// starts every child with fork, whose cost grows with the parent's mappings.
double ForkMs() {
  TStats t;
  for (int i = 0; i < 5; ++i) {
    const auto t0 = TClock::now();
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    t.Values.push_back(Ms(TClock::now() - t0));
    ::waitpid(pid, nullptr, 0);
  }
  return t.Median();
}

const std::vector<std::string> kOffscreenEnv = {"QT_QPA_PLATFORM=offscreen",
                                                "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu"};

// The bare view as a program of its own: starts node through node-tee, loads its DevTools address
// and stays until SIGTERM, which also ends node's group.
pid_t gBareNode = -1;
void OnBareTerm(int) {
  if (gBareNode > 0) ::kill(-gBareNode, SIGKILL);
  ::_exit(0);
}

int BareViewProgram(int argc, char** argv, const std::string& AScript, const std::string& ALog) {
  ::signal(SIGTERM, OnBareTerm);
  QApplication app(argc, argv);
  QWebEngineView view;
  view.resize(1323, 773);
  view.show();
  const size_t listening = Count(ALog, "Debugger listening");
  gBareNode = Spawn({TW_NODE_TEE, "--inspect-brk=127.0.0.1:" + std::to_string(FreeLoopbackPort()), AScript}, {}, true);
  if (!WaitFor([&] { return Count(ALog, "Debugger listening") > listening; })) return 1;
  view.load(QUrl(QString::fromStdString(DevToolsAddress(ALog))));
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
  if (::geteuid() == 0) ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
  if (argc == 4 && std::string(argv[1]) == "--bare-view") return BareViewProgram(argc, argv, argv[2], argv[3]);

  vexor::bench::TPlainBenchArgs args("bench_window", "[--runs N] [--hold-seconds N]");
  args.Option("runs", "10");
  args.Option("hold-seconds", "10");
  if (!args.Parse(argc, argv)) return 2;
  const int runs = args.Count("runs"), hold = args.Count("hold-seconds");
  if (runs == 0 || hold == 0) return 2;
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  // The window changes the current folder: the program finds itself by its full path.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  TTempDir dir;
  const std::string script = dir / "paused.js";
  std::ofstream(script) << "let n = 0;\nsetInterval(() => { n++; }, 1000);\n";
  const std::string log = dir / "node.log";
  std::ofstream(log).flush();
  ::setenv("TW_TEST_NODE_LOG", log.c_str(), 1);
  SetProcessArgs(argc, argv);

  const double forkBare = ForkMs();
  double forkLoaded = 0;
  StartTarnwickServices();
  if (!StartBrowserServices()) return 1;
  {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QString::fromLatin1(TMainForm::kCaption));
    TExceptionDisplay display;
    TStats debug, restart, limit;
    TStats toListening, toLoad, toAttached;  // Debug's steps
    TStats limitListening, limitAttached;    // the limit's two parts
    {
      TTarnwickOptions options;
      options.Script = script;
      options.Node = TW_NODE_TEE;
      options.Port = FreeLoopbackPort();
      TMainForm form(options);  // starts at once: the first run warms the engine up
      form.show();
      WaitFor([&] { return Count(log, "Debugger attached.") >= 1; });
      forkLoaded = ForkMs();
      for (int i = 0; i < runs; ++i) {
        form.acnStopExecute();
        PumpFor(100);
        const size_t before = Count(log, "Debugger attached."), listening = Count(log, "Debugger listening");
        const auto t0 = TClock::now();
        std::optional<TClock::time_point> listened, loaded;
        form.acnRunExecute();
        if (WaitFor([&] {
              if (!listened && Count(log, "Debugger listening") > listening) listened = TClock::now();
              if (!loaded && !form.DebuggerAddress().isEmpty()) loaded = TClock::now();
              return Count(log, "Debugger attached.") > before;
            })) {
          const auto t = TClock::now();
          debug.Values.push_back(Ms(t - t0));
          if (listened && loaded) {
            toListening.Values.push_back(Ms(*listened - t0));
            toLoad.Values.push_back(Ms(*loaded - *listened));
            toAttached.Values.push_back(Ms(t - *loaded));
          }
        }
      }
      for (int i = 0; i < runs; ++i) {
        PumpFor(100);
        const size_t before = Count(log, "Debugger attached.");
        const auto t0 = TClock::now();
        form.acnRunExecute();
        if (WaitFor([&] { return Count(log, "Debugger attached.") > before; }))
          restart.Values.push_back(Ms(TClock::now() - t0));
      }
      form.close();
    }
    {
      QWebEngineView view;
      view.resize(1323, 773);
      view.show();
      BareViewRun(view, script, log);  // warm-up, as the window's first run
      for (int i = 0; i < runs; ++i)
        if (auto t = BareViewRun(view, script, log, &limitListening, &limitAttached)) limit.Values.push_back(*t);
    }
    Report("Debug -> attached", debug, limit);
    Report("Restart -> attached", restart, limit);
    std::printf(
        "  Debug's steps (medians): start -> listening %.1f ms, listening -> DevTools address loaded %.1f ms, "
        "loaded -> attached %.1f ms\n",
        toListening.Median(), toLoad.Median(), toAttached.Median());
    std::printf("  the limit's parts (medians): start -> listening %.1f ms, load -> attached %.1f ms\n",
                limitListening.Median(), limitAttached.Median());
    std::printf("  fork() of this process: %.2f ms before Qt, %.2f ms with the window and DevTools loaded\n", forkBare,
                forkLoaded);
    BrowserRuntime()->ReleaseProfile();
  }
  StopBrowserServices();

  // Cold starts and the cost of an open DevTools, each side in a fresh process.
  TStats coldMine, coldBare;
  const int coldRuns = std::max(1, runs / 2);
  TUsage mine, bare;
  for (int i = 0; i < coldRuns; ++i) {
    for (int side = 0; side < 2; ++side) {
      const size_t before = Count(log, "Debugger attached.");
      const auto t0 = TClock::now();
      pid_t pid = side == 0 ? Spawn({TW_TARNWICK, "--port", std::to_string(FreeLoopbackPort()), "--node", TW_NODE_TEE,
                                     script},
                                    kOffscreenEnv, false)
                            : Spawn({self, "--bare-view", script, log}, kOffscreenEnv, false);
      if (pid > 0 && WaitFor([&] { return Count(log, "Debugger attached.") > before; }, 30000))
        (side == 0 ? coldMine : coldBare).Values.push_back(Ms(TClock::now() - t0));
      if (i == 0) {
        ::sleep(2);  // the front end finishes drawing the paused script
        (side == 0 ? mine : bare) = Measure(pid, hold);
      }
      EndProcess(pid);
    }
  }
  Report("Cold start -> attached", coldMine, coldBare);
  std::printf("DevTools open on a paused script, %d s:\n", hold);
  std::printf("  tarnwick:  browser process %5.1f%% of a core, render processes %5.1f%%, resident %6.1f MiB\n",
              mine.BrowserCpuPct, mine.RendererCpuPct, mine.RssMiB);
  std::printf("  bare view: browser process %5.1f%% of a core, render processes %5.1f%%, resident %6.1f MiB\n",
              bare.BrowserCpuPct, bare.RendererCpuPct, bare.RssMiB);
  std::printf("  ratios:    browser %.2f, render %.2f, memory %.2f\n",
              bare.BrowserCpuPct > 0 ? mine.BrowserCpuPct / bare.BrowserCpuPct : 0.0,
              bare.RendererCpuPct > 0 ? mine.RendererCpuPct / bare.RendererCpuPct : 0.0,
              bare.RssMiB > 0 ? mine.RssMiB / bare.RssMiB : 0.0);
  StopTarnwickServices();
  return 0;
}
