#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/CommandLine.h"
#include "packets/json/PacketConversions.h"
#include "common/TempDir.h"
#include "RequesterTestSupport.h"
#include "diagnostics/AppStats.h"
#include "requests/ChildProcessRequester.h"

namespace vexor {
namespace {

using test::TAnswers;
using test::TExceptionCapture;
using vexor::testing::WaitFor;

class TEventsSink : public TRefCntObject, public IChildProcessRequesterEvents {
 public:
  void OnOutput(const std::string& ALine) override { Add(FOutput, ALine); }
  void OnErrorOutput(const std::string& ALine) override { Add(FErrors, ALine); }
  void OnNotify(const std::string& AText) override { Add(FNotes, AText); }
  void OnTerminated() override {
    OnMainThread = IsMainThread();
    ++Terminated;
  }

  std::vector<std::string> Output() { return Get(FOutput); }
  std::vector<std::string> Errors() { return Get(FErrors); }
  std::vector<std::string> Notes() { return Get(FNotes); }
  // The pid the child announced with --hello, 0 when none yet.
  pid_t HelloPid() {
    for (const auto& n : Notes())
      if (n.rfind("hello ", 0) == 0) return static_cast<pid_t>(std::stol(n.substr(6)));
    return 0;
  }

  std::atomic<int> Terminated{0};
  std::atomic<bool> OnMainThread{false};

 private:
  void Add(std::vector<std::string>& AList, const std::string& AText) {
    std::lock_guard<std::mutex> lock(FLock);
    AList.push_back(AText);
  }
  std::vector<std::string> Get(const std::vector<std::string>& AList) {
    std::lock_guard<std::mutex> lock(FLock);
    return AList;
  }
  std::mutex FLock;
  std::vector<std::string> FOutput, FErrors, FNotes;
};

// The requester on a clock the test moves, counting the starts of its child.
class TTestRequester : public TChildProcessRequester {
 public:
  using TChildProcessRequester::TChildProcessRequester;

  static constexpr TDateTime kT0 = 46000.5;
  void SetClockSeconds(double ASeconds) { FNow.store(kT0 + ASeconds / 86400.0); }
  std::atomic<int> Starts{0};

  // Lets the worker run a few processing passes (each runs after the pass that ran a task).
  void Settle() {
    for (int i = 0; i < 3; ++i) TDataSynchronizerTask::RunAndWait(Synchronizer(), nullptr);
  }

 protected:
  TDateTime CurrentTime() override { return FNow.load(); }
  void StartProcess() override {
    ++Starts;
    TChildProcessRequester::StartProcess();
  }

