// The output pane's terminal under a flood, against the line pane it replaced (TOutputPane) and a
// bare QPlainTextEdit fed one queued call per line (the obvious way to hand lines to the main
// thread), all in the same run:
//  - 200,000 lines written in one second by a worker thread (200 every millisecond);
//  - time from the first line written until the last one is shown;
//  - the longest main-thread stall meanwhile (gap between two runs of a 1 ms timer);
//  - the resident memory each pane adds with its 10,000 kept lines;
//  - a terminal round trip with a real node in raw mode: a key typed into the view until the
//    script's echo of it is shown (median of 40).
// Usage: bench_output_pane [--lines N]   (offscreen unless a platform is chosen)
#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <QKeyEvent>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "PlainBenchArgs.h"
#include "nodejs/NodeJsRequester.h"
#include "window/OutputPane.h"
#include "window/TerminalView.h"

namespace {

using namespace vexor;

long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

std::string LineText(int AIndex) {
  return "line " + std::to_string(AIndex) + ": the quick brown fox jumps over the lazy dog, øæå ✓";
}

struct TResult {
  double ShownMs = 0;     // first line written -> last line shown
  double MaxStallMs = 0;  // longest gap between two 1 ms timer runs
};

// Writes ALines lines over one second from a worker through AAdd; the main thread spins its
// event loop until AShown says the last line is on screen.
TResult Flood(int ALines, const std::function<void(std::string, bool)>& AAdd, const std::function<bool()>& AShown) {
  TResult result;
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0;
  QTimer tick;
  tick.setInterval(1);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    if (last) result.MaxStallMs = std::max(result.MaxStallMs, (now - last) / 1e6);
    last = now;
  });
  tick.start();
  std::thread writer([&] {
    const auto start = std::chrono::steady_clock::now();
    const int perMs = std::max(1, ALines / 1000);
    for (int i = 0; i < ALines; ++i) {
      if (i % perMs == 0) std::this_thread::sleep_until(start + std::chrono::milliseconds(i / perMs));
      AAdd(LineText(i), i % 10 == 0);
    }
  });
  while (!AShown()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  result.ShownMs = clock.nsecsElapsed() / 1e6;
  writer.join();
  return result;
}

// The script's terminal bytes into the view.
class TViewEvents : public TRefCntObject, public IChildProcessRequesterEvents {
 public:
  explicit TViewEvents(std::shared_ptr<TTerminalQueue> AQueue) : FQueue(std::move(AQueue)) {}
  void OnChunk(TChildStream, const std::string& ABytes) override { FQueue->Add(ABytes); }
  void OnOutput(const std::string&) override {}
  void OnErrorOutput(const std::string&) override {}
  void OnNotify(const std::string&) override {}
  void OnTerminated() override {}

 private:
  const std::shared_ptr<TTerminalQueue> FQueue;
};

