#include "process/ChildProcessController.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "platform/AppPaths.h"
#include "platform/CommandLine.h"
#include "platform/MainThread.h"
#include "platform/SysError.h"
#include "platform/Ticks.h"

namespace vexor {

namespace {

constexpr const char* kErrCreatingPipes = "Error Creating Pipes for Process";
constexpr const char* kErrCreatingProcess = "Error Creating Process";
// How long closing a job waits for its keeper to confirm that the groups were killed.
constexpr int kContainerCloseWaitMs = 5000;
// Process groups one job can hold; the keeper cannot allocate after fork.
constexpr size_t kMaxGroupsPerJob = 4096;

int PidFdOpen(pid_t APid) { return static_cast<int>(syscall(SYS_pidfd_open, APid, 0)); }

void CloseFd(int& AFd) {
  if (AFd != TChildProcessController::NO_HANDLE) {
    ::close(AFd);
    AFd = TChildProcessController::NO_HANDLE;
  }
}

// Polls one descriptor for input, retrying after signals until the time is up.
// Returns poll's result: >0 ready, 0 timed out, <0 failed.
int PollIn(int AFd, int ATimeoutMs) {
  const uint32_t start = GetTickCount32();
  for (;;) {
    int remaining = ATimeoutMs;
    if (ATimeoutMs > 0) {
      const uint32_t spent = TicksSince(start);
      remaining = spent >= static_cast<uint32_t>(ATimeoutMs) ? 0 : ATimeoutMs - static_cast<int>(spent);
    }
    pollfd p{AFd, POLLIN, 0};
    const int r = ::poll(&p, 1, remaining);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

// ---- The launcher: one process-wide thread that forks every child and keeper and reaps them.
// Forking from one long-lived thread matters because PR_SET_PDEATHSIG fires when the forking
// *thread* ends, not the process: a child forked on a worker thread would die with the worker.
class TProcessLauncher {
 public:
  static TProcessLauncher& Instance() {
    // Never destroyed: children may be adopted until the very end of the program.
    static TProcessLauncher* instance = new TProcessLauncher;
    return *instance;
  }

  // Runs AProc on the launcher thread and waits for it; its exception is rethrown here.
  void Run(std::function<void()> AProc) {
    std::packaged_task<void()> task(std::move(AProc));
    std::future<void> done = task.get_future();
    {
      std::lock_guard<std::mutex> guard(FLock);
      FTasks.push_back(std::move(task));
    }
    Wake();
    done.get();
  }

  // Takes over a child that nobody waits for any more: it is reaped as soon as it ends.
  void Adopt(pid_t APid, int APidFd) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FAdopted.push_back({APid, APidFd});
    }
    Wake();
  }

  pid_t ProgramPid() const { return FProgramPid; }

 private:
  struct TAdopted {
    pid_t Pid;
    int PidFd;
  };

  TProcessLauncher() : FProgramPid(::getpid()) {
    FWakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (FWakeFd < 0) throw TChildProcessController::TCreateProcessException(errno, kErrCreatingProcess);
    std::thread(&TProcessLauncher::Execute, this).detach();
  }

  void Wake() {
    const uint64_t one = 1;
    while (::write(FWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  void Execute() {
    // Signals are for the program's other threads; children start from a clean mask.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    pthread_setname_np(pthread_self(), "Process Launcher");
    std::vector<pollfd> fds;
    std::vector<TAdopted> adopted;
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(FLock);
        adopted = FAdopted;
      }
      fds.assign(1, pollfd{FWakeFd, POLLIN, 0});
      for (const TAdopted& a : adopted) fds.push_back(pollfd{a.PidFd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        (void)::read(FWakeFd, &count, sizeof count);
        std::deque<std::packaged_task<void()>> tasks;
        {
          std::lock_guard<std::mutex> guard(FLock);
          tasks.swap(FTasks);
        }
        for (auto& task : tasks) task();
      }
      for (size_t i = 0; i < adopted.size(); ++i) {
        if (fds[i + 1].revents == 0) continue;
        siginfo_t info{};
        const int r = ::waitid(P_PID, adopted[i].Pid, &info, WEXITED | WNOHANG);
        if ((r == 0 && info.si_pid == adopted[i].Pid) || (r < 0 && errno == ECHILD)) Forget(adopted[i]);
      }
    }
  }

  void Forget(const TAdopted& AChild) {
    ::close(AChild.PidFd);
    std::lock_guard<std::mutex> guard(FLock);
    for (auto it = FAdopted.begin(); it != FAdopted.end(); ++it) {
      if (it->Pid == AChild.Pid) {
        FAdopted.erase(it);
        break;
      }
    }
  }

  // Constant after construction.
  const pid_t FProgramPid;
  int FWakeFd = -1;
  // Guarded by FLock.
  std::mutex FLock;
  std::deque<std::packaged_task<void()>> FTasks;
  std::vector<TAdopted> FAdopted;
};

// ---- Code that runs between fork and exec: async-signal-safe calls only, no allocation.

struct TChildStart {
  const char* Path;
  char* const* Argv;
  const char* WorkingDirectory;  // nullptr: stay
  char* const* Envp;             // the whole environment of the child
  int StdIn, StdOut, StdErr;     // pipe ends (or the terminal's slave side) for fds 0, 1, 2
  bool Terminal;                 // a session of its own with StdIn as controlling terminal
  int StatusFd;                  // close-on-exec: silent on success, carries errno on failure
  pid_t ParentPid;
  int MaxFd;  // the descriptor limit, for kernels without close_range
};

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

[[noreturn]] void ChildFail(int AStatusFd, int AError) {
  while (::write(AStatusFd, &AError, sizeof AError) < 0 && errno == EINTR) {
  }
  _exit(127);
}

[[noreturn]] void ChildAfterFork(const TChildStart& AStart) {
  // Own process group: out of the terminal's job control, and one target for the job's kill.
  // With a terminal of its own the child leads a new session (which is a new group as well).
  if (AStart.Terminal) {
    if (::setsid() < 0) ChildFail(AStart.StatusFd, errno);
  } else {
    ::setpgid(0, 0);
  }
  // Die with the program. The parent may have died before prctl took effect: check.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) ChildFail(AStart.StatusFd, errno);
  if (::getppid() != AStart.ParentPid) _exit(127);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Lift the three ends above 0-2 first so that no dup2 overwrites an end still needed.
  const int ends[3] = {AStart.StdIn, AStart.StdOut, AStart.StdErr};
  int high[3];
  for (int i = 0; i < 3; ++i) {
    high[i] = ::fcntl(ends[i], F_DUPFD_CLOEXEC, 3);
    if (high[i] < 0) ChildFail(AStart.StatusFd, errno);
  }
  for (int i = 0; i < 3; ++i)
    if (::dup2(high[i], i) < 0) ChildFail(AStart.StatusFd, errno);
  if (AStart.Terminal && ::ioctl(0, TIOCSCTTY, 0) != 0) ChildFail(AStart.StatusFd, errno);
  // The child gets descriptors 0-2 and nothing else: whatever other threads (the browser's,
  // a library's) opened without close-on-exec would otherwise stay open in it. Marked rather
  // than closed, so the status pipe still reports a failing exec.
  if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
    for (int fd = 3; fd < AStart.MaxFd; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (AStart.WorkingDirectory && ::chdir(AStart.WorkingDirectory) != 0) ChildFail(AStart.StatusFd, errno);
  ::execve(AStart.Path, AStart.Argv, AStart.Envp);
  ChildFail(AStart.StatusFd, errno);
}

// Keeper state; written only in the forked keeper (its own copy of memory).
pid_t GKeeperGroups[kMaxGroupsPerJob];

// The keeper of one job: collects process-group ids from its socket and, when the socket
// reaches end-of-file (job closed, or the program gone), SIGKILLs every group and exits.
[[noreturn]] void KeeperAfterFork(int ASocket, int AMaxFd) {
  ::setpgid(0, 0);
  // Hold nothing but the socket: a keeper holding another job's end or a child's pipe would
  // keep that end-of-file from ever arriving.
  if (ASocket != 3) {
    if (::dup2(ASocket, 3) < 0) _exit(1);
  }
  if (::syscall(SYS_close_range, 4, UINT_MAX, 0) != 0)
    for (int fd = 4; fd < AMaxFd; ++fd) ::close(fd);
  const int devnull = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) {
    if (devnull >= 0)
      ::dup2(devnull, fd);
    else
      ::close(fd);
  }
  if (devnull > 2) ::close(devnull);
  (void)::chdir("/");
  // Signals stay blocked (inherited from the launcher): only end-of-file or SIGKILL end it.
  size_t count = 0;
  unsigned char buffer[sizeof(pid_t)];
  size_t filled = 0;
  for (;;) {
    const ssize_t r = ::read(3, buffer + filled, sizeof buffer - filled);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    filled += static_cast<size_t>(r);
    if (filled == sizeof buffer) {
      pid_t group;
      std::memcpy(&group, buffer, sizeof group);
      if (group > 1 && count < kMaxGroupsPerJob) GKeeperGroups[count++] = group;
      filled = 0;
    }
  }
  for (size_t i = 0; i < count; ++i) ::kill(-GKeeperGroups[i], SIGKILL);
  _exit(0);
}

uint32_t ExitCodeOf(const siginfo_t& AInfo) {
  if (AInfo.si_code == CLD_EXITED) return static_cast<uint32_t>(AInfo.si_status);
  return 128u + static_cast<uint32_t>(AInfo.si_status);
}

// Our environment with AAdditions applied: an entry replaces the inherited one of its name.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& AAdditions) {
  std::vector<std::string> merged;
  auto nameOf = [](const std::string& AEntry) { return AEntry.substr(0, AEntry.find('=')); };
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    const std::string name = nameOf(entry);
    const bool replaced = std::any_of(AAdditions.begin(), AAdditions.end(),
                                      [&](const std::string& AAdded) { return nameOf(AAdded) == name; });
    if (!replaced) merged.push_back(entry);
  }
  // Of two additions with one name, the later wins.
  for (size_t i = 0; i < AAdditions.size(); ++i) {
    const std::string name = nameOf(AAdditions[i]);
    const bool later = std::any_of(AAdditions.begin() + static_cast<std::ptrdiff_t>(i) + 1, AAdditions.end(),
                                   [&](const std::string& AAdded) { return nameOf(AAdded) == name; });
    if (!later) merged.push_back(AAdditions[i]);
  }
  return merged;
}

std::string Unquoted(const std::string& AText) {
  if (AText.size() >= 2 && AText.front() == '"' && AText.back() == '"') return AText.substr(1, AText.size() - 2);
  return AText;
}

// The file to execute for the first argument; relative paths are taken from our current
// folder, not the child's working folder. Empty when a bare name is not on PATH.
std::string ResolveProgram(const std::string& AProgram) {
  const std::string found = FindProgramOnPath(AProgram);
  if (found.empty() || found.front() == '/') return found;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return found;
  return IncludeTrailingPathDelimiter(cwd) + found;
}

// Writes to a pipe whose reader may be gone without letting SIGPIPE end the program: the
// signal is blocked for this thread and a SIGPIPE caused by this write is consumed.
bool WriteAllNoSigPipe(int AFd, const char* AData, size_t ALength) {
  sigset_t pipeSet, pending, old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  size_t written = 0;
  bool brokenPipe = false;
  while (written < ALength) {
    const ssize_t r = ::write(AFd, AData + written, ALength - written);
    if (r < 0) {
      if (errno == EINTR) continue;
      brokenPipe = errno == EPIPE;
      break;
    }
    written += static_cast<size_t>(r);
  }
  if (brokenPipe && !wasPending) {
    const timespec zero{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return written == ALength;
}

// This program's environment with TERM naming a terminal that understands colours and cursor
// movement (what the terminal view renders), built before fork: the child may not allocate.
winsize WindowSize(const TTerminalSize& ASize) {
  winsize size{};
  size.ws_col = std::max<uint16_t>(ASize.Columns, 1);
  size.ws_row = std::max<uint16_t>(ASize.Rows, 1);
  return size;
}

// A new pseudo-terminal: the master side (non-blocking reads, close-on-exec) and its slave
// side (close-on-exec; the child gets it as fds 0-2). Raises on failure.
void OpenTerminal(const TTerminalSize& ASize, int& AMaster, int& ASlave) {
  AMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (AMaster < 0) throw TChildProcessController::TCreateProcessException(errno, kErrCreatingPipes);
  char name[128];
  if (::grantpt(AMaster) != 0 || ::unlockpt(AMaster) != 0 || ::ptsname_r(AMaster, name, sizeof name) != 0 ||
      (ASlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
    const int err = errno;
    ::close(AMaster);
    throw TChildProcessController::TCreateProcessException(err, kErrCreatingPipes);
  }
  termios mode{};
  if (::tcgetattr(ASlave, &mode) == 0) {
    mode.c_iflag |= IUTF8;  // erasing in a typed line takes whole UTF-8 characters
    ::tcsetattr(ASlave, TCSANOW, &mode);
  }
  const winsize size = WindowSize(ASize);
  ::ioctl(AMaster, TIOCSWINSZ, &size);
}

void AssignToContainer(TChildProcessController::THandle AContainer, pid_t AGroup) {
  const int fd = static_cast<int>(AContainer);
  size_t sent = 0;
  while (sent < sizeof AGroup) {
    const ssize_t r = ::send(fd, reinterpret_cast<const char*>(&AGroup) + sent, sizeof AGroup - sent, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;  // keeper gone: nothing left to bind to
    sent += static_cast<size_t>(r);
  }
}

}  // namespace

// ---- TCreateProcessException

TChildProcessController::TCreateProcessException::TCreateProcessException(uint32_t AErrCode,
                                                                          const std::string& AMessage)
    : Exception(AMessage + " [" + std::to_string(AErrCode) + "] " + SysErrorMessage(static_cast<int>(AErrCode))),
      FErrorCode(AErrCode) {}

// ---- Start

TChildProcessController::TChildProcessController(const std::string& ACommand, const std::string& AParameters,
                                                 const std::string& AUserName, const std::string& ADomain,
                                                 const std::string& APassword) {
  // Starting under other credentials would need a set-uid helper; not offered.
  if (!AUserName.empty()) throw TCreateProcessException(ENOTSUP, kErrCreatingProcess);
  Start(ACommand, AParameters, TChildProcessStart{});
}

TChildProcessController::TChildProcessController(const std::string& ACommand, const std::string& AParameters,
                                                 const TTerminalSize& ATerminal) {
  TChildProcessStart start;
  start.Terminal = ATerminal;
  Start(ACommand, AParameters, start);
}

TChildProcessController::TChildProcessController(const std::string& ACommand, const std::string& AParameters,
                                                 TErrorStream AErrors) {
  TChildProcessStart start;
  start.Errors = AErrors;
  Start(ACommand, AParameters, start);
}

TChildProcessController::TChildProcessController(const std::string& ACommand, const std::string& AParameters,
                                                 const TChildProcessStart& AStart) {
  Start(ACommand, AParameters, AStart);
}

void TChildProcessController::Start(const std::string& ACommand, const std::string& AParameters,
                                    const TChildProcessStart& AStart) {
  FWorkingDirectory = AStart.WorkingDirectory;
  if (FWorkingDirectory.empty()) FWorkingDirectory = ExtractFilePath(Unquoted(ACommand));
  if (FWorkingDirectory.empty()) FWorkingDirectory = ProgramFolder();
  // A terminal's child is told what it talks to.
  std::vector<std::string> additions = AStart.Environment;
  if (AStart.Terminal) additions.insert(additions.begin(), "TERM=xterm-256color");
  std::vector<std::string> environment = MergedEnvironment(additions);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const TTerminalSize* ATerminal = AStart.Terminal ? &*AStart.Terminal : nullptr;
  const TErrorStream AErrors = AStart.Errors;
  FCommandLine = AParameters.empty() ? ACommand : ACommand + " " + AParameters;

  std::vector<std::string> args = SplitCommandLine(FCommandLine);
  if (args.empty() || args.front().empty()) throw TCreateProcessException(ENOENT, kErrCreatingProcess);
  const std::string path = ResolveProgram(args.front());
  if (path.empty()) throw TCreateProcessException(ENOENT, kErrCreatingProcess);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int childIn, childOut, childErr;
  if (ATerminal) {
    FTerminal = true;
    int master, slave;
    OpenTerminal(*ATerminal, master, slave);
    FileHandles_[0] = master;
    FileHandles_[1] = slave;
    FileHandles_[3] = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
    if (FileHandles_[3] < 0) {
      const int err = errno;
      for (int& fd : FileHandles_) CloseFd(fd);
      throw TCreateProcessException(err, kErrCreatingPipes);
    }
    childIn = childOut = childErr = slave;
  } else {
    for (int i = 0; i < (AErrors == esWithOutput ? 4 : 6); i += 2) {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) {
        const int err = errno;
        for (int& fd : FileHandles_) CloseFd(fd);
        throw TCreateProcessException(err, kErrCreatingPipes);
      }
      FileHandles_[i] = ends[0];
      FileHandles_[i + 1] = ends[1];
    }
    childIn = FileHandles_[2];
    childOut = FileHandles_[1];
    childErr = AErrors == esWithOutput ? FileHandles_[1] : FileHandles_[5];
  }
  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) {
    const int err = errno;
    for (int& fd : FileHandles_) CloseFd(fd);
    throw TCreateProcessException(err, kErrCreatingPipes);
  }

  TProcessLauncher& launcher = TProcessLauncher::Instance();
  const long maxFd = ::sysconf(_SC_OPEN_MAX);
  const TChildStart start{path.c_str(), argv.data(), FWorkingDirectory.c_str(), envp.data(), childIn,
                          childOut,     childErr,    FTerminal,                 status[1],   launcher.ProgramPid(),
                          maxFd > 0 && maxFd < INT_MAX ? static_cast<int>(maxFd) : 65536};
  pid_t pid = -1;
  int forkError = 0;
  launcher.Run([&] {
    pid = ::fork();
    if (pid == 0) ChildAfterFork(start);
    if (pid < 0) {
      forkError = errno;
      return;
    }
    // Also here, so the group exists before anyone signals it; a session leader makes its own
    // (and could not if we made it a group leader first).
    if (!start.Terminal) ::setpgid(pid, pid);
  });
  ::close(status[1]);

  int childError = forkError;
  if (pid > 0) {
    ssize_t r;
    while ((r = ::read(status[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    if (r != static_cast<ssize_t>(sizeof childError)) childError = 0;
  }
  ::close(status[0]);
  int pidfd = -1;
  if (pid > 0 && childError == 0) {
    pidfd = PidFdOpen(pid);
    if (pidfd < 0) {
      childError = errno;
      ::kill(pid, SIGKILL);
    }
  }
  if (childError != 0) {
    if (pid > 0)
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    for (int& fd : FileHandles_) CloseFd(fd);
    throw TCreateProcessException(childError, kErrCreatingProcess);
  }

  FProcessInfo.hProcess = pidfd;
  FProcessInfo.dwProcessId = pid;
  FExitCode = 0;
  CloseFd(FileHandles_[1]);
  CloseFd(FileHandles_[2]);
  CloseFd(FileHandles_[5]);
  for (int index : {0, 4})
    if (FileHandles_[index] != NO_HANDLE)
      ::fcntl(FileHandles_[index], F_SETFL, ::fcntl(FileHandles_[index], F_GETFL) | O_NONBLOCK);
}

TChildProcessController::~TChildProcessController() {
  try {
    Close(false);
  } catch (...) {
  }
}

// ---- State and draining

bool TChildProcessController::WaitProcess(uint32_t AWaitTime) const {
  if (FProcessInfo.hProcess == NO_HANDLE) return false;
  const int timeout = AWaitTime > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(AWaitTime);
  return PollIn(FProcessInfo.hProcess, timeout) == 0;
}

bool TChildProcessController::ProcessActive() const { return WaitProcess(0); }

bool TChildProcessController::DrainPipe(int AIndex, const TCallBack<std::string>& ACallBack, uint32_t AWaitTime) {
  const bool timedOut = WaitProcess(AWaitTime);
  TUtf8StreamDecoder& decoder = AIndex == 0 ? FOutputDecoder : FErrorDecoder;
  const int fd = FileHandles_[AIndex];
  std::string bytes;
  while (fd != NO_HANDLE) {
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) != 0 || available <= 0) break;
    bytes.resize(static_cast<size_t>(available));
    const ssize_t r = ::read(fd, bytes.data(), bytes.size());
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    bytes.resize(static_cast<size_t>(r));
    const std::string text = decoder.Decode(bytes);
    if (!text.empty() && ACallBack) ACallBack(text);
  }
  return timedOut;
}

bool TChildProcessController::CheckProcess(const TCallBack<std::string>& ACallBack, uint32_t AWaitTime, bool Utf8) {
  // Both decodings are UTF-8 here: there is no OEM code page to convert from.
  return DrainPipe(0, ACallBack, AWaitTime);
}

bool TChildProcessController::CheckProcessErrors(const TCallBack<std::string>& ACallBack, uint32_t AWaitTime) {
  return DrainPipe(4, ACallBack, AWaitTime);
}

// ---- Input

bool TChildProcessController::WriteInput(const char* AData, size_t ALength) {
  if (FileHandles_[3] == NO_HANDLE) return false;
  return WriteAllNoSigPipe(FileHandles_[3], AData, ALength);
}

bool TChildProcessController::SendToInput(const std::string& AData, bool FLushBuffers) {
  if (!ProcessActive()) return false;
  const bool written = WriteInput(AData.data(), AData.size());
  if (written && FLushBuffers) {
    // A pipe has no flush: wait until the child has taken everything, or has ended.
    unsigned pauseUs = 50;
    for (;;) {
      int queued = 0;
      if (::ioctl(FileHandles_[3], FIONREAD, &queued) != 0 || queued <= 0 || !ProcessActive()) break;
      ::usleep(pauseUs);
      if (pauseUs < 5000) pauseUs *= 2;
    }
  }
  return written;
}

bool TChildProcessController::SendToInput(const std::vector<uint8_t>& AData) {
  return WriteInput(reinterpret_cast<const char*>(AData.data()), AData.size());
}

size_t TChildProcessController::SendToInputNow(std::string_view AData) {
  const int fd = FileHandles_[3];
  size_t written = 0;
  while (fd != NO_HANDLE && written < AData.size()) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLERR | POLLHUP)) || !(p.revents & POLLOUT)) break;
    // A writable pipe takes PIPE_BUF bytes at once without blocking.
    const size_t piece = std::min<size_t>(AData.size() - written, PIPE_BUF);
    if (!WriteAllNoSigPipe(fd, AData.data() + written, piece)) break;
    written += piece;
  }
  return written;
}

void TChildProcessController::CloseInput() {
  if (FTerminal) {
    // Closing the master would hang up the terminal and lose the child's last output.
    termios mode{};
    const char eof = ::tcgetattr(FileHandles_[0], &mode) == 0 ? static_cast<char>(mode.c_cc[VEOF]) : '\x04';
    if (FileHandles_[3] != NO_HANDLE) WriteAllNoSigPipe(FileHandles_[3], &eof, 1);
    return;
  }
  CloseFd(FileHandles_[3]);
}

bool TChildProcessController::SetTerminalSize(const TTerminalSize& ASize) {
  if (!FTerminal || FileHandles_[0] == NO_HANDLE) return false;
  const winsize size = WindowSize(ASize);
  return ::ioctl(FileHandles_[0], TIOCSWINSZ, &size) == 0;
}

bool TChildProcessController::WaitForOutput(uint32_t AWaitTime, int AWakeFd) const {
  const uint32_t start = GetTickCount32();
  bool open[2] = {FileHandles_[0] != NO_HANDLE, FileHandles_[4] != NO_HANDLE};
  for (;;) {
    pollfd fds[3];
    nfds_t count = 0;
    for (int i = 0; i < 2; ++i)
      if (open[i]) fds[count++] = pollfd{FileHandles_[i * 4], POLLIN, 0};
    if (count == 0) return false;
    if (AWakeFd != NO_HANDLE) fds[count++] = pollfd{AWakeFd, POLLIN, 0};
    const uint32_t spent = TicksSince(start);
    const int remaining = spent >= AWaitTime ? 0 : static_cast<int>(std::min<uint32_t>(AWaitTime - spent, INT_MAX));
    const int r = ::poll(fds, count, remaining);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents & POLLIN) return true;
      if (fds[i].fd == AWakeFd) continue;
      // Hung up with nothing to read: that stream has ended, the other may still speak.
      if (fds[i].revents) open[fds[i].fd == FileHandles_[0] ? 0 : 1] = false;
    }
  }
}