 private:
  std::atomic<TDateTime> FNow{kT0};
};

using TRequesterPtr = TCustomAsyncRequester::TOwned<TTestRequester>;

TRequesterPtr NewRequester(TRef<TEventsSink> AEvents, const std::string& AParams = "",
                           const std::string& AProcess = TW_LINECHILD_PATH, TRef<IAppStatCounter> ACounter = nullptr) {
  return TCustomAsyncRequester::New<TTestRequester>(TRef<IChildProcessRequesterEvents>(AEvents.get()), AProcess,
                                                    AParams, nullptr, std::move(ACounter));
}

IPacketPtr Json(const std::string& AText) { return TPacketConversions::PacketFromJSON(AText); }

void StartAndWait(TTestRequester& R) {
  R.Run();
  ASSERT_TRUE(WaitFor([&] { return R.IsChildProcesssActive(); }));
}

int CountLog(const std::string& AEntry) {
  auto lines = test::LogLines(TChildProcessRequester::kLogSource);
  return static_cast<int>(std::count(lines.begin(), lines.end(), AEntry));
}

TEST(ChildRequester, RepliesReachTheirRequests) {
  auto events = MakeRef<TEventsSink>();
  auto r = NewRequester(events);
  r->SetRequestTimeOut(10000);
  StartAndWait(*r);
  struct Case {
    const char* Name;
    const char* Request;
    const char* Reply;
  } cases[] = {
      {"number becomes an untyped packet holding it", R"({"reply":5})", "[5]"},
      {"object is the reply packet itself", R"({"reply":{"a":1,"b":"x"}})", R"({"a":1,"b":"x"})"},
      {"text", R"({"reply":"t\u00e9xt"})", "[\"t\xC3\xA9xt\"]"},
      {"echo of the request", R"({"n":3})", R"({"n":3})"},
      {"late reply", R"({"delay":30,"reply":6})", "[6]"},
  };
  TAnswers answers;
  for (const auto& c : cases) r->Request(answers.Make(c.Name, Json(c.Request)));
  for (const auto& c : cases) EXPECT_EQ(answers.Await(c.Name), c.Reply) << c.Name;
  EXPECT_FALSE(answers.Reply(cases[0].Name)->IsTyped());
}

TEST(ChildRequester, ProtocolLinesGoToTheirEvents) {
  // Before the requester, so that it outlives it: the unanswered keep-alive times out later and
  // its answer still comes here.
  TAnswers answers;
  auto events = MakeRef<TEventsSink>();
  auto r = NewRequester(events, "--stderr started");
  StartAndWait(*r);
  r->SetClockSeconds(5);
  r->Request(answers.Make("k", Json(R"({"keepalive":true,"noreply":true})")));
  ASSERT_TRUE(WaitFor([&] { return r->LastMessageTime() == TTestRequester::kT0 + 5 / 86400.0; }));
  r->Request(answers.Make("mixed", Json(R"({"notify":"ready","print":"plain \r","stderr":"oops","reply":1})")));
  ASSERT_TRUE(answers.Await("mixed").has_value());
  ASSERT_TRUE(WaitFor([&] { return events->Errors().size() == 2; }));
  EXPECT_EQ(events->Notes(), std::vector<std::string>{"ready"});
  EXPECT_EQ(events->Output(), std::vector<std::string>{"plain \r"});
  EXPECT_EQ(events->Errors(), (std::vector<std::string>{"started", "oops"}));
  EXPECT_FALSE(answers.Get("k").has_value());

  r->UnlinkEvents();
  r->Request(answers.Make("after unlink", Json(R"({"notify":"late","reply":2})")));
  ASSERT_TRUE(answers.Await("after unlink").has_value());
  EXPECT_EQ(events->Notes().size(), 1u);
}

TEST(ChildRequester, RequestsWithoutARunningChildAreAnsweredEmptyAtOnce) {
  auto events = MakeRef<TEventsSink>();
  TAnswers answers;
  {
    auto idle = NewRequester(events);
    idle->Request(answers.Make("not started", Json(R"({"reply":1})")));
    EXPECT_EQ(answers.Await("not started", 2000), "<none>");
  }
  auto missing = NewRequester(events, "", "/nonexistent/tarnwick-child");
  missing->Run();
  TDataSynchronizerTask::RunAndWait(missing->Synchronizer(), nullptr);
  missing->Request(answers.Make("no program", Json(R"({"reply":1})")));
  EXPECT_EQ(answers.Await("no program", 2000), "<none>");
  auto lines = test::LogLines(TChildProcessRequester::kLogSource);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("1:Error Creating Process [", 0), 0u) << lines.back();
  EXPECT_EQ(missing->Starts.load(), 1);
}

// Each bad reply line is reported; the channel goes on with the requests after it.
TEST(ChildRequester, MalformedReplyLinesAreReportedAndDoNotStopTheChannel) {
  auto counter = TAppStatRegistry::DynCounter("childrequester.test.unresolved");
  int64_t counted0 = counter->IVal();
  TAnswers answers;  // outlives the requester, which still answers the unanswered requests
  auto events = MakeRef<TEventsSink>();
  auto r = NewRequester(events, "", TW_LINECHILD_PATH, counter);
  r->SetRequestTimeOut(10000);
  StartAndWait(*r);
  TExceptionCapture reports;
  struct Case {
    const char* Name;
    const char* Bad;  // request making the child write the bad line
    bool Reported;
  } cases[] = {
      {"not JSON", R"({"garbage":["\u0002not json"],"noreply":true})", true},
      {"missing id", R"({"garbage":["\u0002{\"response\":1}"],"noreply":true})", true},
      {"id not a number", R"({"garbage":["\u0002{\"id\":\"x\",\"response\":1}"],"noreply":true})", true},
      {"not an object", R"({"garbage":["\u0002[1,2]"],"noreply":true})", true},
      {"10 MB line", R"({"bigreply":10485760,"noreply":true})", true},
      {"several in one chunk",
       R"({"garbage":["\u0002{","\u0002}","\u0002{\"id\":999999,\"response\":1}"],"noreply":true})", true},
      {"unknown id", R"({"garbage":["\u0002{\"id\":777777,\"response\":1}"],"noreply":true})", false},
  };
  size_t reported = 0;
  for (const auto& c : cases) {
    r->Request(answers.Make(std::string("bad ") + c.Name, Json(c.Bad)));
    std::string next = std::string("after ") + c.Name;
    r->Request(answers.Make(next, Json(R"({"reply":7})")));
    EXPECT_EQ(answers.Await(next), "[7]") << c.Name;
    if (c.Reported) {
      EXPECT_TRUE(WaitFor([&] { return reports.Texts().size() > reported; })) << c.Name;
      reported = reports.Texts().size();
      EXPECT_NE(reports.Texts().back().find("Reply line"), std::string::npos) << reports.Texts().back();
      EXPECT_LT(reports.Texts().back().size(), 500u) << c.Name;
    }
  }
  // "several in one chunk" and "unknown id" each name an id nobody waits for.
  EXPECT_TRUE(WaitFor([&] { return counter->IVal() - counted0 == 2; })) << counter->IVal() - counted0;
  EXPECT_EQ(reports.Texts().size(), reported);
}

