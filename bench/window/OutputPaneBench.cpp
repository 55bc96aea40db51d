// The output pane under a flood, against a bare QPlainTextEdit fed one queued call per line (the
// obvious way to hand lines to the main thread) in the same run:
//  - 200,000 lines written in one second by a worker thread (200 every millisecond);
//  - time from the first line written until the last one is shown;
//  - the longest main-thread stall meanwhile (gap between two runs of a 1 ms timer);
//  - the resident memory the pane adds with its 10,000 kept lines.
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

#include "PlainBenchArgs.h"
#include "window/OutputPane.h"

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
  std::printf("output pane, %d lines written in 1 s (offscreen)\n", lines);
  std::printf("  %-34s %10s %14s\n", "", "shown (ms)", "max stall (ms)");
  std::printf("  %-34s %10.0f %14.1f\n", "TOutputPane (batched)", ours.ShownMs, ours.MaxStallMs);
  std::printf("  %-34s %10.0f %14.1f\n", "QPlainTextEdit, a call per line", bare.ShownMs, bare.MaxStallMs);
  std::printf("  ratio (ours / bare)                  %10.2f %14.2f\n", ours.ShownMs / bare.ShownMs,
              ours.MaxStallMs / bare.MaxStallMs);
  std::printf("  resident memory of the pane with %d lines: %ld KiB\n", TOutputPane::kMaxLines, paneKiB);
  return 0;
}
