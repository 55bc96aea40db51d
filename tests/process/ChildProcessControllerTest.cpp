// Child process controller against real children (the test child, node) over real pipes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/AppPaths.h"
#include "platform/CommandLine.h"
#include "common/Wait.h"
#include "common/TempDir.h"
#include "process/ChildProcessController.h"

namespace vexor {
namespace {

using Controller = TChildProcessController;
using testing::WaitFor;
namespace fs = std::filesystem;

const std::string kTestChild = TW_TESTCHILD_PATH;
const std::string kHost = TW_PROCESS_HOST_PATH;


// Running or stopped; a zombie (killed, not yet reaped by whoever adopted it) counts as gone.
bool Alive(pid_t APid) {
  std::ifstream stat("/proc/" + std::to_string(APid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const size_t close = text.rfind(") ");
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  const char state = text[close + 2];
  return state != 'Z' && state != 'X';
}

bool Exists(pid_t APid) { return fs::exists("/proc/" + std::to_string(APid)); }

// Drains one of the child's pipes until AUntil holds for everything read so far.
std::string ReadUntil(Controller& AChild, bool AErrors, const std::function<bool(const std::string&)>& AUntil,
                      std::vector<std::string>* AChunks = nullptr) {
  std::string all;
  auto collect = [&](const std::string& AText) {
    all += AText;
    if (AChunks) AChunks->push_back(AText);
  };
  WaitFor([&] {
    if (AErrors)
      AChild.CheckProcessErrors(collect, 10);
    else
      AChild.CheckProcess(collect, 10, true);
    return AUntil(all);
  });
  return all;
}

std::string ReadLines(Controller& AChild, size_t ACount) {
  return ReadUntil(AChild, false, [&](const std::string& s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')) >= ACount;
  });
}

// The number after "AKey " on the first line that starts with it; -1 when none.
long Field(const std::string& AText, const std::string& AKey) {
  std::istringstream in(AText);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(AKey + " ", 0) == 0) return std::stol(line.substr(AKey.size() + 1));
  return -1;
}

size_t OpenFdCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

void ExpectAllHandlesClosed(const Controller& AChild) {
  for (int fd : AChild.FileHandles()) EXPECT_EQ(fd, Controller::NO_HANDLE);
  EXPECT_EQ(AChild.ProcessHandle(), Controller::NO_HANDLE);
}

std::string CopyTestChildTo(const std::string& AFolder) {
  fs::create_directories(AFolder);
  const std::string target = AFolder + "/tw_testchild";
  fs::copy_file(kTestChild, target, fs::copy_options::overwrite_existing);
  return target;
}

TEST(ChildProcessController, CommandLineArgumentsAndWorkingDirectory) {
  testing::TTempDir temp;
  const std::string blankFolder = temp / "folder with blank";
  const std::string blankChild = CopyTestChildTo(blankFolder);
  testing::TScopedEnv path("PATH", ExtractFilePath(kTestChild) + ":" + std::getenv("PATH"));

  struct Case {
    std::string Command, Parameters;
    std::vector<std::string> Argv;
    std::string Output;  // what the verbs after "args" print before "cwd"
    std::string Cwd;
  };
  const Case cases[] = {
      // A path: the child runs in that path's folder.
      {kTestChild, "args cwd", {kTestChild, "args", "cwd"}, "", ExtractFilePath(kTestChild)},
      // A bare name: found on PATH, run in the program's own folder.
      {"tw_testchild", "args  cwd", {"tw_testchild", "args", "cwd"}, "", ProgramFolder()},
      // Quotes group blanks in the program and the parameters and are removed.
      {"\"" + blankChild + "\"",
       "args out \"a b\" cwd",
       {blankChild, "args", "out", "a b", "cwd"},
       "a b\n",
       blankFolder},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Command + " " + c.Parameters);
    Controller child(c.Command, c.Parameters);
    EXPECT_EQ(child.CommandLine(), c.Command + " " + c.Parameters);
    uint32_t exitCode = 1;
    std::string output;
    child.WaitForProcess([&](const std::string& s) { output += s; }, exitCode, nullptr);
    EXPECT_EQ(exitCode, 0u);
    std::string expected = "argc " + std::to_string(c.Argv.size()) + "\n";
    for (size_t i = 0; i < c.Argv.size(); ++i) expected += "arg " + std::to_string(i) + " " + c.Argv[i] + "\n";
    expected += c.Output + "cwd " + fs::canonical(c.Cwd).string() + "\n";
    EXPECT_EQ(output, expected);
  }
}

TEST(ChildProcessController, EmptyParametersGiveTheCommandAlone) {
  Controller child(kTestChild, "");
  EXPECT_EQ(child.CommandLine(), kTestChild);
  uint32_t exitCode = 1;
  std::string output;
  child.WaitForProcess([&](const std::string& s) { output += s; }, exitCode, nullptr);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(output, "");
}

TEST(ChildProcessController, StartFailuresRaiseWithTheSystemTextAndLeakNothing) {
  testing::TTempDir temp;
  const std::string notExecutable = temp / "plain.txt";
  std::ofstream(notExecutable) << "not a program\n";
  {  // start the launcher so that its own descriptor is not counted as a leak
    Controller warmUp(kTestChild, "");
    uint32_t exitCode;
    warmUp.WaitForProcess(nullptr, exitCode, nullptr);
  }
  struct Case {
    std::string Command, User;
    uint32_t Code;
    std::string Message;
  };
  const Case cases[] = {
      {"tw_no_such_program_here", "", 2, "Error Creating Process [2] No such file or directory"},
      {"/no/such/folder/program", "", 2, "Error Creating Process [2] No such file or directory"},
      {notExecutable, "", 13, "Error Creating Process [13] Permission denied"},
      {kTestChild, "someone", 95, "Error Creating Process [95] Operation not supported"},
  };
  const size_t fdsBefore = OpenFdCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Command);
    try {
      Controller child(c.Command, "out x", c.User);
      ADD_FAILURE() << "started";
    } catch (const Controller::TCreateProcessException& e) {
      EXPECT_EQ(e.ErrorCode(), c.Code);
      EXPECT_EQ(e.Message(), c.Message);
    }
  }
  EXPECT_EQ(OpenFdCount(), fdsBefore);
}

