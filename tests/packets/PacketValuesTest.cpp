#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "packets/PacketValues.h"
#include "packets/Packets.h"

using namespace vexor;

namespace {

std::string Texts(const TPacketValues& AValues) {
  std::string r;
  for (const Variant& v : AValues) r += v.AsString() + ";";
  return r;
}

// Long texts live on the heap, so a value copied from a slot that moved away would show.
const std::string kLong = "a text too long for the short-string buffer";

TEST(PacketValuesTest, GrowsFromTheInlineSlotAndKeepsValuesWhenAppendingItsOwn) {
  TPacketValues v;
  v.push_back(Variant(kLong));
  // Each append below copies a value of the list itself while the list moves to a larger store.
  v.push_back(v[0]);
  v.push_back(v.back());
  v.emplace_back(v.front());
  v.push_back(v[1]);
  EXPECT_EQ(v.size(), 5u);
  for (const Variant& x : v) EXPECT_EQ(x.AsString(), kLong);
  v.insert(v.begin(), v[4]);
  EXPECT_EQ(v.size(), 6u);
  EXPECT_EQ(v[0].AsString(), kLong);
}

TEST(PacketValuesTest, EraseInsertAssignAndMovesKeepOrder) {
  TPacketValues v;
  for (int i = 0; i < 6; ++i) v.push_back(Variant(i));
  v.erase(v.begin() + 1);
  v.erase(v.begin() + 2, v.begin() + 4);
  EXPECT_EQ(Texts(v), "0;2;5;");
  const Variant more[] = {Variant(7), Variant(8)};
  v.insert(v.begin() + 1, std::begin(more), std::end(more));
  EXPECT_EQ(Texts(v), "0;7;8;2;5;");

  TPacketValues heap(v), single;
  single.push_back(Variant(kLong));
  TPacketValues movedHeap(std::move(heap)), movedSingle(std::move(single));
  EXPECT_EQ(Texts(movedHeap), "0;7;8;2;5;");
  EXPECT_EQ(movedSingle.size(), 1u);
  EXPECT_EQ(movedSingle[0].AsString(), kLong);
  EXPECT_TRUE(heap.empty());
  EXPECT_TRUE(single.empty());

  movedHeap = movedSingle;
  EXPECT_EQ(movedHeap[0].AsString(), kLong);
  movedSingle.assign(v.begin() + 3, v.end());
  EXPECT_EQ(Texts(movedSingle), "2;5;");
  movedSingle.clear();
  EXPECT_TRUE(movedSingle.empty());
  movedSingle.push_back(Variant(1));
  EXPECT_EQ(Texts(movedSingle), "1;");
}

TEST(PacketValuesTest, ReleasingAListReleasesItsPackets) {
  IPacketPtr child = NewPacket("child");
  {
    TPacketValues v;
    v.push_back(Variant(child));
    v.push_back(Variant(child));
    EXPECT_EQ(child->RefCount(), 3);
    v.erase(v.begin());
    EXPECT_EQ(child->RefCount(), 2);
  }
  EXPECT_EQ(child->RefCount(), 1);
}

}  // namespace
