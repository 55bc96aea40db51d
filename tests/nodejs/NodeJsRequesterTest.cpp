#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "platform/CommandLine.h"
#include "platform/MainThread.h"
#include "common/FreePort.h"
#include "common/Wait.h"
#include "app/Services.h"
#include "common/TempDir.h"
#include "platform/Ticks.h"
#include "diagnostics/MessageLog.h"
#include "nodejs/NodeJsRequester.h"

namespace vexor {
namespace {

using testing::FreeLoopbackPort;
using testing::PumpFor;
using testing::WaitFor;
using TRequester = TCustomAsyncRequester::TOwned<TBasicNodeJsRequester>;

bool NodeAvailable() { return !FindProgramOnPath("node").empty(); }

// How many times the fake inspector started for AScript was asked for its target list. The
// discovery asks again only after it has dealt with the previous answer (its announcement included,
// which waits for the main thread), so N + 1 requests mean that N answers have had their effect.
size_t TargetListRequests(const std::string& AScript) {
  std::ifstream in(AScript + ".requests");
  size_t n = 0;
  for (std::string line; std::getline(in, line);) n += line == "/json";
  return n;
}

// Names of this process's threads, as the kernel keeps them (15 bytes).
std::multiset<std::string> ThreadNames() {
  std::multiset<std::string> names;
  DIR* d = ::opendir("/proc/self/task");
  while (dirent* e = d ? ::readdir(d) : nullptr) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string n;
    std::getline(in, n);
    names.insert(n);
  }
  if (d) ::closedir(d);
  return names;
}

class NodeJsRequesterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NodeAvailable()) GTEST_SKIP() << "node is not installed";
    MessagesList()->Clear();
  }
  std::string Script(const std::string& AFolder, const std::string& ABody) {
    std::string folder = FDir / AFolder;
    std::filesystem::create_directories(folder);
    std::string path = folder + "/script.js";
    std::ofstream(path) << ABody;
    return path;
  }
  // Starts a requester whose OnDebugger records every address it is told.
  TRequester Start(const std::string& AScript, int APort, int32_t AWatchdog = 0, const std::string& ANode = "node") {
    auto r = TCustomAsyncRequester::New<TBasicNodeJsRequester>(nullptr, AScript, APort, AWatchdog, ANode);
    r->SetStopOnStart(true);
    r->SetOnDebugger([this](TBasicNodeJsRequester* ASender) { FUrls.push_back(ASender->DebuggerUrl()); });
    r->Run();
    return r;
  }
  testing::TTempDir FDir;
  std::vector<std::string> FUrls;
};

TEST_F(NodeJsRequesterTest, AddressFiresOncePerDistinctAddressAndAgainAfterARestart) {
  int port = FreeLoopbackPort();
  auto r = Start(Script("with blank/in folder", "setInterval(() => {}, 1000);\n"), port);
  ASSERT_TRUE(WaitFor([&] { return FUrls.size() == 1; })) << "no DevTools address";
  EXPECT_EQ(FUrls[0].rfind("devtools://devtools/bundled/js_app.html?", 0), 0u) << FUrls[0];
  EXPECT_NE(FUrls[0].find("ws=127.0.0.1:" + std::to_string(port) + "/"), std::string::npos) << FUrls[0];
  EXPECT_TRUE(r->IsActive());

  r->SetAutoRestartMinTime(0);
  r->Close();  // the child ends; auto-restart starts a new one with a new target id
  ASSERT_TRUE(WaitFor([&] { return FUrls.size() == 2; })) << "no address after the restart";
  EXPECT_NE(FUrls[1], FUrls[0]);
  EXPECT_EQ(r->DebuggerUrl(), FUrls[1]);
}

TEST_F(NodeJsRequesterTest, OnlyASingleTargetIsReportedAndOnlyOnce) {
  const std::string twoTargets = FDir / "two-targets.js";
  auto two = Start(twoTargets, FreeLoopbackPort(), 0, TW_FAKE_NODE);
  ASSERT_TRUE(WaitFor([&] { return TargetListRequests(twoTargets) >= 3; })) << "the discovery did not poll";
  EXPECT_TRUE(FUrls.empty());
  two.reset();
  const std::string oneTarget = FDir / "one-target.js";
  auto one = Start(oneTarget, FreeLoopbackPort(), 0, TW_FAKE_NODE);
  ASSERT_TRUE(WaitFor([&] { return FUrls.size() == 1; }));
  EXPECT_NE(FUrls[0].find("/t0"), std::string::npos);
  // Later polls find the same address: no second event.
  const size_t polled = TargetListRequests(oneTarget);
  ASSERT_TRUE(WaitFor([&] { return TargetListRequests(oneTarget) >= polled + 3; }));
  EXPECT_EQ(FUrls.size(), 1u);
}

