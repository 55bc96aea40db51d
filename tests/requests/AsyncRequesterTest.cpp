#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "RequesterTestSupport.h"
#include "diagnostics/AppStats.h"
#include "requests/CustomAsyncRequester.h"
#include "concurrency/DataSynchronizer.h"

namespace vexor {
namespace {

using test::TAnswers;
using vexor::testing::WaitFor;

// A transport driven by the request packet's "mode": "id" waits for an answer under a new id,
// "null" has nothing to send to, "packet" answers at once, "throw" fails, "other" returns a text.
class TFakeRequester : public TCustomAsyncRequester {
 public:
  using TCustomAsyncRequester::TCustomAsyncRequester;

  // Hands the transport's answer for AId to the worker.
  void Answer(int32_t AId, IPacketPtr AReply) {
    Synchronizer()->Synchronize([this, AId, AReply] { ResolveRequest(AId, AReply); });
  }
  // Ids handed out so far, with the "name" of their request packet.
  std::vector<std::string> Sent() {
    std::lock_guard<std::mutex> lock(FLock);
    return FSent;
  }
  int32_t LastId() const { return FNextId.load() - 1; }
  // The wait queue's capacity, read on the worker.
  int32_t CapacityOnWorker() {
    int32_t c = 0;
    TDataSynchronizerTask::RunAndWait(Synchronizer(), [&] { c = WaitQueueCapacity(); });
    return c;
  }
  std::atomic<int> Finalized{0};

 protected:
  void InitializeOnWorker() override { Initialized = Synchronizer()->IsSynchronizerThread(); }
  void Finalize() override { ++Finalized; }
  void DoSendRequest(const IPacketPtr& ARequest, Variant& AId) override {
    std::string mode = ARequest->GetProperty("mode", Variant("id")).AsString();
    {
      std::lock_guard<std::mutex> lock(FLock);
      FSent.push_back(ARequest->GetProperty("name", Variant("")).AsString());
    }
    if (mode == "throw") throw Exception("transport down");
    if (mode == "null") {
      AId = Variant::Null();
    } else if (mode == "packet") {
      AId = Variant(NewVObj("instant")->SetProperty("ok", Variant(true))->Value());
    } else if (mode == "other") {
      AId = Variant("not an id");
    } else {
      AId = Variant(FNextId.fetch_add(1));
    }
  }

 public:
  std::atomic<bool> Initialized{false};