// The descriptor numbers open in process APid.
std::vector<int> OpenFds(pid_t APid) {
  std::vector<int> fds;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(APid) + "/fd"))
    fds.push_back(std::stoi(entry.path().filename().string()));
  std::sort(fds.begin(), fds.end());
  return fds;
}

TEST(ChildProcessController, TheChildHoldsOnlyItsThreeStandardDescriptors) {
  // What other code of the program opens without close-on-exec (a browser's files, a socket).
  const int file = ::open("/dev/null", O_RDONLY);
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(file, 0);
  ASSERT_GE(sock, 0);
  Controller child("sleep", "30");
  const pid_t pid = child.ProcessId();
  ASSERT_TRUE(WaitFor([&] {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return std::getline(comm, name) && name == "sleep";
  })) << "the child did not reach its exec";
  EXPECT_EQ(OpenFds(pid), (std::vector<int>{0, 1, 2}));
  child.Close(true);
  ::close(file);
  ::close(sock);
}

TEST(ChildProcessController, CloseWithTerminationEndsTheChildOnce) {
  Controller child(kTestChild, "pid sleep 60000");
  const std::string output = ReadLines(child, 1);
  const pid_t pid = static_cast<pid_t>(Field(output, "pid"));
  ASSERT_EQ(pid, child.ProcessId());
  // Own process group: out of the terminal's job control.
  EXPECT_EQ(::getpgid(pid), pid);
  EXPECT_TRUE(child.ProcessActive());

  child.Close(true);
  EXPECT_EQ(child.ExitCode(), Controller::FORCED_EXIT_CODE);
  EXPECT_FALSE(child.ProcessActive());
  ExpectAllHandlesClosed(child);
  // Killed and reaped: no zombie left behind.
  EXPECT_TRUE(WaitFor([&] { return !Exists(pid); }));

  child.Close(true);
  child.Close(false);
  EXPECT_EQ(child.ExitCode(), Controller::FORCED_EXIT_CODE);
  bool called = false;
  EXPECT_FALSE(child.CheckProcess([&](const std::string&) { called = true; }, 0, true));
  EXPECT_FALSE(called);
  EXPECT_FALSE(child.SendToInput("x\n", false));
  EXPECT_FALSE(child.SendToInput(std::vector<uint8_t>{'x'}));
}