TEST_F(NodeJsRequesterTest, TheTargetOurChildAnnouncedIsReportedAmongSeveral) {
  auto r = Start(FDir / "two-targets-announce.js", FreeLoopbackPort(), 0, TW_FAKE_NODE);
  ASSERT_TRUE(WaitFor([&] { return FUrls.size() == 1; }));
  EXPECT_NE(FUrls[0].find("/t1"), std::string::npos) << FUrls[0];
}

// Another program's inspector holds the port: its target is never announced as ours, and the
// failure is reported with the port.
TEST_F(NodeJsRequesterTest, AForeignInspectorOnThePortIsNeverAnnounced) {
  int port = FreeLoopbackPort();
  TChildProcessController foreign("node", "--inspect=127.0.0.1:" + std::to_string(port) +
                                              " -e \"setInterval(() => {}, 1000)\"");
  foreign.SetKillProcessOnParentTerminated(0);
  TDebuggerClient probe(port);
  ASSERT_TRUE(WaitFor([&] { return probe.GetSettings() != nullptr; })) << "the foreign inspector did not come up";

  std::atomic<int> failedPort{0};
  std::string failedLine;
  std::mutex lock;
  auto r = TCustomAsyncRequester::New<TBasicNodeJsRequester>(nullptr, Script("mine", "setInterval(() => {}, 1000);"),
                                                             port, 0, "node");
  r->SetStopOnStart(true);
  r->SetOnDebugger([this](TBasicNodeJsRequester* ASender) { FUrls.push_back(ASender->DebuggerUrl()); });
  r->SetOnInspectorFailed([&](int32_t APort, const std::string& ALine) {
    std::lock_guard<std::mutex> guard(lock);
    failedLine = ALine;
    failedPort = APort;
  });
  r->Run();
  ASSERT_TRUE(WaitFor([&] { return failedPort.load() != 0; })) << "no inspector failure reported";
  EXPECT_EQ(failedPort.load(), port);
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_NE(failedLine.find(std::to_string(port)), std::string::npos) << failedLine;
  }
  // Once the failure is known the discovery asks no more; a poll already under way has ended
  // after one read timeout.
  PumpFor(TDebuggerClient::kReadTimeoutMs + 2 * TBasicNodeJsRequester::kDebuggerCheckInterval);
  EXPECT_TRUE(FUrls.empty()) << FUrls.front();
  foreign.Close(true);
}