 private:
  std::mutex FLock;
  std::vector<std::string> FSent;
  std::atomic<int32_t> FNextId{1};
};

IPacketPtr Req(const std::string& AName, const std::string& AMode = "id") {
  return NewVObj()->SetProperty("name", Variant(AName))->SetProperty("mode", Variant(AMode))->Value();
}

using TFakePtr = TCustomAsyncRequester::TOwned<TFakeRequester>;

TFakePtr NewFake(TRef<IAppStatCounter> ACounter = nullptr, TRef<IDataSynchronizer> ASync = nullptr) {
  return TCustomAsyncRequester::New<TFakeRequester>(std::move(ASync), std::move(ACounter));
}

TEST(AsyncRequester, OwnWorkerIsNamedAfterTheClassAndStartsOnIt) {
  auto r = NewFake();
  EXPECT_EQ(r->Synchronizer()->GetName(), "TFakeRequester");
  EXPECT_TRUE(WaitFor([&] { return r->Initialized.load(); }));
}

TEST(AsyncRequester, TransportResultsDecideTheAnswer) {
  struct Case {
    const char* Mode;
    bool Answered;
    const char* Answer;
  } cases[] = {
      {"null", true, "<none>"},
      {"packet", true, R"({"instant":{"ok":true}})"},
      {"throw", true, R"({"exception":{"message":"transport down"}})"},
      {"other", false, nullptr},
  };
  auto r = NewFake();
  TAnswers answers;
  for (const auto& c : cases) r->Request(answers.Make(c.Mode, Req(c.Mode, c.Mode)));
  // Everything queued before this has run on the worker.
  TDataSynchronizerTask::RunAndWait(r->Synchronizer(), nullptr);
  for (const auto& c : cases) {
    auto got = answers.Get(c.Mode);
    EXPECT_EQ(got.has_value(), c.Answered) << c.Mode;
    if (c.Answered && got) {
      EXPECT_EQ(*got, c.Answer) << c.Mode;
    }
  }
  EXPECT_EQ(answers.Reply("throw")->GetTypeName(), "exception");
  EXPECT_EQ(answers.Reply("packet")->GetTypeName(), "instant");
  EXPECT_EQ(r->PendingCount(), 0);
}

TEST(AsyncRequester, AnswerGoesToTheRequestWithThatId) {
  auto r = NewFake();
  r->SetRequestTimeOut(60000);
  TAnswers answers;
  r->Request(answers.Make("a", Req("a")));
  r->Request(answers.Make("b", Req("b")));
  ASSERT_TRUE(WaitFor([&] { return r->PendingCount() == 2; }));
  r->Answer(2, NewPacketOf("", Variant(5)));
  EXPECT_EQ(answers.Await("b"), "[5]");
  EXPECT_FALSE(answers.Get("a").has_value());
  EXPECT_EQ(r->PendingCount(), 1);
}

TEST(AsyncRequester, UnansweredRequestTimesOutWithAnErrorPacket) {
  auto r = NewFake();
  TAnswers answers;
  auto start = std::chrono::steady_clock::now();
  r->Request(answers.Make("slow", Req("slow")));
  ASSERT_TRUE(answers.Await("slow", 5000).has_value());
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(99));
  IPacketPtr reply = answers.Reply("slow");
  EXPECT_EQ(reply->GetTypeName(), "error");
  EXPECT_EQ(reply->GetProperty("message", Variant()).AsString(), "Timeout");
  // A late answer finds no entry any more.
  EXPECT_TRUE(WaitFor([&] { return r->PendingCount() == 0; }));
}

// Entries: 64 in flight, the 65th waits; cancelation and unknown ids are checked on the way.
TEST(AsyncRequester, AtMost64InFlightAndWaitingOnesGoInOrder) {
  auto counter = TAppStatRegistry::DynCounter("requests.test.unresolved");
  int64_t counted0 = counter->IVal();
  auto r = NewFake(counter);
  r->SetRequestTimeOut(60000);
  TAnswers answers;
  for (int i = 1; i <= 64; ++i) {
    std::string name = std::string("p").append(std::to_string(i));
    r->Request(answers.Make(name, Req(name)));
  }
  auto canceled = answers.Make("canceled", Req("canceled"));
  r->Request(canceled);
  r->Request(answers.Make("w66", Req("w66")));
  ASSERT_TRUE(WaitFor([&] { return r->PendingCount() == 64 && r->WaitingCount() == 2; }));
  canceled->Cancel();

  // Answers for ids that are not pending are counted and change nothing.
  r->Answer(7000, NewPacket());
  r->Answer(3, NewPacketOf("", Variant(3)));
  r->Answer(3, NewPacketOf("", Variant(33)));
  EXPECT_EQ(answers.Await("p3"), "[3]");
  // The canceled request is dropped unsent and unanswered; the next waiting one takes the slot.
  ASSERT_TRUE(WaitFor([&] { return r->WaitingCount() == 0 && r->PendingCount() == 64; }));
  std::vector<std::string> sent = r->Sent();
  ASSERT_EQ(sent.size(), 65u);
  EXPECT_EQ(sent.back(), "w66");
  EXPECT_FALSE(answers.Get("canceled").has_value());
  EXPECT_TRUE(WaitFor([&] { return counter->IVal() - counted0 == 2; }));
}

TEST(AsyncRequester, CanceledPendingRequestGetsNoTimeoutAnswer) {
  auto r = NewFake();
  TAnswers answers;
  auto req = answers.Make("c", Req("c"));
  r->SetRequestTimeOut(50);
  r->Request(req);
  ASSERT_TRUE(WaitFor([&] { return r->PendingCount() == 1; }));
  req->Cancel();
  ASSERT_TRUE(WaitFor([&] { return r->PendingCount() == 0; }));
  EXPECT_FALSE(answers.Get("c").has_value());
}

TEST(AsyncRequester, WaitQueueGivesMemoryBackOnceLessThanHalfFull) {
  auto r = NewFake();
  r->SetRequestTimeOut(300);
  TAnswers answers;
  // 64 requests that only time out hold the table while 2100 instant ones queue up.
  for (int i = 0; i < 64; ++i) r->Request(answers.Make("hold" + std::to_string(i), Req("h")));
  for (int i = 0; i < 2100; ++i)
    r->Request(answers.Make(std::string("q").append(std::to_string(i)), Req("q", "packet")));
  ASSERT_TRUE(WaitFor([&] { return r->WaitingCount() == 2100; }));
  EXPECT_GT(r->CapacityOnWorker(), 2100);
  ASSERT_TRUE(WaitFor([&] { return answers.Count() == 2164; }));
  EXPECT_EQ(r->WaitingCount(), 0);
  EXPECT_LE(r->CapacityOnWorker(), TCustomAsyncRequester::kWaitQueueCapacity);
}

TEST(AsyncRequester, DestroyReleasesPendingRequestsWithoutAnswers) {
  TAnswers answers;
  auto r = NewFake();
  r->SetRequestTimeOut(60000);
  for (int i = 0; i < 70; ++i) r->Request(answers.Make(std::string("r").append(std::to_string(i)), Req("r")));
  ASSERT_TRUE(WaitFor([&] { return r->PendingCount() == 64 && r->WaitingCount() == 6; }));
  auto start = std::chrono::steady_clock::now();
  r.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(answers.Count(), 0u);
}

TEST(AsyncRequester, PoolProxyIsDrivenByTheSharedTimer) {
  auto proxy = TSharedSynchronizersPool::NewSynchronizer("requests.test.pool", false);
  auto r = NewFake(nullptr, proxy);
  TAnswers answers;
  r->Request(answers.Make("t", Req("t")));
  r->Request(answers.Make("n", Req("n", "null")));
  EXPECT_EQ(answers.Await("n"), "<none>");
  // Only the timer's processing can time the request out on a proxy.
  ASSERT_TRUE(answers.Await("t", 5000).has_value());
  EXPECT_EQ(answers.Reply("t")->GetTypeName(), "error");
  r.reset();
  EXPECT_TRUE(proxy->IsFinalized());
}

}  // namespace
}  // namespace vexor
