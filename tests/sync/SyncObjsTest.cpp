#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainThread.h"
#include "common/Wait.h"
#include "concurrency/SyncObjs.h"

namespace vexor {
namespace {


class SyncObjsTest : public ::testing::Test {
 protected:
  void SetUp() override { InitMainThread(); }
};

TEST_F(SyncObjsTest, CriticalSectionIsReentrantAndTimesOut) {
  TXCriticalSection cs("cs");
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter(0));  // re-entry
  EXPECT_TRUE(cs.IsLockedAndOwned());
  cs.Release();

  std::atomic<int> result{-1};
  std::thread other([&] {
    EXPECT_FALSE(cs.IsLockedAndOwned());
    result = cs.TryEnter(0) ? 1 : 0;
    bool timed = cs.TryEnter(20);  // still held: times out
    EXPECT_FALSE(timed);
  });
  other.join();
  EXPECT_EQ(result, 0);
  cs.Release();
  EXPECT_FALSE(cs.IsLockedAndOwned());

  std::thread taker([&] {
    EXPECT_TRUE(cs.TryEnter(1000));
    cs.Release();
  });
  taker.join();
  EXPECT_THROW(cs.Release(), Exception);  // not the owner
}

TEST_F(SyncObjsTest, MainThreadEnterServesCallsOfTheHolder) {
  // The worker holds the section and waits for the main thread; the main thread waits for the
  // section. Both must finish.
  TXCriticalSection cs("shared");
  std::atomic<bool> held{false}, ranOnMain{false};
  std::thread worker([&] {
    cs.Enter();
    held = true;
    SynchronizeMain([&] { ranOnMain = IsMainThread(); });
    cs.Release();
  });
  // Wait without serving, so that the worker's call is still pending when we try to enter.
  uint32_t start = GetTickCount32();
  while (!(held && PendingMainThreadCalls() > 0) && !TickElapsed(start, 10000)) std::this_thread::yield();
  ASSERT_TRUE(held);
  cs.Enter();  // unlimited: keeps serving the worker's call
  EXPECT_TRUE(ranOnMain);
  cs.Release();
  worker.join();
}

TEST_F(SyncObjsTest, IsAwaitedWhileAnotherThreadWaits) {
  TXCriticalSection cs;
  cs.Enter();
  std::thread waiter([&] {
    cs.Enter();
    cs.Release();
  });
  EXPECT_TRUE(testing::WaitFor([&] { return cs.IsAwaited(); }));
  cs.Release();
  waiter.join();
  EXPECT_FALSE(cs.IsAwaited());
}

TEST_F(SyncObjsTest, EventsAndSemaphore) {
  auto ev = MakeRef<TXLightweightEvent>(false, 10);
  EXPECT_EQ(ev->WaitFor(0), wrTimeout);
  EXPECT_EQ(ev->WaitFor(5), wrTimeout);
  std::thread setter([&] { ev->SetEvent(); });
  EXPECT_EQ(ev->WaitFor(INFINITE), wrSignaled);
  setter.join();
  EXPECT_EQ(ev->WaitFor(0), wrSignaled);  // manual reset: stays set
  ev->ResetEvent();
  EXPECT_EQ(ev->WaitFor(0), wrTimeout);

  TLightSemaphore sem(1);
  EXPECT_TRUE(sem.Acquire(0));
  EXPECT_FALSE(sem.Acquire(5));
  std::thread releaser([&] { sem.Release(2); });
  EXPECT_TRUE(sem.Acquire(INFINITE));
  releaser.join();
  EXPECT_EQ(sem.Count(), 1);
}

class TIntPtrVar : public TLockedVar<int*> {
 protected:
  bool Assigned(int* const& AVal) override { return AVal != nullptr; }
};

TEST_F(SyncObjsTest, LockedVar) {
  TIntPtrVar var;
  int* out = nullptr;
  EXPECT_FALSE(var.GetVar(out));
  EXPECT_FALSE(var.Access([](int*&) { FAIL(); }));
  int x = 7;
  var.SetVar(&x);
  EXPECT_TRUE(var.IsAssigned());
  int seen = 0;
  EXPECT_TRUE(var.Access([&](int*& AVal) { seen = *AVal; }));
  EXPECT_EQ(seen, 7);
  EXPECT_TRUE(var.GetAndClearVar(out));
  EXPECT_EQ(out, &x);
  EXPECT_FALSE(var.IsAssigned());
}

class IName : public virtual IInterface {
 public:
  virtual std::string Name() = 0;
};
class TName : public TRefCntObject, public IName {
 public:
  explicit TName(std::string AName) : FName(std::move(AName)) {}
  std::string Name() override { return FName; }

 private:
  std::string FName;
};

TEST_F(SyncObjsTest, SnapshotSurvivesChangesOfItsSource) {
  TInterfaceList<IName> list;
  for (auto n : {"a", "b", "c"}) list.Add(MakeRef<TName>(n));
  auto snap = TSafeInterfaceListEnumerator<IName>::SnapOf(list);
  std::string seen;
  snap->ForEach([&](const TRef<IName>& AItem) {
    list.Remove(AItem.get());  // callbacks may change the source
    seen += AItem->Name();
  });
  EXPECT_EQ(seen, "abc");
  EXPECT_EQ(list.Count(), 0);

  std::string until;
  snap->ForEachUntil([&](const TRef<IName>& AItem, bool& AStop) {
    until += AItem->Name();
    AStop = AItem->Name() == "b";
  });
  EXPECT_EQ(until, "ab");
  EXPECT_EQ(snap->FindFirst([](const TRef<IName>& AItem) { return AItem->Name() == "c"; })->Name(), "c");
  int total = 0;
  snap->ForEachIndexed([&](const TRef<IName>&, int ACount, int AIndex) { total += ACount * 10 + AIndex; });
  EXPECT_EQ(total, 30 + 31 + 32);
}

}  // namespace
}  // namespace vexor
