#pragma once
// Storage for packets and the small things they hold. Packets come and go in numbers (one per
// property, a hundred thousand for a 2 MB text), so they, their value lists and their texts are
// carved from 64 KiB chunks of equal blocks (two sizes) instead of one general allocation each.
//
// Guarantees:
// - AllocatePacketBlock and FreePacketBlock may be called on any thread; a block may be freed on
//   another thread than the one that allocated it.
// - Each thread allocates from its own current chunk without atomic operations or locks; a block
//   freed on the thread that owns its chunk is reused at once, a block freed elsewhere returns
//   to its chunk's count and the chunk goes back to the system (or to a small per-thread spare
//   list) when its last block is freed.
// - A chunk lives as long as any of its blocks: one long-lived packet keeps at most one chunk.
// - Under the address sanitizer blocks come from the general allocator, so it sees every packet
//   come and go.
#include <cstddef>
#include <cstdint>

namespace vexor {

// The two block sizes: a packet, or a list of up to four values, fits the small one; a list of
// up to ten values the large one. Larger requests go to the general allocator.
inline constexpr size_t kPacketBlockSize = 96;
inline constexpr size_t kLargePacketBlockSize = 240;

// ABytes must be the same for a block's allocation and its release.
void* AllocatePacketBlock(size_t ABytes);
void FreePacketBlock(void* ABlock, size_t ABytes) noexcept;

// An allocator over the blocks, for standard containers and shared pointers of packet data.
template <class T>
struct TPacketBlockAllocator {
  using value_type = T;
  TPacketBlockAllocator() noexcept = default;
  template <class U>
  TPacketBlockAllocator(const TPacketBlockAllocator<U>&) noexcept {}
  T* allocate(size_t ACount) { return static_cast<T*>(AllocatePacketBlock(ACount * sizeof(T))); }
  void deallocate(T* APtr, size_t ACount) noexcept { FreePacketBlock(APtr, ACount * sizeof(T)); }
  template <class U>
  bool operator==(const TPacketBlockAllocator<U>&) const noexcept {
    return true;
  }
};

// Chunks that hold blocks or serve a thread as its current chunk (for leak checks; 0 when the
// blocks come from the general allocator).
int64_t PacketChunksInUse() noexcept;

}  // namespace vexor