TEST(ChildProcessController, CheckProcessAfterTheChildEndedStillDrains) {
  Controller child(kTestChild, "out hello exit 3");
  ASSERT_TRUE(WaitFor([&] { return !child.ProcessActive(); }));
  std::string output;
  EXPECT_FALSE(child.CheckProcess([&](const std::string& s) { output += s; }, 0, true));
  EXPECT_EQ(output, "hello\n");
  child.Close(false);
  EXPECT_EQ(child.ExitCode(), 3u);
}

TEST(ChildProcessController, StandardErrorOnlyReachesTheErrorCallback) {
  Controller child(kTestChild, "errfill 100");
  ASSERT_TRUE(WaitFor([&] { return !child.ProcessActive(); }));
  int outputCalls = 0;
  child.CheckProcess([&](const std::string&) { ++outputCalls; }, 0, true);
  EXPECT_EQ(outputCalls, 0);
  std::vector<std::string> errors;
  child.CheckProcessErrors([&](const std::string& s) { errors.push_back(s); }, 0);
  EXPECT_EQ(errors, std::vector<std::string>{std::string(100, 'e')});
}

TEST(ChildProcessController, CharacterSplitAcrossReadsIsCarriedOver) {
  // "A", the first byte of the euro sign; then, after the test has read that, the rest and "B".
  Controller child(kTestChild, "outhex 41e2 readline outhex 82ac420a readline");
  std::vector<std::string> chunks;
  ReadUntil(
      child, false, [](const std::string& s) { return !s.empty(); }, &chunks);
  ASSERT_EQ(chunks, std::vector<std::string>{"A"});
  ASSERT_TRUE(child.SendToInput("go\n", false));
  ReadUntil(
      child, false, [](const std::string& s) { return s.find('\n') != std::string::npos; }, &chunks);
  EXPECT_EQ(chunks, (std::vector<std::string>{"A", "\u20acB\n"}));
  child.Close(true);

  Controller invalid(kTestChild, "outhex ff410a");
  EXPECT_EQ(ReadLines(invalid, 1), "\ufffdA\n");
}

TEST(ChildProcessController, InputReachesTheChildAndFailsQuietlyAfterItEnded) {
  Controller echo(kTestChild, "echo");
  EXPECT_TRUE(echo.SendToInput("h\u00e9llo\n", true));
  EXPECT_TRUE(echo.SendToInput(std::vector<uint8_t>{'x', '\n'}));
  EXPECT_EQ(ReadLines(echo, 2), "h\u00e9llo\nx\n");
  echo.Close(true);

  // A flushed write returns once the child has taken everything out of the pipe.
  Controller slowReader(kTestChild, "sleep 200 readline sleep 60000");
  EXPECT_TRUE(slowReader.SendToInput("line\n", true));
  int queued = -1;
  ASSERT_EQ(::ioctl(slowReader.FileHandles()[3], FIONREAD, &queued), 0);
  EXPECT_EQ(queued, 0);
  slowReader.Close(true);

  // No reader any more: both overloads say false, and no SIGPIPE ends this program.
  Controller ended(kTestChild, "exit 0");
  ASSERT_TRUE(WaitFor([&] { return !ended.ProcessActive(); }));
  EXPECT_FALSE(ended.SendToInput("late\n", false));
  EXPECT_FALSE(ended.SendToInput(std::vector<uint8_t>(70000, 'x')));
}

TEST(ChildProcessController, WaitForProcessDrainsAndReportsTheExitCode) {
  Controller child(kTestChild, "out a err b out c exit 5");
  uint32_t exitCode = 0;
  std::string output;
  child.WaitForProcess([&](const std::string& s) { output += s; }, exitCode, nullptr);
  EXPECT_EQ(exitCode, 5u);
  EXPECT_EQ(output, "a\nc\n");
  EXPECT_EQ(child.ProcessHandle(), Controller::NO_HANDLE);

  Controller stuck(kTestChild, "pid sleep 60000");
  const pid_t pid = static_cast<pid_t>(Field(ReadLines(stuck, 1), "pid"));
  int asked = 0;
  stuck.WaitForProcess(nullptr, exitCode, [&] { return ++asked == 2; });
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(exitCode, Controller::FORCED_EXIT_CODE);
  EXPECT_TRUE(WaitFor([&] { return !Exists(pid); }));
}