bool TChildProcessController::CheckOutputs(const TChunkCallBack& ACallBack, uint32_t AWaitTime) {
  if (AWaitTime > 0 && !WaitForOutput(AWaitTime)) return false;
  bool any = false;
  std::string bytes;
  // One read per ready stream and round, so that a stream that keeps writing cannot hold the
  // other's earlier output back.
  for (;;) {
    pollfd fds[2];
    nfds_t count = 0;
    for (int index : {0, 4})
      if (FileHandles_[index] != NO_HANDLE) fds[count++] = pollfd{FileHandles_[index], POLLIN, 0};
    if (count == 0) return any;
    const int r = ::poll(fds, count, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return any;
    bool read = false;
    for (nfds_t i = 0; i < count; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      int available = 0;
      if (::ioctl(fds[i].fd, FIONREAD, &available) != 0 || available <= 0) available = 65536;
      bytes.resize(static_cast<size_t>(available));
      const ssize_t n = ::read(fds[i].fd, bytes.data(), bytes.size());
      if (n <= 0) continue;  // EAGAIN, or a terminal whose child side is gone (EIO)
      bytes.resize(static_cast<size_t>(n));
      read = any = true;
      if (ACallBack) ACallBack(fds[i].fd == FileHandles_[0] ? csOutput : csError, bytes);
    }
    if (!read) return any;
  }
}

bool TChildProcessController::CheckExited() {
  if (FProcessInfo.hProcess == NO_HANDLE) return true;
  if (PollIn(FProcessInfo.hProcess, 0) <= 0) return false;
  // Not reaped (WNOWAIT): the process stays ours until it is released.
  siginfo_t info{};
  const pid_t pid = FProcessInfo.dwProcessId;
  if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) FExitCode = ExitCodeOf(info);
  return true;
}