TEST(ChildRequester, ExitedChildRestartsOnceTheMinimumTimeHasPassed) {
  struct Case {
    bool AutoRestart;
    int StartsAt10s;
    int StartsAt30s;
  } cases[] = {{true, 1, 2}, {false, 1, 1}};
  for (const auto& c : cases) {
    auto events = MakeRef<TEventsSink>();
    auto r = NewRequester(events, "--exit-after 0");
    r->SetAutoRestart(c.AutoRestart);
    int warnings0 = CountLog("3:Restarting process");
    r->Run();
    ASSERT_TRUE(WaitFor([&] { return r->Starts.load() == 1 && !r->IsChildProcesssActive(); }));
    r->SetClockSeconds(10);
    r->Settle();
    EXPECT_EQ(r->Starts.load(), c.StartsAt10s) << c.AutoRestart;
    r->SetClockSeconds(30);
    WaitFor([&] { return r->Starts.load() == c.StartsAt30s; }, 2000);
    r->Settle();
    EXPECT_EQ(r->Starts.load(), c.StartsAt30s) << c.AutoRestart;
    EXPECT_EQ(CountLog("3:Restarting process") - warnings0, c.StartsAt30s - 1) << c.AutoRestart;
    EXPECT_EQ(events->Terminated.load(), 0);
  }
}

TEST(ChildRequester, TerminateKeepsTheControllerFinalizeReleasesIt) {
  enum TEnd { TerminateChild, FinalizeHere, FinalizeFromThread };
  struct Case {
    const char* Name;
    TEnd End;
    int StartsAt30s;
    int Terminated;
  } cases[] = {
      {"TerminateChild restarts later", TerminateChild, 2, 0},
      {"Finalize on the main thread", FinalizeHere, 1, 1},
      {"Finalize from another thread", FinalizeFromThread, 1, 1},
  };
  for (const auto& c : cases) {
    TAnswers answers;  // outlives the requester, which still answers the pending request
    auto events = MakeRef<TEventsSink>();
    auto r = NewRequester(events, "--hello");
    StartAndWait(*r);
    ASSERT_TRUE(WaitFor([&] { return events->HelloPid() != 0; }));
    pid_t pid = events->HelloPid();
    r->SetRequestTimeOut(60000);
    r->Request(answers.Make("pending", Json(R"({"noreply":true})")));
    ASSERT_TRUE(WaitFor([&] { return r->PendingCount() == 1; }));
    switch (c.End) {
      case TerminateChild: r->TerminateChild(); break;
      case FinalizeHere: r->Finalize(); break;
      case FinalizeFromThread: {
        std::atomic<bool> done{false};
        std::thread t([&] {
          r->Finalize();
          done = true;
        });
        EXPECT_TRUE(WaitFor([&] { return done.load(); }));
        t.join();
        break;
      }
    }
    EXPECT_FALSE(r->IsChildProcesssActive()) << c.Name;
    EXPECT_TRUE(WaitFor([&] { return ::kill(pid, 0) != 0; })) << c.Name << ": child still alive";
    r->SetClockSeconds(30);
    WaitFor([&] { return r->Starts.load() == c.StartsAt30s; }, 2000);
    r->Settle();
    EXPECT_EQ(r->Starts.load(), c.StartsAt30s) << c.Name;
    EXPECT_EQ(events->Terminated.load(), c.Terminated) << c.Name;
    if (c.Terminated) {
      EXPECT_TRUE(events->OnMainThread.load()) << c.Name;
    }
    // The pending request is left to its time-out.
    EXPECT_FALSE(answers.Get("pending").has_value()) << c.Name;
  }
}

