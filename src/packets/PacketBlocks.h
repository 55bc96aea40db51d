#pragma once
// Storage for packet objects. Packets come and go in numbers (one per property, a hundred
// thousand for a 2 MB text), so they are carved from 64 KiB chunks instead of one general
// allocation each.
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

// The largest object a block holds; larger requests go to the general allocator.
inline constexpr size_t kPacketBlockSize = 152;

void* AllocatePacketBlock();
void FreePacketBlock(void* ABlock) noexcept;

// Chunks that hold blocks or serve a thread as its current chunk (for leak checks; 0 when the
// blocks come from the general allocator).
int64_t PacketChunksInUse() noexcept;

}  // namespace vexor