struct TFamily {
  pid_t Child, GrandChild;
};

TFamily StartFamily(Controller& AChild) {
  const std::string output = ReadLines(AChild, 2);
  return {static_cast<pid_t>(Field(output, "pid")), static_cast<pid_t>(Field(output, "grandchild"))};
}

TEST(ChildProcessController, OwnJobKillsChildAndGrandchildOnClose) {
  Controller child(kTestChild, "pid ignoreterm grandchild sleep 60000");
  child.SetKillProcessOnParentTerminated(0);
  EXPECT_NE(child.ProcessContainer(), 0);
  const TFamily family = StartFamily(child);
  ASSERT_GT(family.GrandChild, 0);
  child.Close(false);
  EXPECT_EQ(child.ExitCode(), Controller::STILL_ACTIVE);
  EXPECT_EQ(child.ProcessContainer(), 0);
  EXPECT_TRUE(WaitFor([&] { return !Alive(family.Child) && !Alive(family.GrandChild); }));
}

TEST(ChildProcessController, WithoutOwnJobTheChildOutlivesClose) {
  const Controller::THandle job = Controller::CreateProcessContainer();
  ASSERT_NE(job, 0);
  TFamily family;
  {
    Controller child(kTestChild, "pid grandchild sleep 60000");
    child.SetKillProcessOnParentTerminated(job);
    EXPECT_EQ(child.ProcessContainer(), 0);  // used, not owned
    family = StartFamily(child);
  }
  EXPECT_TRUE(Alive(family.Child));
  EXPECT_TRUE(Alive(family.GrandChild));
  Controller::CloseProcessContainer(job);
  EXPECT_TRUE(WaitFor([&] { return !Alive(family.Child) && !Alive(family.GrandChild); }));

  pid_t loose;
  {
    Controller child(kTestChild, "pid sleep 60000");
    loose = static_cast<pid_t>(Field(ReadLines(child, 1), "pid"));
  }
  EXPECT_TRUE(Alive(loose));
  ::kill(loose, SIGKILL);
  EXPECT_TRUE(WaitFor([&] { return !Exists(loose); }));  // reaped though nobody holds it
}

TEST(ChildProcessController, JobCreatedAfterCloseHoldsNothingAndIsReleased) {
  Controller child(kTestChild, "");
  child.Close(false);
  child.SetKillProcessOnParentTerminated(0);
  const int job = static_cast<int>(child.ProcessContainer());
  ASSERT_NE(job, 0);
  child.Close(false);
  EXPECT_EQ(child.ProcessContainer(), 0);
  EXPECT_EQ(::fcntl(job, F_GETFD), -1);
}

TEST(ChildProcessController, ChildOutlivesTheThreadThatStartedIt) {
  std::unique_ptr<Controller> child;
  std::thread([&] { child = std::make_unique<Controller>(kTestChild, "sleep 60000"); }).join();
  // The parent-death signal must be tied to the program, not to the starting thread.
  EXPECT_TRUE(child->CheckProcess(nullptr, 300, true));
  child->Close(true);
}

TEST(ChildProcessController, KilledProgramLeavesNoChildBehind) {
  for (const std::string mode : {"job", "nojob"}) {
    SCOPED_TRACE(mode);
    Controller host(kHost, kTestChild + " " + mode);
    const std::string output = ReadUntil(host, false,
                                         [](const std::string& s) { return s.find("ready\n") != std::string::npos; });
    const pid_t child = static_cast<pid_t>(Field(output, "pid"));
    ASSERT_GT(child, 0) << output;
    const pid_t grandChild = static_cast<pid_t>(Field(output, "grandchild"));
    if (mode == "job") {
      ASSERT_GT(grandChild, 0) << output;
    }
    ASSERT_TRUE(Alive(child));

    ::kill(host.ProcessId(), SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return !host.ProcessActive(); }));
    EXPECT_TRUE(WaitFor([&] { return !Alive(child); })) << "child " << child << " survived";
    if (grandChild > 0) {
      EXPECT_TRUE(WaitFor([&] { return !Alive(grandChild); })) << "grandchild survived";
    }
    host.Close(false);
  }
}

int FreeLoopbackPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(s);
    return 0;
  }
  ::close(s);
  return ntohs(addr.sin_port);
}

