#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "diagnostics/AppStats.h"

namespace vexor {
namespace {

class AppStatsTest : public ::testing::Test {
 protected:
  void SetUp() override { StartAppStats(); }
  void TearDown() override { StopAppStats(); }

  static bool Listed(const std::string& AName) {
    for (auto& rec : TAppStatRegistry::CheckData())
      if (rec.Name == AName) return true;
    return false;
  }
};

TEST_F(AppStatsTest, DynamicCountersLiveWhileHeld) {
  auto a = TAppStatRegistry::DynCounter("queue");
  auto b = TAppStatRegistry::DynCounter("QUEUE");  // names ignore the case of A-Z
  EXPECT_EQ(a.get(), b.get());
  a->Inc(5);
  EXPECT_TRUE(Listed("queue"));
  a = nullptr;
  EXPECT_EQ(b->IVal(), 5);
  b = nullptr;
  EXPECT_FALSE(Listed("queue"));
  EXPECT_EQ(TAppStatRegistry::DynCounter("queue")->IVal(), 0);
}

TEST_F(AppStatsTest, PersistentCountersLiveUntilDeleted) {
  TAppStatRegistry::Counter("kept", TStatVariant(int64_t(3)));
  EXPECT_TRUE(Listed("kept"));
  auto held = TAppStatRegistry::Counter("kept");
  EXPECT_EQ(held->IVal(), 3);
  TAppStatRegistry::Delete("kept");
  EXPECT_TRUE(Listed("kept"));  // still held here
  held = nullptr;
  EXPECT_FALSE(Listed("kept"));
}

TEST_F(AppStatsTest, ConcurrentUpdatesAndLookups) {
  auto total = TAppStatRegistry::DynCounter("total");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 5000; ++i) {
        TAppStatRegistry::DynCounter("total")->Inc(1);
        // Churn a counter nobody keeps: creation and removal race with each other.
        TAppStatRegistry::DynCounter("churn")->Inc(1);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(total->IVal(), 20000);
  EXPECT_FALSE(Listed("churn"));
}

TEST_F(AppStatsTest, ValueOperations) {
  auto c = TAppStatRegistry::DynCounter("ops");
  c->Val(int64_t(7));
  struct {
    bool Max;
    int64_t V;
    bool Changed;
    int64_t After;
  } cases[] = {{true, 5, false, 7}, {true, 9, true, 9}, {false, 10, false, 9}, {false, -2, true, -2}};
  for (auto& k : cases) {
    EXPECT_EQ(k.Max ? c->Max(k.V) : c->Min(k.V), k.Changed) << k.V;
    EXPECT_EQ(c->IVal(), k.After) << k.V;
  }
  EXPECT_TRUE(c->MaxInfo(100, TStatVariant(std::string("peak"))));
  TAppStatCounterRec rec;
  c->Snapshot(rec);
  EXPECT_EQ(std::get<std::string>(rec.Info), "peak");
  EXPECT_NE(rec.LastChecked, 0u);

  c->Val(TStatVariant(std::string("12")));
  c->Snapshot(rec);
  EXPECT_EQ(rec.StatType, stText);
  EXPECT_TRUE(c->Max(20));  // text turned into an integer first
  EXPECT_EQ(c->IVal(), 20);

  c->StartHighResTimer();
  c->StopHighResTimer();
  c->Snapshot(rec);
  EXPECT_EQ(rec.StatType, stTimerMs);
  EXPECT_GE(std::get<double>(rec.Value), 0.0);
  c->Inc(2);  // arithmetic on a floating-point value
  EXPECT_GE(std::get<double>(c->Val()), 2.0);
}

TEST_F(AppStatsTest, WithoutRegistryCountersAreTheDummy) {
  auto early = TAppStatRegistry::DynCounter("before");
  StopAppStats();
  EXPECT_FALSE(TAppStatRegistry::Available());
  auto dummy = TAppStatRegistry::DynCounter("lost");
  EXPECT_EQ(dummy->Name(), kDummyCounterName);
  EXPECT_EQ(TAppStatRegistry::Counter("other").get(), dummy.get());
  dummy->Inc(1);
  EXPECT_TRUE(TAppStatRegistry::CheckData().empty());
  early->Inc(1);  // a counter held past the registry's end stays usable
  EXPECT_EQ(early->IVal(), 1);
  StartAppStats();
  EXPECT_FALSE(Listed("lost"));
}

}  // namespace
}  // namespace vexor