TEST(NodeJsRequester, AcceptsOnlyOurOwnInspectorsFrontEnd) {
  const std::string ok = "devtools://devtools/bundled/js_app.html?experiments=true&v8only=true&ws=127.0.0.1:5678/id1";
  struct Case {
    std::string Url;
    bool Accepted;
  } cases[] = {
      {ok, true},
      {"devtools://devtools/js_app.html?ws=127.0.0.1:5678/id1", true},
      {"file:///etc/passwd", false},
      {"http://127.0.0.1:5678/page.html?ws=127.0.0.1:5678/id1", false},
      {"data:text/html,<script>alert(1)</script>", false},
      {"devtools://devtools/bundled/js_app.html?ws=localhost:5678/id1", false},
      {"devtools://devtools/bundled/js_app.html?ws=[::1]:5678/id1", false},
      {"devtools://devtools/bundled/js_app.html?ws=127.0.0.1:5679/id1", false},
      {"devtools://devtools/bundled/js_app.html?ws=127.0.0.1:5678/id2", false},
      {"devtools://devtools/bundled/js_app.html?ws=127.0.0.1:5678/id1/x", false},
      {ok + "&wss=example.com/id1", false},
      {ok + "&ws=127.0.0.1:9/id1", false},
      {"devtools://devtools/bundled/js_app.html", false},
      {"devtools://devtools/../x.html?ws=127.0.0.1:5678/id1", false},
      {"devtools://devtools/bundled/js_app.html?ws=127.0.0.1:5678/id1#x", false},
      {"devtools://evil/bundled/js_app.html?ws=127.0.0.1:5678/id1", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TBasicNodeJsRequester::FrontEndRefusal(c.Url, 5678, "id1").empty(), c.Accepted) << c.Url;
  EXPECT_FALSE(TBasicNodeJsRequester::FrontEndRefusal(ok, 5678, "").empty());
}

// A stand-in inspector that reports a front-end address not our child's: it is never
// delivered, and the refusal is told once, with the address.
TEST_F(NodeJsRequesterTest, AHostileFrontEndAddressIsRefusedAndTold) {
  for (const char* name : {"one-target-file-url.js", "one-target-other-port.js", "one-target-wss.js"}) {
    SCOPED_TRACE(name);
    std::vector<std::string> refusals;
    auto r = TCustomAsyncRequester::New<TBasicNodeJsRequester>(nullptr, FDir / name, FreeLoopbackPort(), 0, TW_FAKE_NODE);
    r->SetStopOnStart(true);
    r->SetOnDebugger([this](TBasicNodeJsRequester* ASender) { FUrls.push_back(ASender->DebuggerUrl()); });
    r->SetOnFrontEndRefused([&](const std::string& AText) { refusals.push_back(AText); });
    r->Run();
    ASSERT_TRUE(WaitFor([&] { return !refusals.empty(); })) << "no refusal told";
    WaitFor([] { return false; }, 800);  // several more polls
    EXPECT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].find("which was not opened"), std::string::npos) << refusals[0];
    EXPECT_TRUE(FUrls.empty());
  }
}

// An inspector whose /json never ends, or trickles: memory stays bounded (the body is cut at
// 1 MB) and the requester is torn down at once whatever the poll is waiting on.
TEST_F(NodeJsRequesterTest, AStalledOrEndlessInspectorNeitherGrowsNorHoldsTheTeardown) {
  for (const char* name : {"one-target-endless-announce.js", "one-target-trickle-announce.js"}) {
    SCOPED_TRACE(name);
    auto r = Start(FDir / name, FreeLoopbackPort(), 0, TW_FAKE_NODE);
    ASSERT_TRUE(WaitFor([&] { return r->IsActive(); }));
    WaitFor([] { return false; }, 1500);  // a poll is under way
    EXPECT_TRUE(FUrls.empty());
    const uint32_t started = GetTickCount32();
    r.reset();
    EXPECT_LT(TicksSince(started), 1000u);
  }
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) != 0) continue;
    EXPECT_LT(std::stol(line.substr(6)), 512L * 1024) << line;  // kB
  }
}

// "Break on load" holds when the port is taken: not one line of the script runs.
TEST_F(NodeJsRequesterTest, WithThePortTakenNoLineOfTheScriptRuns) {
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  const std::string marker = FDir / "ran";
  std::atomic<int> failedPort{0};
  auto r = TCustomAsyncRequester::New<TBasicNodeJsRequester>(nullptr,
                                                             Script("taken", "require('fs').writeFileSync(" +
                                                                                 QuoteArgument(marker) + ", 'x');"),
                                                             port, 0, "node");
  r->SetStopOnStart(true);
  r->SetOnInspectorFailed([&](int32_t APort, const std::string&) { failedPort = APort; });
  r->Run();
  ASSERT_TRUE(WaitFor([&] { return failedPort.load() == port; })) << "the taken port was not reported";
  ASSERT_TRUE(WaitFor([&] { return !r->IsActive(); })) << "the child did not end";
  EXPECT_FALSE(std::filesystem::exists(marker)) << "the script ran without its debugger";
  ::close(holder);
}

