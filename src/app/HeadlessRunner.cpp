#include "app/HeadlessRunner.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/MainThread.h"
#include "app/DebugRun.h"
#include "app/FileWatcher.h"
#include "nodejs/NodeJsRequester.h"
#include "platform/Exceptions.h"

namespace vexor {
namespace {

std::atomic<int> gStopSignal{0};

void OnStopSignal(int ASignal) { gStopSignal.store(ASignal); }

// Serialises our own writes to standard output and error, so that a line of ours never lands
// inside a chunk of the script's.
std::mutex& OutputLock() {
  static std::mutex lock;
  return lock;
}

// All of AData to AFd, unbuffered: the reader (a terminal, a pipe, a test) sees it at once.
void WriteAll(int AFd, const char* AData, size_t ASize) {
  while (ASize > 0) {
    const ssize_t n = ::write(AFd, AData, ASize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the reader has gone: nothing to tell
    AData += n;
    ASize -= static_cast<size_t>(n);
  }
}

// One whole line of ours per write. Any thread.
void WriteLine(FILE* AStream, const std::string& ALine) {
  std::lock_guard<std::mutex> guard(OutputLock());
  const std::string line = ALine + "\n";
  WriteAll(::fileno(AStream), line.data(), line.size());
}

// Forwards the script's output byte for byte as it arrives (partial lines included, no line
// feed of ours); the line events are not needed. Called on the requester's worker.
class TConsoleEvents : public TRefCntObject, public IChildProcessRequesterEvents {
 public:
  void OnChunk(TChildStream AStream, const std::string& ABytes) override {
    std::lock_guard<std::mutex> guard(OutputLock());
    WriteAll(AStream == csError ? STDERR_FILENO : STDOUT_FILENO, ABytes.data(), ABytes.size());
  }
  void OnOutput(const std::string&) override {}
  void OnErrorOutput(const std::string&) override {}
  void OnNotify(const std::string&) override {}
  void OnTerminated() override {}
};

// Our standard output and error are one file, pipe or terminal: the script may write both into
// one pipe, which keeps the order of its writes exactly.
bool OutputAndErrorShared() {
  struct stat out {
  }, err{};
  return ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev &&
         out.st_ino == err.st_ino;
}

// Forwards our standard input to the script until it ends, then ends the script's input.
// Its own thread; stops when asked (polling, so a terminal that never ends input does not hold
// the program).
class TInputForwarder {
 public:
  // AInput gets the bytes read, then an empty optional at the end of our input.
  explicit TInputForwarder(std::function<void(std::optional<std::string>)> AInput)
      : FInput(std::move(AInput)), FThread([this] { Execute(); }) {}
  ~TInputForwarder() {
    FStop.store(true);
    FThread.join();
  }

 private:
  void Execute() {
    char buffer[65536];
    while (!FStop.load()) {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      const int r = ::poll(&p, 1, 50);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || (p.revents & POLLNVAL)) break;
      if (r == 0) continue;
      // Started in the background of a terminal: reading would stop the whole program
      // (SIGTTIN); the input waits until the job is brought to the foreground.
      if (::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) != ::getpgrp()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) break;
      FInput(std::string(buffer, static_cast<size_t>(n)));
    }
    if (!FStop.load()) FInput(std::nullopt);
  }

  const std::function<void(std::optional<std::string>)> FInput;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// What the threads of a run hand to the main loop (guarded; a leaf).
struct THeadlessQueue {
  std::mutex Lock;
  std::deque<TRunEvent> Events;
  std::string ChangedFile;  // a watched file changed; "" for none
};

// The exit status for a script that ended with AExitCode.
int ExitStatusOf(uint32_t AExitCode) { return AExitCode > 0 && AExitCode <= 255 ? static_cast<int>(AExitCode) : 1; }

}  // namespace

int RunHeadless(const TTarnwickOptions& AOptions) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  TDebugRunSettings settings = RunSettingsFrom(AOptions);
  settings.ErrorsWithOutput = OutputAndErrorShared();
  THeadlessQueue queue;
  const auto events = TRef<IChildProcessRequesterEvents>::Adopt(new TConsoleEvents);
  int runNumber = 0;
  std::unique_ptr<TDebugRun> run;
  // The input forwarder's way to the current run's node (guarded by inputLock, a leaf).
  std::mutex inputLock;
  TBasicNodeJsRequester* inputTarget = nullptr;
  bool inputEnded = false;

