#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Exceptions.h"
#include "containers/IndexList.h"
#include "containers/ObjectList.h"

namespace vexor {
namespace {

// Counts live instances so that ownership mistakes show up as wrong counts.
struct TItem {
  static inline int Live = 0;
  explicit TItem(int AKey, std::string AName = "") : Key(AKey), Name(std::move(AName)) { ++Live; }
  ~TItem() { --Live; }
  int Key;
  std::string Name;
};

class TItemIndex : public TIntIndex<TItem> {
 public:
  using TIntIndex<TItem>::TIntIndex;
  int32_t _Value(TItem* AObject) override { return AObject->Key; }
};

class TNameIndex : public TStrIndex<TItem> {
 public:
  using TStrIndex<TItem>::TStrIndex;
  std::string _Value(TItem* AObject) override { return AObject->Name; }
};

std::vector<int> Keys(TItemIndex& AList) {
  std::vector<int> keys;
  for (TItem* item : AList) keys.push_back(item->Key);
  return keys;
}

class IndexListTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(TItem::Live, 0); }
};

TEST_F(IndexListTest, KeepsKeyOrderAndReportsInsertionPosition) {
  TItemIndex list(true);
  for (int k : {5, 1, 3}) list.Add(new TItem(k));
  EXPECT_EQ(Keys(list), (std::vector<int>{1, 3, 5}));

  int ix = -1;
  EXPECT_FALSE(list.Find(4, ix));
  EXPECT_EQ(ix, 2);
  EXPECT_TRUE(list.Find(5, ix));
  EXPECT_EQ(ix, 2);
  EXPECT_FALSE(list.Find(9, ix));
  EXPECT_EQ(ix, 3);
  TItem* found = nullptr;
  EXPECT_TRUE(list.TryGetValue(3, found));
  EXPECT_EQ(found->Key, 3);
  EXPECT_THROW(list.Items(3), Exception);
}

TEST_F(IndexListTest, DuplicateModes) {
  TItem dup(3);
  {
    TItemIndex list(true);
    for (int k : {5, 1, 3}) list.Add(new TItem(k));
    EXPECT_EQ(list.Add(&dup), -1);  // refused and left to its owner
    EXPECT_EQ(list.Count(), 3);
  }
  {
    TItemIndex list(false);
    list.SetDuplicates(dupError);
    list.Add(new TItem(3));
    try {
      list.Add(&dup);
      FAIL() << "no error";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Attempt to add duplicate object!");
    }
    EXPECT_EQ(list.Count(), 1);
    delete list.ExtractByIndex(0);
  }
  {
    TItemIndex list(false);
    list.SetDuplicates(dupAccept);
    std::vector<std::unique_ptr<TItem>> items;
    for (int k : {3, 5, 3, 1, 3}) {
      items.push_back(std::make_unique<TItem>(k));
      list.Add(items.back().get());
    }
    int ix = -1, len = -1;
    ASSERT_TRUE(list.Find(3, ix, len));
    EXPECT_EQ(ix, 1);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(list.Remove(3), 3);
    EXPECT_EQ(Keys(list), (std::vector<int>{1, 5}));
  }
}

TEST_F(IndexListTest, OwnershipOnDeleteRemoveExtractAndClear) {
  TItemIndex list(true);
  for (int k = 0; k < 5; ++k) list.Add(new TItem(k));
  list.Delete(0);
  EXPECT_EQ(TItem::Live, 4);
  std::unique_ptr<TItem> extracted(list.ExtractByIndex(0));
  EXPECT_EQ(extracted->Key, 1);
  EXPECT_EQ(TItem::Live, 4);
  list.Remove(list.Items(0));
  EXPECT_EQ(TItem::Live, 3);
  list.Clear();
  EXPECT_EQ(TItem::Live, 1);
}

TEST_F(IndexListTest, RemoveByObjectTakesOnlyThatObject) {
  // Past 100 items removal searches by key; an equal key on another object must not be hit.
  TItemIndex list(false);
  std::vector<std::unique_ptr<TItem>> items;
  for (int k = 0; k < 150; ++k) {
    items.push_back(std::make_unique<TItem>(k));
    list.Add(items.back().get());
  }
  TItem stranger(42);
  EXPECT_EQ(list.Remove(&stranger), -1);
  EXPECT_EQ(list.Count(), 150);
  EXPECT_EQ(list.Remove(items[42].get()), 42);
  int ix;
  EXPECT_FALSE(list.Find(42, ix));
  EXPECT_EQ(list.Count(), 149);
}

