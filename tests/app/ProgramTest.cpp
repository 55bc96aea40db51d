// The tarnwick program as a user starts it: window or headless by the display, and an end by
// SIGTERM or SIGINT that leaves no node and no QtWebEngineProcess behind. This test process is a
// child subreaper, so whatever tarnwick leaves behind becomes its child and is seen.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "common/FreePort.h"
#include "common/ProcessScan.h"
#include "common/Wait.h"
#include "common/TempDir.h"

namespace vexor {
namespace {

using namespace vexor::testing;

class ProgramTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

  void SetUp() override {
    FScript = FDir / "hello.js";
    std::ofstream(FScript) << "console.log('hello from the script');\nsetInterval(() => {}, 1000);\n";
    FLog = FDir / "node.log";
    FOut = FDir / "out.txt";
  }

  void TearDown() override {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ReapOrphans();
  }

  // Starts tarnwick with AArgs in an environment of only AEnv (plus PATH and HOME).
  void Start(std::vector<std::string> AArgs, std::vector<std::string> AEnv) {
    AArgs.insert(AArgs.begin(), TW_TARNWICK);
    AEnv.push_back(std::string("PATH=") + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"));
    AEnv.push_back("HOME=" + FDir.Path());
    AEnv.push_back("XDG_CONFIG_HOME=" + FDir / "config");
    AEnv.push_back("XDG_CACHE_HOME=" + FDir / "cache");
    AEnv.push_back("TW_TEST_NODE_LOG=" + FLog);
    if (const char* asan = std::getenv("ASAN_OPTIONS")) AEnv.push_back(std::string("ASAN_OPTIONS=") + asan);
    std::vector<char*> argv, envp;
    for (auto& a : AArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : AEnv) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, FOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    ASSERT_EQ(::posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Waits for tarnwick's end; its exit status, or -1 when it did not end in time.
  int WaitExit(uint32_t ATimeoutMs = 60000) {
    int status = 0;
    bool ended = WaitFor([&] { return ::waitpid(FPid, &status, WNOHANG) == FPid; }, ATimeoutMs);
    if (!ended) return -1;
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Reaps what was left to this process; true when nothing of it is still running.
  static bool ReapOrphans() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return Descendants(::getpid()).empty();
  }

  std::vector<std::string> WindowEnv() const {
    return {"QT_QPA_PLATFORM=offscreen", "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu"};
  }

  TTempDir FDir;
  std::string FScript, FLog, FOut;
  pid_t FPid = -1;
};

class ProgramSignalTest : public ProgramTest, public ::testing::WithParamInterface<int> {};

TEST_P(ProgramSignalTest, EndsTheWindowAndLeavesNoNodeAndNoBrowserProcess) {
  Start({"--port", std::to_string(FreeLoopbackPort()), "--node", TW_NODE_TEE, FScript}, WindowEnv());
  ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(FLog).find("Debugger attached.") != std::string::npos; }, 90000))
      << ReadWholeFile(FOut) << ReadWholeFile(FLog);
  const auto tree = Descendants(FPid);
  auto has = [&](const std::string& AName) {
    for (const auto& p : tree)
      if (p.Name == AName) return true;
    return false;
  };
  ASSERT_TRUE(has("node"));
  ASSERT_TRUE(has("QtWebEngineProc")) << "the window's browser runs";

  ::kill(FPid, GetParam());
  EXPECT_EQ(WaitExit(), 0) << ReadWholeFile(FOut);
  EXPECT_TRUE(WaitFor(ReapOrphans, 20000));
  for (const auto& p : tree) EXPECT_FALSE(ProcessAlive(p.Pid)) << p.Name << " " << p.Pid;
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& AInfo) {
                           return std::string(AInfo.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

TEST_F(ProgramTest, RunsHeadlessWhenAskedOrWithoutADisplay) {
  struct Case {
    std::vector<std::string> Args, Env;
  } cases[] = {
      {{}, {}},                                         // no display at all
      {{"--headless"}, {"QT_QPA_PLATFORM=offscreen"}},  // a display, but headless asked for
  };
  for (auto& c : cases) {
    c.Args.insert(c.Args.end(), {"--port", std::to_string(FreeLoopbackPort()), FScript});
    Start(c.Args, c.Env);
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(FOut).find("DevTools: devtools://") != std::string::npos; }, 60000))
        << ReadWholeFile(FOut);
    for (const auto& p : Descendants(FPid)) EXPECT_NE(p.Name, "QtWebEngineProc");
    ::kill(FPid, SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_TRUE(WaitFor(ReapOrphans, 20000));
  }
  // Headless needs a script; the window does not.
  Start({}, {});
  EXPECT_EQ(WaitExit(), 2);
  EXPECT_NE(ReadWholeFile(FOut).find("tarnwick: no script given"), std::string::npos) << ReadWholeFile(FOut);
}

TEST_F(ProgramTest, HelpDescribesWindowAndHeadlessUse) {
  Start({"--help"}, {});
  EXPECT_EQ(WaitExit(), 0);
  const std::string help = ReadWholeFile(FOut);
  for (const char* part : {"Window (the default where a display exists)", "Headless (--headless, or no display)",
                           "\"Break on load\" starts unticked"})
    EXPECT_NE(help.find(part), std::string::npos) << part;
}

}  // namespace
}  // namespace vexor