  int status = -1;  // set when tarnwick is to end
  auto startRun = [&] {
    {
      std::lock_guard<std::mutex> guard(inputLock);
      inputTarget = nullptr;
    }
    run.reset();  // ends the old node first
    run = std::make_unique<TDebugRun>(settings, events, ++runNumber, [&queue](const TRunEvent& AEvent) {
      std::lock_guard<std::mutex> guard(queue.Lock);
      queue.Events.push_back(AEvent);
    });
    try {
      run->Start();
    } catch (const Exception& e) {
      WriteLine(stderr, std::string("tarnwick: ") + e.what());
      status = 1;
      return;
    }
    if (!run->PortNote().empty()) WriteLine(stderr, "tarnwick: " + run->PortNote());
    std::lock_guard<std::mutex> guard(inputLock);
    inputTarget = run->Requester();
    if (inputEnded) inputTarget->CloseInput();
  };

  std::unique_ptr<TFileWatcher> watcher;
  startRun();
  if (status < 0 && AOptions.Watch) {
    try {
      watcher = std::make_unique<TFileWatcher>(run->WorkingFolder(), [&queue](const std::string& AFile) {
        std::lock_guard<std::mutex> guard(queue.Lock);
        queue.ChangedFile = AFile;
      });
      WriteLine(stderr, "tarnwick: watching " + run->WorkingFolder() + " for changes");
    } catch (const Exception& e) {
      WriteLine(stderr, std::string("tarnwick: ") + e.what());
      status = 1;
    }
  }
  {
    TInputForwarder input([&](std::optional<std::string> AData) {
      std::lock_guard<std::mutex> guard(inputLock);
      if (!AData) inputEnded = true;
      if (!inputTarget) return;
      if (AData)
        inputTarget->SendInput(std::move(*AData));
      else
        inputTarget->CloseInput();
    });
    while (status < 0 && gStopSignal.load() == 0) {
      CheckSynchronize(20);
      std::deque<TRunEvent> pending;
      std::string changed;
      {
        std::lock_guard<std::mutex> guard(queue.Lock);
        pending.swap(queue.Events);
        changed.swap(queue.ChangedFile);
      }
      for (const TRunEvent& e : pending) {
        if (e.Run != runNumber || status >= 0) continue;  // an earlier run's
        switch (e.Kind) {
          case rekDebugger: WriteLine(stdout, "DevTools: " + e.Url); break;
          case rekStartFailed:
            WriteLine(stderr, "tarnwick: " + e.Reason);
            status = 1;
            break;
          case rekInspectorFailed:
            // Without its inspector the script would run undebugged (and unpaused): the run ends.
            WriteLine(stderr, "tarnwick: the inspector port " + std::to_string(e.Port) +
                                  " is in use by another program; choose another port with --port N");
            status = 1;
            break;
          case rekEnded: {
            std::string next;
            if (AOptions.Watch)
              next = "; waiting for a change (Ctrl+C ends tarnwick)";
            else if (!e.Finished && e.Exit.RestartInSeconds >= 0)
              next = " (Ctrl+C to stop)";
            WriteLine(stderr, "tarnwick: " + DescribeRunEnd(e) + next);
            if (AOptions.Watch) break;
            if (e.Finished)
              status = 0;
            else if (!AOptions.Restart)
              status = ExitStatusOf(e.Exit.ExitCode);
            break;
          }
          case rekWaitingForDisconnect: break;  // node says so itself
          case rekFrontEndRefused: break;       // the requester said it on standard error
        }
      }
      if (status < 0 && !changed.empty() && gStopSignal.load() == 0) {
        WriteLine(stderr, "tarnwick: " + changed + " changed; restarting");
        startRun();
      }
    }
    {
      std::lock_guard<std::mutex> guard(inputLock);
      inputTarget = nullptr;
    }
  }
  watcher.reset();
  run.reset();  // the requester ends the child and its worker here
  return status < 0 ? 0 : status;
}

}  // namespace vexor