// ---- Jobs

TChildProcessController::THandle TChildProcessController::CreateProcessContainer() {
  const long maxFd = ::sysconf(_SC_OPEN_MAX);
  const int maxFdInt = maxFd > 0 && maxFd < INT_MAX ? static_cast<int>(maxFd) : 65536;
  THandle result = 0;
  try {
    TProcessLauncher& launcher = TProcessLauncher::Instance();
    launcher.Run([&] {
      int sv[2];
      if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
      const pid_t pid = ::fork();
      if (pid == 0) KeeperAfterFork(sv[1], maxFdInt);
      ::close(sv[1]);
      if (pid < 0) {
        ::close(sv[0]);
        return;
      }
      const int pidfd = PidFdOpen(pid);
      if (pidfd >= 0) launcher.Adopt(pid, pidfd);
      int handle = sv[0];
      if (handle == 0) {  // 0 means "no job"
        handle = ::fcntl(sv[0], F_DUPFD_CLOEXEC, 1);
        ::close(sv[0]);
        if (handle < 0) return;
      }
      result = handle;
    });
  } catch (const std::exception&) {
    return 0;
  }
  return result;
}

void TChildProcessController::CloseProcessContainer(THandle AProcessContainer) {
  if (AProcessContainer <= 0) return;
  const int fd = static_cast<int>(AProcessContainer);
  // End-of-file tells the keeper to kill its groups; its own end closing says it is done.
  ::shutdown(fd, SHUT_WR);
  const uint32_t start = GetTickCount32();
  for (;;) {
    const uint32_t spent = TicksSince(start);
    if (spent >= static_cast<uint32_t>(kContainerCloseWaitMs)) break;
    if (PollIn(fd, kContainerCloseWaitMs - static_cast<int>(spent)) <= 0) break;
    char discard[64];
    const ssize_t r = ::read(fd, discard, sizeof discard);
    if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) break;
  }
  ::close(fd);
}