// The program is one path, blanks and all; a blank never starts an argument of its own.
TEST_F(NodeJsRequesterTest, TheNodeProgramIsOnePathBlanksAndAll) {
  const std::string folder = FDir / "my node";
  std::filesystem::create_directories(folder);
  std::filesystem::create_symlink(FindProgramOnPath("node"), folder + "/node");
  auto r = Start(Script("blank", "setInterval(() => {}, 1000);"), FreeLoopbackPort(), 0, folder + "/node");
  ASSERT_TRUE(WaitFor([&] { return FUrls.size() == 1; })) << "node in a folder with a blank did not start";
  r.reset();
  std::atomic<bool> startFailed{false};
  auto injected = TCustomAsyncRequester::New<TBasicNodeJsRequester>(nullptr,
                                                                    Script("inject", "setInterval(() => {}, 1000);"),
                                                                    FreeLoopbackPort(), 0, FindProgramOnPath("node") + " -e 1");
  injected->SetOnStartFailed([&](const std::string&, const std::string&) { startFailed = true; });
  injected->Run();
  EXPECT_TRUE(WaitFor([&] { return startFailed.load(); })) << "a program path with a blank was split";
}

TEST(NodeJsRequester, ReadsNodesAnnouncementsAndDescribesTheEnd) {
  EXPECT_EQ(TBasicNodeJsRequester::AnnouncedTargetId("Debugger listening on ws://127.0.0.1:5678/0f2c-11"), "0f2c-11");
  EXPECT_EQ(TBasicNodeJsRequester::AnnouncedTargetId("Debugger attached."), "");
  // A program's nodes listen on ports of their own: the port comes from the announcement.
  for (auto [line, port] :
       std::vector<std::pair<std::string, int32_t>>{{"Debugger listening on ws://127.0.0.1:41234/0f2c-11", 41234},
                                                    {"Debugger listening on ws://[::1]:9229/x", 9229},
                                                    {"Debugger listening on ws://127.0.0.1/x", 0},
                                                    {"Debugger listening on ws://127.0.0.1:99999/x", 0},
                                                    {"Debugger listening on ws://127.0.0.1:12a/x", 0},
                                                    {"Debugger attached.", 0}})
    EXPECT_EQ(TBasicNodeJsRequester::AnnouncedPort(line), port) << line;
  EXPECT_TRUE(
      TBasicNodeJsRequester::IsInspectorFailure("Starting inspector on 127.0.0.1:5678 failed: address already in use"));
  EXPECT_FALSE(TBasicNodeJsRequester::IsInspectorFailure("Starting inspector on 127.0.0.1:5678"));
  struct {
    TChildExit Exit;
    const char* Text;
  } cases[] = {
      {{3, cerExited, 30}, "the script ended with exit code 3; it starts again in 30 s"},
      {{0, cerExited, 0}, "the script ended with exit code 0; it starts again now"},
      {{1460, cerTerminated, 12}, "the script was ended with exit code 1460; it starts again in 12 s"},
      {{1460, cerWatchdog, -1},
       "the script was ended by the watchdog (silent too long on standard output) with exit code 1460; it is not "
       "started again"},
  };
  for (const auto& c : cases) EXPECT_EQ(TBasicNodeJsRequester::DescribeExit(c.Exit), c.Text);
}

TEST(NodeJsRequester, TellsWhichProcessListensOnAPort) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  EXPECT_FALSE(TBasicNodeJsRequester::ProcessListensOn(::getpid(), port));  // bound, not listening
  ASSERT_EQ(::listen(s, 1), 0);
  EXPECT_TRUE(TBasicNodeJsRequester::ProcessListensOn(::getpid(), port));
  EXPECT_FALSE(TBasicNodeJsRequester::ProcessListensOn(::getppid(), port));
  EXPECT_FALSE(TBasicNodeJsRequester::ProcessListensOn(0, port));
  ::close(s);
  EXPECT_FALSE(TBasicNodeJsRequester::ProcessListensOn(::getpid(), port));
}

TEST_F(NodeJsRequesterTest, WithoutAHandlerNothingIsStoredAndPollingGoesOn) {
  const std::string script = FDir / "one-target.js";
  auto r = TCustomAsyncRequester::New<TBasicNodeJsRequester>(nullptr, script, FreeLoopbackPort(), 0, TW_FAKE_NODE);
  r->Run();
  ASSERT_TRUE(WaitFor([&] { return TargetListRequests(script) >= 3; })) << "the discovery did not poll";
  EXPECT_TRUE(r->IsActive());
  EXPECT_EQ(r->DebuggerUrl(), "");
}

