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

#include "common/ProgramRun.h"
#include "common/FreePort.h"

namespace vexor {
namespace {

using namespace vexor::testing;

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