void TChildProcessController::SetKillProcessOnParentTerminated(THandle AProcessContainer) {
  THandle container = AProcessContainer;
  if (container == 0) {
    if (FProcessContainer == 0) FProcessContainer = CreateProcessContainer();
    container = FProcessContainer;
  }
  if (container != 0 && FProcessInfo.hProcess != NO_HANDLE) AssignToContainer(container, FProcessInfo.dwProcessId);
}

void TChildProcessController::CloseOwnedContainer() {
  if (FProcessContainer == 0) return;
  CloseProcessContainer(FProcessContainer);
  FProcessContainer = 0;
}

// ---- Ending

void TChildProcessController::EndProcessRecord(bool Terminate) {
  if (FProcessInfo.hProcess == NO_HANDLE) return;
  const pid_t pid = FProcessInfo.dwProcessId;
  bool ended = false;
  if (Terminate) {
    ::syscall(SYS_pidfd_send_signal, FProcessInfo.hProcess, SIGKILL, nullptr, 0);
    FExitCode = FORCED_EXIT_CODE;
  } else {
    siginfo_t info{};
    if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
      FExitCode = ExitCodeOf(info);
      ended = true;
    } else {
      FExitCode = STILL_ACTIVE;
    }
  }
  // The child is not reaped yet, so its group id cannot have been reused: safe to kill.
  if (FProcessContainer != 0) {
    ::kill(-pid, SIGKILL);
    CloseOwnedContainer();
  }
  int pidfd = FProcessInfo.hProcess;
  FProcessInfo.hProcess = NO_HANDLE;
  if (ended) {
    siginfo_t info{};
    ::waitid(P_PID, pid, &info, WEXITED | WNOHANG);
    ::close(pidfd);
  } else {
    TProcessLauncher::Instance().Adopt(pid, pidfd);
  }
}

void TChildProcessController::WaitForProcess(const TCallBack<std::string>& ACallBack, uint32_t& AExitCode,
                                             const std::function<bool()>& AIsTimeout) {
  try {
    while (CheckProcess(ACallBack, 25, true)) {
      if (AIsTimeout && AIsTimeout()) {
        EndProcessRecord(FCloseOnTimeout);
        break;
      }
      if (IsMainThread()) CheckSynchronize();
    }
  } catch (...) {
    EndProcessRecord(false);
    AExitCode = FExitCode;
    throw;
  }
  EndProcessRecord(false);
  AExitCode = FExitCode;
}

void TChildProcessController::Close(bool Terminate) {
  EndProcessRecord(Terminate);
  for (int& fd : FileHandles_) CloseFd(fd);
  // Also a job created after the process was gone: nothing else would ever close it.
  CloseOwnedContainer();
}

}  // namespace vexor
