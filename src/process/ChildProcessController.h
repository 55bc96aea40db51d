#pragma once
// TChildProcessController: one child program with its standard input, output and error on
// anonymous pipes (the default) or on one pseudo-terminal, drained without blocking, optionally
// bound to a kill-on-close job.
//
// Guarantees:
// - The child leads its own process group (the terminal's job control never reaches it), gets
//   exactly its three pipe ends as fds 0-2 and no other descriptor of ours (every end is
//   close-on-exec), and is SIGKILLed by the kernel when this program dies, however it dies.
// - With a pseudo-terminal, the child leads a session of its own whose controlling terminal is
//   the terminal's slave side (fds 0-2); output and error arrive together on the master side as
//   standard output, TERM is "xterm-256color", the window size is the one given and is changed by
//   SetTerminalSize (the child gets SIGWINCH). The interrupt and end-of-input characters typed
//   into the terminal reach it as a terminal's would.
// - A child that cannot be started (program missing, not executable, bad working folder) raises
//   TCreateProcessException from the constructor; exec failures travel back over a status pipe.
// - A job (CreateProcessContainer) is a tiny keeper process holding one end of a socket pair:
//   when the job is closed, or when this program dies and the kernel closes the socket, the
//   keeper SIGKILLs every process group assigned to it, so grandchildren die with the child.
// - Drains never block: they read exactly what FIONREAD reports. Writes never raise SIGPIPE.
// - Every child is reaped (by a process-wide launcher thread once the controller lets go of it),
//   so no zombies pile up while the program runs.
//
// Threads: a plain object with no lock. Any single thread may drive it; the owner must not call
// Close or destroy it while another thread is inside a drain or a write on the same object.
// CreateProcessContainer and CloseProcessContainer may be called from any thread.
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exceptions.h"
#include "process/Utf8StreamDecoder.h"

namespace vexor {

// What a start may add to the plain one: the folder the child runs in ("" keeps the
// default choice: the program's folder, or this program's own for a bare name) and
// environment entries "NAME=VALUE" that replace or extend the inherited environment.

// Receives one chunk of decoded output per read.
template <typename T>
using TCallBack = std::function<void(const T&)>;

// Which of the child's streams a chunk came from; a terminal's output is all csOutput.
enum TChildStream { csOutput, csError };
// Receives the bytes of one read as they were written, with their stream.
using TChunkCallBack = std::function<void(TChildStream AStream, const std::string& ABytes)>;

// The window size of a pseudo-terminal, in character cells.
struct TTerminalSize {
  uint16_t Columns = 80;
  uint16_t Rows = 24;
};

struct TChildProcessStart;

class TChildProcessController {
 public:
  // A job handle: the controller's end of a keeper's socket, 0 when none.
  using THandle = intptr_t;

  // Exit code reported while the child still runs.
  static constexpr uint32_t STILL_ACTIVE = 259;
  // Exit code after the controller ended the child.
  static constexpr uint32_t FORCED_EXIT_CODE = 1460;
  // A closed descriptor in FileHandles(); fd 0 is a valid descriptor on Linux.
  static constexpr int NO_HANDLE = -1;

  class TCreateProcessException : public Exception {
   public:
    // Message "%s [%u] %s": AMessage, AErrCode, the system's text for AErrCode.
    TCreateProcessException(uint32_t AErrCode, const std::string& AMessage);
    uint32_t ErrorCode() const { return FErrorCode; }

   private:
    uint32_t FErrorCode;
  };

  // Starts ACommand (a path, or a bare name looked up on PATH) with AParameters. The command
  // line "ACommand AParameters" is split into arguments with the Windows rules. The child runs
  // in ACommand's folder, or in this program's own folder when ACommand names none. A start
  // under another user's name is not supported (ENOTSUP).
  TChildProcessController(const std::string& ACommand, const std::string& AParameters,
                          const std::string& AUserName = "", const std::string& ADomain = "",
                          const std::string& APassword = "");
  // Where the child's standard error goes when there is no terminal.
  enum TErrorStream {
    esOwnPipe,     // a pipe of its own (the default start)
    esWithOutput,  // the standard-output pipe: both streams arrive as csOutput in the exact order written
  };
  // The same, as AStart says: its working folder (when given; one that does not exist fails the
  // start with ENOENT, as a missing program does), its environment additions, and a
  // pseudo-terminal for standard input, output and error instead of pipes when it names a size.
  TChildProcessController(const std::string& ACommand, const std::string& AParameters,
                          const TChildProcessStart& AStart);
  // The same start with a pseudo-terminal of ATerminal's size.
  TChildProcessController(const std::string& ACommand, const std::string& AParameters, const TTerminalSize& ATerminal);
  TChildProcessController(const std::string& ACommand, const std::string& AParameters, TErrorStream AErrors);
  ~TChildProcessController();
  TChildProcessController(const TChildProcessController&) = delete;
  TChildProcessController& operator=(const TChildProcessController&) = delete;

  // A process is held and has not ended.
  bool ProcessActive() const;

  // Waits up to AWaitTime ms for the child to end, then hands everything its standard output
  // holds to ACallBack, chunk by chunk. True when the child was still running after the wait.
  // Both decodings are UTF-8 here (malformed bytes replaced); a character split across two
  // reads is carried over to the next read.
  bool CheckProcess(const TCallBack<std::string>& ACallBack, uint32_t AWaitTime, bool Utf8);
  // The same for standard error.
  bool CheckProcessErrors(const TCallBack<std::string>& ACallBack, uint32_t AWaitTime);