TEST(ChildRequester, DestroyEndsTheChildWithoutAnsweringPendingRequests) {
  auto events = MakeRef<TEventsSink>();
  TAnswers answers;
  pid_t pid = 0;
  {
    auto r = NewRequester(events, "--hello");
    r->SetRequestTimeOut(60000);
    StartAndWait(*r);
    ASSERT_TRUE(WaitFor([&] { return events->HelloPid() != 0; }));
    pid = events->HelloPid();
    for (int i = 0; i < 3; ++i)
      r->Request(answers.Make(std::string("p").append(std::to_string(i)), Json(R"({"delay":60000})")));
    ASSERT_TRUE(WaitFor([&] { return r->PendingCount() == 3; }));
  }
  EXPECT_EQ(events->Terminated.load(), 1);
  EXPECT_EQ(answers.Count(), 0u);
  EXPECT_TRUE(WaitFor([&] { return ::kill(pid, 0) != 0; })) << "child still alive";
}

TEST(ChildRequester, ManyRequestsPassTheInFlightLimitInOrder) {
  auto events = MakeRef<TEventsSink>();
  auto r = NewRequester(events);
  r->SetRequestTimeOut(20000);
  StartAndWait(*r);
  constexpr int kCount = 500;
  TAnswers answers;
  for (int i = 0; i < kCount; ++i)
    r->Request(answers.Make(std::to_string(i),
                            Json(std::string(R"({"delay":2,"reply":)").append(std::to_string(i)).append("}"))));
  ASSERT_TRUE(WaitFor([&] { return answers.Count() == kCount; }, 30000)) << answers.Count();
  for (int i = 0; i < kCount; ++i)
    EXPECT_EQ(answers.Get(std::to_string(i)), std::string("[").append(std::to_string(i)).append("]"));
  EXPECT_EQ(r->PendingCount(), 0);
}

// ---- A real node child: what the script writes reaches the events whole and in order.

class NodeChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FindProgramOnPath("node").empty()) GTEST_SKIP() << "node is not installed";
  }
  std::string Script(const std::string& ABody) {
    std::string path = FDir / std::string("s").append(std::to_string(FScripts++)).append(".js");
    std::ofstream(path) << ABody;
    return path;
  }
  // A requester on node running AScript whose exits are recorded.
  TRequesterPtr Start(TRef<TEventsSink> AEvents, const std::string& AScript, bool ARun = true) {
    auto r = NewRequester(AEvents, QuoteArgument(AScript), "node");
    r->SetOnChildExit([this](const TChildExit& AExit) {
      std::lock_guard<std::mutex> lock(FLock);
      FExits.push_back(AExit);
    });
    if (ARun) r->Run();
    return r;
  }
  std::vector<TChildExit> Exits() {
    std::lock_guard<std::mutex> lock(FLock);
    return FExits;
  }
  testing::TTempDir FDir;
  int FScripts = 0;
  std::mutex FLock;
  std::vector<TChildExit> FExits;
};