TEST(ChildProcessController, NodeInspectorBannerArrivesOnTheErrorPipe) {
  if (FindProgramOnPath("node").empty()) GTEST_SKIP() << "node is not installed";
  testing::TTempDir temp;
  const std::string folder = temp / "script folder";
  fs::create_directories(folder);
  const std::string script = folder + "/main.js";
  std::ofstream(script) << "console.log('running');\n";
  const int port = FreeLoopbackPort();
  ASSERT_GT(port, 0);

  Controller node("node", "--inspect-brk=127.0.0.1:" + std::to_string(port) + " \"" + script + "\"");
  node.SetKillProcessOnParentTerminated(0);
  const std::string banner = "Debugger listening on ws://127.0.0.1:" + std::to_string(port) + "/";
  const std::string errors = ReadUntil(node, true,
                                       [&](const std::string& s) { return s.find(banner) != std::string::npos; });
  EXPECT_NE(errors.find(banner), std::string::npos) << errors;

  const pid_t pid = node.ProcessId();
  node.Close(true);
  EXPECT_EQ(node.ExitCode(), Controller::FORCED_EXIT_CODE);
  EXPECT_FALSE(node.ProcessActive());
  EXPECT_TRUE(WaitFor([&] { return !Alive(pid); }));
}


// ---- Pseudo-terminal and reading in arrival order

// Everything a child writes until AUntil holds for it, read with CheckOutputs.
std::string ReadOutputsUntil(Controller& AChild, const std::function<bool(const std::string&)>& AUntil,
                             std::vector<std::pair<TChildStream, std::string>>* AChunks = nullptr) {
  std::string all;
  WaitFor([&] {
    AChild.CheckOutputs(
        [&](TChildStream AStream, const std::string& ABytes) {
          all += ABytes;
          if (AChunks) AChunks->emplace_back(AStream, ABytes);
        },
        20);
    return AUntil(all);
  });
  return all;
}

bool Contains(const std::string& AText, const std::string& APart) { return AText.find(APart) != std::string::npos; }

class ChildProcessTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FindProgramOnPath("node").empty()) GTEST_SKIP() << "node is not installed";
  }
  static std::string Node(const std::string& AScript) { return QuoteArgument("-e") + " " + QuoteArgument(AScript); }
};

TEST_F(ChildProcessTerminal, ChildSeesATerminalOfTheGivenSizeAndItsOwnSession) {
  Controller
      child("node",
            Node("const t=require('tty');console.log(JSON.stringify({o:process.stdout.isTTY,e:process.stderr.isTTY,"
                 "i:process.stdin.isTTY,c:process.stdout.columns,r:process.stdout.rows,term:process.env.TERM}));"
                 "console.error('to error');"
                 "process.stdout.on('resize',()=>{console.log('size '+process.stdout.columns+'x'+process.stdout.rows);"
                 "process.exit(0)});setInterval(()=>{},1000);"),
            TTerminalSize{123, 45});
  child.SetKillProcessOnParentTerminated(0);
  EXPECT_TRUE(child.HasTerminal());
  std::string all = ReadOutputsUntil(child, [](const std::string& s) { return Contains(s, "to error"); });
  EXPECT_TRUE(Contains(all, R"({"o":true,"e":true,"i":true,"c":123,"r":45,"term":"xterm-256color"})")) << all;
  // The terminal turns line feeds into CR LF, as the user's own terminal does.
  EXPECT_TRUE(Contains(all, "to error\r\n")) << all;
  // The session leader's group is its own.
  EXPECT_EQ(::getsid(child.ProcessId()), child.ProcessId());
  EXPECT_TRUE(child.SetTerminalSize(TTerminalSize{100, 30}));
  all = ReadOutputsUntil(child, [](const std::string& s) { return Contains(s, "size"); });
  EXPECT_TRUE(Contains(all, "size 100x30")) << all;
  EXPECT_TRUE(WaitFor([&] { return child.CheckExited(); }));
  EXPECT_EQ(child.ExitCode(), 0u);
}

