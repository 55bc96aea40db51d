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
#include <mutex>
#include <thread>

#include "platform/AppPaths.h"
#include "platform/MainThread.h"
#include "diagnostics/MessageLog.h"
#include "nodejs/NodeJsRequester.h"

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

std::string AbsolutePath(const std::string& APath) {
  char resolved[PATH_MAX];
  if (::realpath(APath.c_str(), resolved)) return resolved;
  return APath;
}

// Forwards our standard input to the script until it ends, then ends the script's input.
// Its own thread; stops when asked (polling, so a terminal that never ends input does not hold
// the program).
class TInputForwarder {
 public:
  explicit TInputForwarder(TBasicNodeJsRequester* ARequester)
      : FRequester(ARequester), FThread([this] { Execute(); }) {}
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
      FRequester->SendInput(std::string(buffer, static_cast<size_t>(n)));
    }
    if (!FStop.load()) FRequester->CloseInput();
  }

  TBasicNodeJsRequester* const FRequester;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

}  // namespace

int RunHeadless(const TTarnwickOptions& AOptions) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  // A start that fails is logged by the requester; that message ends the run.
  std::atomic<bool> failed{false};
  std::string failure;
  std::mutex failureLock;
  TMessagesList* log = MessagesList();
  if (log)
    log->SetOnMessage([&](TMessagesList&, const TMessageItem& AItem) {
      if (AItem.Severity() != tmsException || AItem.Source() != TChildProcessRequester::kLogSource) return;
      std::lock_guard<std::mutex> guard(failureLock);
      if (failure.empty()) failure = AItem.Msg();
      failed.store(true);
    });

  // The script's folder becomes the current folder, as for a run started from the window.
  std::string script = AbsolutePath(AOptions.Script);
  std::string folder = ExtractFilePath(script);
  if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
    // Not fatal: node is given the full path.
  }

  int status = 0;
  {
    auto requester =
        TCustomAsyncRequester::New<TBasicNodeJsRequester>(TRef<IChildProcessRequesterEvents>::Adopt(new TConsoleEvents),
                                                          script, AOptions.Port, AOptions.WatchdogMs, AOptions.Node);
    requester->SetStopOnStart(AOptions.BreakOnLoad);
    requester->SetErrorsWithOutput(OutputAndErrorShared());
    requester->SetOnDebugger([](TBasicNodeJsRequester* ASender) {
      WriteLine(stdout, "DevTools: " + ASender->DebuggerUrl());
    });
    requester->SetOnChildExit([](const TChildExit& AExit) {
      std::string next = AExit.RestartInSeconds < 0 ? " (Ctrl+C ends tarnwick)" : " (Ctrl+C to stop)";
      WriteLine(stderr, "tarnwick: " + TBasicNodeJsRequester::DescribeExit(AExit) + next);
    });
    // Without its inspector the script would run undebugged (and unpaused): the run ends.
    requester->SetOnInspectorFailed([&](int32_t APort, const std::string&) {
      std::lock_guard<std::mutex> guard(failureLock);
      if (failure.empty())
        failure = "the inspector port " + std::to_string(APort) +
                  " is in use by another program; choose another port with --port N";
      failed.store(true);
    });
    requester->Run();
    {
      TInputForwarder input(requester.get());
      while (gStopSignal.load() == 0 && !failed.load()) CheckSynchronize(20);
    }
    if (failed.load()) {
      std::lock_guard<std::mutex> guard(failureLock);
      WriteLine(stderr, "tarnwick: " + failure);
      status = 1;
    }
  }  // the requester ends the child and its worker here
  if (log) log->SetOnMessage(nullptr);
  return status;
}

}  // namespace vexor