TEST_F(NodeJsRequesterTest, PortZeroStartsNoDiscovery) {
  size_t before = ThreadNames().count("Debugger Checke");
  auto r = Start(Script("p0", "console.log('ran'); setInterval(() => {}, 1000);"), 0);
  EXPECT_EQ(ThreadNames().count("Debugger Checke"), before);
  ASSERT_TRUE(WaitFor([&] { return r->IsActive(); }));
  const uint16_t port = FreeLoopbackPort();
  auto withPort = Start(Script("p1", "setInterval(() => {}, 1000);"), port);
  EXPECT_EQ(ThreadNames().count("Debugger Checke"), before + 1);
  // Only the requester with a port delivers anything.
  ASSERT_TRUE(WaitFor([&] { return FUrls.size() == 1; }));
  EXPECT_NE(FUrls[0].find("ws=127.0.0.1:" + std::to_string(port) + "/"), std::string::npos) << FUrls[0];
}

TEST_F(NodeJsRequesterTest, WatchdogEndsASilentChildOnce) {
  constexpr int32_t kWatchdogMs = 700;
  auto r = Start(Script("silent", "console.error('only on stderr'); setInterval(() => {}, 1000);"), 0, kWatchdogMs);
  r->SetAutoRestartMinTime(0);  // a restart, were there one, would come at once
  std::atomic<int> exits{0};
  std::atomic<int> reason{-1};
  r->SetOnChildExit([&](const TChildExit& AExit) {
    reason = AExit.Reason;
    ++exits;
  });
  ASSERT_TRUE(WaitFor([&] { return r->IsActive(); }));
  auto watchdogMessages = [] {
    int n = 0;
    for (const auto& item : MessagesList()->Items())
      n += item.Source() == "NodeJsRequester" && item.Msg() == "Process terminated by watchdog" &&
           item.Severity() == tmsError;
    return n;
  };
  ASSERT_TRUE(WaitFor([&] { return watchdogMessages() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return !r->IsActive() && exits.load() >= 1; }));
  // Two more watchdog periods: it does not fire again, and nothing starts the script again.
  PumpFor(2 * kWatchdogMs);
  EXPECT_EQ(watchdogMessages(), 1);
  EXPECT_FALSE(r->IsActive());  // no automatic restart after a watchdog end
  EXPECT_EQ(exits.load(), 1);   // the end is told, once
  EXPECT_EQ(reason.load(), cerWatchdog);
}

TEST(NodeJsRequester, QuotesScriptsWithBlanks) {
  struct Case {
    const char* Script;
    const char* Quoted;
  } cases[] = {
      {"/tmp/a b/app.js", "\"/tmp/a b/app.js\""},
      {"/tmp/ab/app.js", "/tmp/ab/app.js"},
      // Quotes are part of the name: escaped, never taken as grouping.
      {"\"/tmp/a b/app.js\"", "\"\\\"/tmp/a b/app.js\\\"\""},
      {"/tmp/dq\"x.js", "\"/tmp/dq\\\"x.js\""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TBasicNodeJsRequester::QuoteScript(c.Script), c.Quoted);
}

TEST(NodeJsRequester, FiltersTheInspectorBanner) {
  struct Case {
    const char* Line;
    bool Dropped;
  } cases[] = {
      {"Debugger listening on ws://127.0.0.1:5678/abc", true},
      {"Debugger attached.", true},
      {"Debugger ending on ws://127.0.0.1:5678/abc", true},
      {"For help, see: https://nodejs.org/en/docs/inspector", true},
      {"For help see https://nodejs.org/en/docs/inspector", true},
      {"Warning: This is an experimental feature", true},
      {"To start debugging, open the following URL in Chrome:", true},
      {"    chrome-devtools://devtools/bundled/inspector.html?ws=x", true},
      {"Waiting for the debugger to disconnect...", false},
      {"Debuggers are fun", false},
      {"TypeError: x is not a function", false},
  };
  for (const auto& c : cases) EXPECT_EQ(TBasicNodeJsRequester::IsInspectorBanner(c.Line), c.Dropped) << c.Line;
}

}  // namespace
}  // namespace vexor

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  vexor::SetProcessArgs(argc, argv);
  vexor::StartTarnwickServices();
  int result = RUN_ALL_TESTS();
  vexor::StopTarnwickServices();
  return result;
}