TEST_F(ChildProcessTerminal, InterruptAndEndOfInputCharactersActAsInATerminal) {
  // Echo of the typed line, then end of input ends the reader.
  Controller reader(
      "node",
      Node("let d='';process.stdin.on('data',c=>d+=c);process.stdin.on('end',()=>{console.log('got['+d.trim()+']')});"),
      TTerminalSize{});
  reader.SetKillProcessOnParentTerminated(0);
  ASSERT_TRUE(reader.SendToInput("hello ä\r", false));
  reader.CloseInput();
  const std::string read = ReadOutputsUntil(reader, [](const std::string& s) { return Contains(s, "got["); });
  EXPECT_TRUE(Contains(read, "got[hello ä]")) << read;

  // Ctrl+C ends a script without a SIGINT handler through the terminal's own signal.
  Controller looping("node", Node("console.log('ready');setInterval(()=>{},1000);"), TTerminalSize{});
  looping.SetKillProcessOnParentTerminated(0);
  ReadOutputsUntil(looping, [](const std::string& s) { return Contains(s, "ready"); });
  ASSERT_TRUE(looping.SendToInput("\x03", false));
  EXPECT_TRUE(WaitFor([&] { return looping.CheckExited(); }));
  EXPECT_EQ(looping.ExitCode(), 128u + SIGINT);
}

TEST_F(ChildProcessTerminal, OutputOfAnEndedChildIsStillRead) {
  // Less than the terminal buffers: the child ends before anything is read.
  Controller small("node", Node("process.stdout.write('x'.repeat(2000)+'end')"), TTerminalSize{});
  small.SetKillProcessOnParentTerminated(0);
  EXPECT_TRUE(WaitFor([&] { return small.CheckExited(); }));
  EXPECT_EQ(ReadOutputsUntil(small, [](const std::string& s) { return Contains(s, "end"); }).size(), 2003u);
  // More than they hold: read while it writes, nothing lost at its end.
  Controller large("node", Node("process.stdout.write('x'.repeat(300000)+'end')"), TTerminalSize{});
  large.SetKillProcessOnParentTerminated(0);
  EXPECT_EQ(ReadOutputsUntil(large, [](const std::string& s) { return Contains(s, "end"); }).size(), 300003u);
  EXPECT_TRUE(WaitFor([&] { return large.CheckExited(); }));
}

TEST(ChildProcessController, OutputsAreReadInTheOrderTheyArrive) {
  if (FindProgramOnPath("node").empty()) GTEST_SKIP() << "node is not installed";
  // Alternating writes 20 ms apart: whichever pipe has data is read at once, never one whole
  // pipe before the other.
  Controller
      child("node",
            QuoteArgument("-e") + " " +
                QuoteArgument("let i=0;const t=setInterval(()=>{(i%2?process.stderr:process.stdout).write(i+'\\n');"
                              "if(++i==20)clearInterval(t)},20)"));
  child.SetKillProcessOnParentTerminated(0);
  std::vector<std::pair<TChildStream, std::string>> chunks;
  ReadOutputsUntil(
      child, [](const std::string& s) { return Contains(s, "19\n"); }, &chunks);
  std::string order;
  for (const auto& [stream, bytes] : chunks) {
    for (char c : bytes) {
      if (c != '\n') continue;
      order += stream == csError ? 'e' : 'o';
    }
  }
  EXPECT_EQ(order, "oeoeoeoeoeoeoeoeoeoe");
  EXPECT_FALSE(child.HasTerminal());
  EXPECT_FALSE(child.SetTerminalSize(TTerminalSize{}));
}

TEST(ChildProcessController, ErrorWithOutputKeepsTheExactOrder) {
  if (FindProgramOnPath("node").empty()) GTEST_SKIP() << "node is not installed";
  // Back to back, no pause: one pipe for both keeps the order of the writes themselves.
  Controller child("node",
                   QuoteArgument("-e") + " " +
                       QuoteArgument("for(let i=0;i<200;++i)(i%2?process.stderr:process.stdout).write(i+'\\n')"),
                   Controller::esWithOutput);
  child.SetKillProcessOnParentTerminated(0);
  std::vector<std::pair<TChildStream, std::string>> chunks;
  const std::string all = ReadOutputsUntil(
      child, [](const std::string& s) { return Contains(s, "199\n"); }, &chunks);
  std::string expected;
  for (int i = 0; i < 200; ++i) expected += std::to_string(i) + "\n";
  EXPECT_EQ(all, expected);
  for (const auto& chunk : chunks) EXPECT_EQ(chunk.first, csOutput);
}

}  // namespace
}  // namespace vexor