// Median ms from a key typed into the view until node's echo of it is shown; -1 without node.
double RoundTripMs(int ACount) {
  const std::string script = "/tmp/tw-bench-echo-" + std::to_string(::getpid()) + ".js";
  std::ofstream(script) << "process.stdin.setRawMode(true);\nprocess.stdout.write('ready>');\n"
                           "process.stdin.on('data', (d) => process.stdout.write(d));\n";
  TTerminalView view;
  view.resize(800, 300);
  view.show();
  auto requester = TCustomAsyncRequester::New<TBasicNodeJsRequester>(
      TRef<IChildProcessRequesterEvents>::Adopt(new TViewEvents(view.Queue())), script, 0, 0, "node");
  requester->SetTerminal(TTerminalSize{static_cast<uint16_t>(view.Columns()), static_cast<uint16_t>(view.Rows())});
  view.OnInput = [&](const std::string& ABytes) { requester->SendInput(ABytes); };
  requester->Run();
  auto spinUntil = [&](const std::function<bool()>& AWhat) {
    QElapsedTimer limit;
    limit.start();
    while (!AWhat() && limit.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    return AWhat();
  };
  double median = -1;
  if (spinUntil([&] { return view.LineText(0).startsWith(QStringLiteral("ready>")); })) {
    std::vector<double> times;
    QString expected = QStringLiteral("ready>");
    for (int i = 0; i < ACount; ++i) {
      const QChar key = QLatin1Char(static_cast<char>('a' + i % 26));
      expected += key;
      QElapsedTimer clock;
      clock.start();
      QKeyEvent press(QEvent::KeyPress, Qt::Key_A + i % 26, Qt::NoModifier, QString(key));
      QCoreApplication::sendEvent(&view, &press);
      if (!spinUntil([&] { return view.LineText(0) == expected; })) break;
      times.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    if (!times.empty()) median = times[times.size() / 2];
  }
  std::remove(script.c_str());
  return median;
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  vexor::bench::TPlainBenchArgs args("bench_output_pane", "[--lines N]");
  args.Option("lines", "200000");
  if (!args.Parse(argc, argv)) return 2;
  const int lines = args.Count("lines");
  if (lines == 0) return 2;
  QApplication app(argc, argv);
  const std::string lastLine = LineText(lines - 1);

  // Memory of 10,000 kept lines.
  long before = ResidentKiB();
  long paneKiB = 0;
  {
    TOutputPane pane;
    pane.resize(1000, 300);
    pane.show();
    for (int i = 0; i < TOutputPane::kMaxLines; ++i) pane.Queue()->Add(LineText(i), i % 10 == 0);
    while (!pane.Idle()) pane.Drain();
    QCoreApplication::processEvents();
    paneKiB = ResidentKiB() - before;
  }

  long terminalKiB = 0;
  {
    before = ResidentKiB();
    TTerminalView view;
    view.resize(1000, 300);
    view.show();
    for (int i = 0; i < TTerminalView::kScrollbackLines + view.Rows(); ++i) view.Queue()->Add(LineText(i) + "\r\n");
    while (!view.Idle()) view.Drain();
    QCoreApplication::processEvents();
    terminalKiB = ResidentKiB() - before;
  }

  TResult terminal;
  {
    TTerminalView view;
    view.resize(1000, 300);
    view.show();
    std::shared_ptr<TTerminalQueue> queue = view.Queue();
    const QString last = QString::fromStdString(lastLine);
    terminal = Flood(
        lines, [&](std::string AText, bool) { queue->Add(AText + "\r\n"); },
        [&] { return view.Idle() && view.LineCount() > 0 && view.LineText(view.LineCount() - 1) == last; });
  }

  TResult ours;
  {
    TOutputPane pane;
    pane.resize(1000, 300);
    pane.show();
    std::shared_ptr<TOutputQueue> queue = pane.Queue();
    ours = Flood(
        lines, [&](std::string AText, bool AError) { queue->Add(std::move(AText), AError); },
        [&] {
          return pane.Idle() && pane.LineCount() > 0 && pane.LineText(pane.LineCount() - 1).toStdString() == lastLine;
        });
  }
  TResult bare;
  {
    QPlainTextEdit edit;
    edit.setReadOnly(true);
    edit.setMaximumBlockCount(TOutputPane::kMaxLines);
    edit.resize(1000, 300);
    edit.show();
    std::atomic<bool> done{false};
    bare = Flood(
        lines,
        [&](std::string AText, bool) {
          QMetaObject::invokeMethod(
              &edit,
              [&edit, &done, &lastLine, text = std::move(AText)] {
                edit.appendPlainText(QString::fromStdString(text));
                if (text == lastLine) done = true;
              },
              Qt::QueuedConnection);
        },
        [&] { return done.load(); });
  }
  const double roundTrip = RoundTripMs(40);
  std::printf("output pane, %d lines written in 1 s (offscreen)\n", lines);
  std::printf("  %-34s %10s %14s\n", "", "shown (ms)", "max stall (ms)");
  std::printf("  %-34s %10.0f %14.1f\n", "TTerminalView (libvterm, batched)", terminal.ShownMs, terminal.MaxStallMs);
  std::printf("  %-34s %10.0f %14.1f\n", "TOutputPane (lines, batched)", ours.ShownMs, ours.MaxStallMs);
  std::printf("  %-34s %10.0f %14.1f\n", "QPlainTextEdit, a call per line", bare.ShownMs, bare.MaxStallMs);
  std::printf("  ratio (terminal / line pane)         %10.2f %14.2f\n", terminal.ShownMs / ours.ShownMs,
              terminal.MaxStallMs / ours.MaxStallMs);
  std::printf("  ratio (terminal / bare)              %10.2f %14.2f\n", terminal.ShownMs / bare.ShownMs,
              terminal.MaxStallMs / bare.MaxStallMs);
  std::printf("  resident memory with %d lines: terminal %ld KiB, line pane %ld KiB\n", TOutputPane::kMaxLines,
              terminalKiB, paneKiB);
  std::printf("  terminal round trip (key typed -> node's echo shown), median of 40: %.1f ms\n", roundTrip);
  return 0;
}