TEST_F(IndexListTest, BulkModeAppendsAndSortsOnce) {
  TItemIndex list(true);
  list.BeginUpdate();
  list.BeginUpdate();  // nested
  for (int k = 999; k >= 0; --k) list.Add(new TItem(k));
  EXPECT_FALSE(list.IndexValid());
  list.EndUpdate();
  EXPECT_EQ(list.BuildCount(), 0);
  EXPECT_THROW(list.Remove(5), Exception);
  list.EndUpdate();
  EXPECT_EQ(list.BuildCount(), 1);
  EXPECT_TRUE(list.IndexValid());
  for (int k = 0; k < 1000; ++k) ASSERT_EQ(list.Items(k)->Key, k);

  // A lookup during bulk mode sorts first and still finds its item.
  list.BeginUpdate();
  list.Add(new TItem(-7));
  int ix = -1;
  EXPECT_TRUE(list.Find(-7, ix));
  EXPECT_EQ(ix, 0);
  list.EndUpdate();
  EXPECT_EQ(list.BuildCount(), 1);
}

TEST_F(IndexListTest, TextKeysIgnoreCaseOfAsciiLettersOnly) {
  TNameIndex list(true);
  list.Add(new TItem(1, "abc"));
  list.Add(new TItem(2, "\xC3\xA4"));  // a-umlaut: not folded
  int ix;
  EXPECT_TRUE(list.Find(std::string("ABC"), ix));
  EXPECT_FALSE(list.Find(std::string("\xC3\x84"), ix));  // A-umlaut
  list.SetCaseSensitive(true);
  list.Rebuild();
  EXPECT_FALSE(list.Find(std::string("ABC"), ix));
  EXPECT_TRUE(list.Find(std::string("abc"), ix));
}

TEST_F(IndexListTest, KeyFunctionAndOnValue) {
  TIntIndex<TItem> bare(true);
  TItem item(1);
  try {
    bare.Add(&item);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Function _Value must be overriden or OnGetValue must be set.");
  }
  bare.SetOnGetValue([](TIndexList<int32_t, TItem>&, TItem* AItem) { return AItem->Key * 10; });

  EXPECT_FALSE(bare.OnValue(20, nullptr, [] { return nullptr; }));  // nil: nothing added
  EXPECT_EQ(bare.Count(), 0);
  EXPECT_FALSE(bare.OnValue(20, nullptr, [] { return new TItem(2); }));
  int seen = 0;
  EXPECT_TRUE(bare.OnValue(
      20, [&](TItem* AItem) { seen = AItem->Key; }, nullptr));
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(bare.FindValue([](TItem* AItem) { return AItem->Key == 2; })->Key, 2);
}

TEST_F(IndexListTest, LockedOnValueIsAtomicAcrossThreads) {
  TItemIndex list(true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int k = 0; k < 200; ++k) list.OnValue(k, nullptr, [k] { return new TItem(k); });
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(list.Count(), 200);
  EXPECT_EQ(TItem::Live, 200);
}

TEST_F(IndexListTest, RemoveLockingDropsTheLock) {
  TItemIndex list(true);
  EXPECT_TRUE(list.HasLock());
  list.RemoveLocking();
  EXPECT_FALSE(list.HasLock());
  list.Lock();  // no-op now
  list.Add(new TItem(1));
  list.Unlock();
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(IndexListTest, BuildIndexFromObjectList) {
  TObjectList<TItem> source(true);
  for (int k : {4, 2, 9}) source.Add(new TItem(k));
  source.Sort([](TItem* A, TItem* B) { return B->Key - A->Key; });
  EXPECT_EQ(source[0]->Key, 9);
  TItemIndex index(false);
  index.BuildIndex(source);
  EXPECT_EQ(Keys(index), (std::vector<int>{2, 4, 9}));
}

// An owning list rebuilt from its own items (or from items it partly holds) keeps them alive;
// only the items that do not come back are destroyed. The live count shows both.
TEST_F(IndexListTest, OwningListRebuiltFromItsOwnItemsKeepsThem) {
  TItemIndex list(true);
  for (int k : {3, 1, 2}) list.Add(new TItem(k));
  list.BuildIndex(list);
  EXPECT_EQ(Keys(list), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(TItem::Live, 3);

  std::vector<TItem*> overlap{list[2], new TItem(7)};  // keeps 3, drops 1 and 2, adds 7
  list.BuildIndex(overlap);
  EXPECT_EQ(Keys(list), (std::vector<int>{3, 7}));
  EXPECT_EQ(TItem::Live, 2);
}

}  // namespace
}  // namespace vexor
