// Packet block pool: blocks cross threads, threads end while their blocks live on, and chunks go
// back once their last block does. Run under the thread sanitizer too (the pool stays on there).
#include <gtest/gtest.h>

#include <barrier>
#include <cstring>
#include <thread>
#include <vector>

#include "packets/PacketBlocks.h"
#include "packets/json/PacketConversions.h"

using namespace vexor;

namespace {

// Block i has the large size when i is even, the small one when odd.
size_t BlockBytes(size_t AIndex) { return AIndex % 2 ? kPacketBlockSize : kLargePacketBlockSize; }

// Blocks filled with a pattern, so a block handed out twice shows up as a changed pattern.
std::vector<void*> TakeBlocks(size_t ACount, unsigned char APattern) {
  std::vector<void*> blocks;
  for (size_t i = 0; i < ACount; ++i) {
    const size_t bytes = BlockBytes(i);
    void* b = AllocatePacketBlock(bytes);
    std::memset(b, APattern, bytes);
    blocks.push_back(b);
  }
  return blocks;
}

void FreeBlocks(const std::vector<void*>& ABlocks) {
  for (size_t i = 0; i < ABlocks.size(); ++i) FreePacketBlock(ABlocks[i], BlockBytes(i));
}

void ExpectPattern(const std::vector<void*>& ABlocks, unsigned char APattern) {
  for (void* b : ABlocks) {
    const auto* bytes = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < kPacketBlockSize; ++i) ASSERT_EQ(bytes[i], APattern);
  }
}

// Several chunks' worth.
constexpr size_t kMany = 3000;

TEST(PacketBlocksTest, BlocksFreedOnAnotherThreadAfterTheirThreadEnded) {
  const int64_t before = PacketChunksInUse();
  std::vector<void*> blocks;
  std::thread maker([&] { blocks = TakeBlocks(kMany, 0xA5); });
  maker.join();
  // The maker's thread is gone; its blocks stay valid and distinct.
  std::vector<void*> mine = TakeBlocks(kMany, 0x5A);
  ExpectPattern(blocks, 0xA5);
  FreeBlocks(blocks);
  ExpectPattern(mine, 0x5A);
  FreeBlocks(mine);
  // Only this thread's current chunks (one per size) may remain.
  EXPECT_LE(PacketChunksInUse() - before, 2);
}

TEST(PacketBlocksTest, ThreadsFreeEachOthersBlocksConcurrently) {
  const int64_t before = PacketChunksInUse();
  std::vector<void*> mine, theirs;
  std::barrier taken(2);
  // Once both sets exist, each thread frees the other's blocks while the other takes new ones.
  auto freeOthersAndTakeAgain = [&](const std::vector<void*>& AOthers, unsigned char APattern) {
    taken.arrive_and_wait();
    FreeBlocks(AOthers);
    std::vector<void*> again = TakeBlocks(kMany, APattern);
    ExpectPattern(again, APattern);
    FreeBlocks(again);
  };
  std::thread other([&] {
    theirs = TakeBlocks(kMany, 2);
    freeOthersAndTakeAgain(mine, 4);
  });
  mine = TakeBlocks(kMany, 1);
  freeOthersAndTakeAgain(theirs, 3);
  other.join();
  // Only this thread's current chunks (one per size) may remain.
  EXPECT_LE(PacketChunksInUse() - before, 2);
}

TEST(PacketBlocksTest, PacketTreesLiveOnAfterTheThreadThatReadThem) {
  const int64_t before = PacketChunksInUse();
  std::string text = "{\"items\":[";
  for (int i = 0; i < 2000; ++i) text.append(i ? "," : "").append("{\"n\":").append(std::to_string(i)).append("}");
  text += "]}";
  IPacketPtr tree;
  std::thread reader([&] { tree = TPacketConversions::PacketFromJSON(text); });
  reader.join();
  EXPECT_EQ(TPacketConversions::PacketAsJSON(tree), text);
  tree = nullptr;
  EXPECT_LE(PacketChunksInUse() - before, 2);
}

}  // namespace