TEST_F(NodeChildTest, AQuicklyEndingScriptDeliversEverythingBeforeItsEnd) {
  struct TCase {
    const char* Body;
    std::vector<std::string> Output;
    const char* ErrorPart;  // in some standard-error line
    uint32_t ExitCode;
    int Runs;
  } cases[] = {
      {"console.log('bye'); process.exit(3);", {"bye"}, nullptr, 3, 50},
      {"console.log('a\\n\\n'); console.log(''); process.stdout.write('no line feed');",
       {"a", "", "", "", "no line feed"},
       nullptr,
       0,
       3},
      {"console.log('x'); throw new Error('boom');", {"x"}, "Error: boom", 1, 3},
      {"require('./no-such-module');", {}, "Cannot find module './no-such-module'", 1, 3},
  };
  for (const TCase& c : cases) {
    std::string script = Script(c.Body);
    for (int run = 0; run < c.Runs; ++run) {
      SCOPED_TRACE(std::string(c.Body) + " / run " + std::to_string(run));
      FExits.clear();
      auto events = MakeRef<TEventsSink>();
      auto r = Start(events, script);
      ASSERT_TRUE(WaitFor([&] { return !Exits().empty(); })) << "no end reported";
      EXPECT_EQ(events->Output(), c.Output);
      if (c.ErrorPart) {
        auto errors = events->Errors();
        EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [&](const std::string& l) {
          return l.find(c.ErrorPart) != std::string::npos;
        })) << ::testing::PrintToString(errors);
      }
      TChildExit exit = Exits().front();
      EXPECT_EQ(exit.ExitCode, c.ExitCode);
      EXPECT_EQ(exit.Reason, cerExited);
      EXPECT_EQ(exit.RestartInSeconds, TChildProcessRequester::kAutoRestartMinTime);  // the test clock stands
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST_F(NodeChildTest, LinesGoOutAtOnceAndAnUnfinishedLineAfterAShortWhile) {
  auto events = MakeRef<TEventsSink>();
  auto r = Start(events, Script("process.stdout.write('line1\\nline2\\nprompt> ');\n"
                                "process.stdin.once('data', () => {\n"
                                "  process.stdout.write('\\nafter\\n\\nend');\n"
                                "  setTimeout(() => process.exit(0), 50);\n"
                                "});\n"));
  // The prompt appears while the script waits for input.
  ASSERT_TRUE(WaitFor([&] { return events->Output().size() == 3; })) << ::testing::PrintToString(events->Output());
  EXPECT_EQ(events->Output(), (std::vector<std::string>{"line1", "line2", "prompt> "}));
  EXPECT_TRUE(r->IsChildProcesssActive());
  r->SendInput("go\n");
  ASSERT_TRUE(WaitFor([&] { return !Exits().empty(); }));
  // The line feed that finishes the prompt adds no blank line; the real blank line stays.
  EXPECT_EQ(events->Output(), (std::vector<std::string>{"line1", "line2", "prompt> ", "after", "", "end"}));
}

TEST_F(NodeChildTest, InputReachesTheScriptAndItsEndEndsTheScriptsInput) {
  auto events = MakeRef<TEventsSink>();
  auto r = Start(events,
                 Script("let got = '';\n"
                        "process.stdin.on('data', (d) => { got += d; });\n"
                        "process.stdin.on('end', () => { console.log('got:' + got); process.exit(5); });\n"),
                 false);
  r->SendInput("kept for the child\n");  // before the child runs
  r->Run();
  ASSERT_TRUE(WaitFor([&] { return r->IsChildProcesssActive(); }));
  r->SendInput("second \xc3\xa9\n");
  r->CloseInput();
  ASSERT_TRUE(WaitFor([&] { return !Exits().empty(); }));
  EXPECT_EQ(events->Output(), (std::vector<std::string>{"got:kept for the child", "second \xc3\xa9", ""}));
  EXPECT_EQ(Exits().front().ExitCode, 5u);
}

TEST_F(NodeChildTest, ATerminatedChildIsReportedAsSuch) {
  auto events = MakeRef<TEventsSink>();
  auto r = Start(events, Script("setInterval(() => {}, 1000);"));
  ASSERT_TRUE(WaitFor([&] { return r->IsChildProcesssActive(); }));
  r->TerminateChild();
  ASSERT_TRUE(WaitFor([&] { return !Exits().empty(); }));
  EXPECT_EQ(Exits().front().ExitCode, TChildProcessController::FORCED_EXIT_CODE);
  EXPECT_EQ(Exits().front().Reason, cerTerminated);
  r->SetAutoRestart(false);
  r->Settle();
  EXPECT_EQ(Exits().size(), 1u);  // once per end
}

}  // namespace
}  // namespace vexor