  // Waits up to AWaitTime ms until standard output or error has data (or the child has closed
  // both), then reads whatever is there in the order the streams became ready, handing each
  // read's bytes undecoded to ACallBack. True when anything was read.
  bool CheckOutputs(const TChunkCallBack& ACallBack, uint32_t AWaitTime);
  // Waits up to AWaitTime ms until standard output or error has data, or AWakeFd is readable
  // (true); false on time-out or when neither stream can have any more.
  bool WaitForOutput(uint32_t AWaitTime, int AWakeFd = NO_HANDLE) const;

  // The child's input, output and error are a pseudo-terminal.
  bool HasTerminal() const { return FTerminal; }
  // Changes the terminal's window size (the child is told with SIGWINCH); false without a
  // terminal or when the size cannot be set.
  bool SetTerminalSize(const TTerminalSize& ASize);

  // Writes AData when the child runs; with FLushBuffers, also waits until the child has read
  // everything from the pipe (or ended). False when the child does not run or the write failed.
  bool SendToInput(const std::string& AData, bool FLushBuffers);
  // One write of all bytes; true when all were written. Blocks while the pipe is full.
  bool SendToInput(const std::vector<uint8_t>& AData);
  // Writes what the pipe takes now without blocking, in pieces of at most PIPE_BUF bytes;
  // the number of bytes written (0 when the pipe is full, the child's input is closed or the
  // child is gone).
  size_t SendToInputNow(std::string_view AData);
  // Closes our end of the child's standard input: the child reads end-of-file. On a terminal,
  // the end-of-input character is typed instead (the terminal stays open for output).
  void CloseInput();

  // True once the child has ended; ExitCode() then tells how (the child stays held until
  // Close). A released child counts as ended.
  bool CheckExited();

  // With 0, creates a job owned by this controller (or reuses the one it owns already);
  // otherwise uses AProcessContainer without owning it. Then assigns the child, if any.
  void SetKillProcessOnParentTerminated(THandle AProcessContainer);
  // A new job, or 0 when it cannot be created.
  static THandle CreateProcessContainer();
  // Closes a job: every process group assigned to it is killed before this returns.
  static void CloseProcessContainer(THandle AProcessContainer);

  // Drains output until the child ends or AIsTimeout says stop (then the child is terminated
  // when CloseOnTimeout), then releases the process and reports its exit code.
  void WaitForProcess(const TCallBack<std::string>& ACallBack, uint32_t& AExitCode,
                      const std::function<bool()>& AIsTimeout);

  // Releases the process (terminating it first when Terminate: exit code 1460), the owned job
  // (which kills the child's process group) and the pipes. Further calls do nothing.
  void Close(bool Terminate);

  bool CloseOnTimeout() const { return FCloseOnTimeout; }
  void SetCloseOnTimeout(bool AValue) { FCloseOnTimeout = AValue; }

  // 0 after start; the exit code once known (128 + signal for a child killed by a signal);
  // 259 when released while running; 1460 after a forced end.
  uint32_t ExitCode() const { return FExitCode; }
  pid_t ProcessId() const { return FProcessInfo.dwProcessId; }
  // The pidfd of the child, NO_HANDLE once released.
  int ProcessHandle() const { return FProcessInfo.hProcess; }
  THandle ProcessContainer() const { return FProcessContainer; }
  const std::array<int, 6>& FileHandles() const { return FileHandles_; }
  const std::string& CommandLine() const { return FCommandLine; }
  const std::string& WorkingDirectory() const { return FWorkingDirectory; }

 private:
  struct TProcessInformation {
    int hProcess = NO_HANDLE;  // pidfd
    pid_t dwProcessId = 0;
  };

  void Start(const std::string& ACommand, const std::string& AParameters, const TChildProcessStart& AStart);
  bool DrainPipe(int AIndex, const TCallBack<std::string>& ACallBack, uint32_t AWaitTime);
  bool WaitProcess(uint32_t AWaitTime) const;
  void EndProcessRecord(bool Terminate);
  void CloseOwnedContainer();
  bool WriteInput(const char* AData, size_t ALength);

  // Owned by the driving thread.
  // The three pipes: 0/1 output (read/write), 2/3 input (read/write), 4/5 error (read/write).
  // With a terminal, 0 is its master side and 3 a duplicate of it; 1, 2, 4 and 5 stay closed.
  // The child's ends (1, 2, 5) are closed here once the child holds them, so that writes to a
  // child that has ended fail instead of filling a pipe nobody reads.
  std::array<int, 6> FileHandles_{NO_HANDLE, NO_HANDLE, NO_HANDLE, NO_HANDLE, NO_HANDLE, NO_HANDLE};
  TProcessInformation FProcessInfo;
  uint32_t FExitCode = 0;
  bool FCloseOnTimeout = true;
  THandle FProcessContainer = 0;  // owned job
  TUtf8StreamDecoder FOutputDecoder;
  TUtf8StreamDecoder FErrorDecoder;

  // Constant after construction.
  bool FTerminal = false;
  std::string FCommandLine;
  std::string FWorkingDirectory;
};

// How a child is started, beyond its command line.
struct TChildProcessStart {
  std::string WorkingDirectory;           // "": the folder derived from the program's path
  std::vector<std::string> Environment;   // NAME=VALUE additions to this program's environment
  std::optional<TTerminalSize> Terminal;  // a pseudo-terminal of this size instead of pipes
  TChildProcessController::TErrorStream Errors = TChildProcessController::esOwnPipe;  // without a terminal
};

}  // namespace vexor
