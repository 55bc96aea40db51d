#include "PacketBlocks.h"

#include <atomic>
#include <cstdint>
#include <new>

namespace vexor {

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define TW_PACKET_BLOCKS_OFF 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TW_PACKET_BLOCKS_OFF 1
#endif
#endif
#ifdef TW_PACKET_BLOCKS_OFF
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif

struct TChunk;

// A block and the chunk it belongs to; the chunk pointer sits just before the object.
struct TSlot {
  TChunk* Chunk;
  union {
    TSlot* Next;  // while free on its owner's list
    alignas(8) unsigned char Object[kPacketBlockSize];
  };
};

constexpr uint32_t kChunkBytes = 64 * 1024;

struct alignas(64) TChunk {
  // Every block not yet handed back, counted from the start: the chunk begins with all its slots
  // charged plus one for the owning thread. Blocks freed elsewhere subtract one each; when the
  // owner lets the chunk go it subtracts the slots it never handed out, those on its free list
  // and its own one. Whoever brings the count to zero disposes of the chunk.
  std::atomic<uint32_t> Refs;
  // Owner thread only.
  TSlot* Free = nullptr;
  uint32_t FreeCount = 0;
  uint32_t Used = 0;  // slots handed out from the fresh end

  static constexpr uint32_t kSlots = (kChunkBytes - 64) / sizeof(TSlot);

  TSlot* Slots() noexcept { return reinterpret_cast<TSlot*>(reinterpret_cast<char*>(this) + 64); }
};
static_assert(sizeof(TChunk) <= 64);

// Each thread's current chunk and a few empty ones kept for the next trees.
struct TThreadBlocks {
  static constexpr unsigned kMaxSpare = 8;
  TChunk* Current = nullptr;
  TChunk* Spare[kMaxSpare];
  unsigned SpareCount = 0;
  ~TThreadBlocks();
};

// Set once the thread's state is gone (packets may still come and go in later thread-exit work).
thread_local bool tBlocksGone = false;
thread_local TThreadBlocks tBlocks;

TChunk* NewChunk() {
  void* mem = nullptr;
  if (!tBlocksGone && tBlocks.SpareCount)
    mem = tBlocks.Spare[--tBlocks.SpareCount];
  else
    mem = ::operator new(kChunkBytes, std::align_val_t{64});
  auto* c = new (mem) TChunk;
  c->Refs.store(TChunk::kSlots + 1, std::memory_order_relaxed);
  return c;
}

void DisposeChunk(TChunk* AChunk) noexcept {
  AChunk->~TChunk();
  if (!tBlocksGone && tBlocks.SpareCount < TThreadBlocks::kMaxSpare) {
    tBlocks.Spare[tBlocks.SpareCount++] = AChunk;
    return;
  }
  ::operator delete(AChunk, std::align_val_t{64});
}

// The owner lets AChunk go: its blocks still out keep it alive.
void RetireChunk(TChunk* AChunk) noexcept {
  const uint32_t uncharge = (TChunk::kSlots - AChunk->Used) + AChunk->FreeCount + 1;
  if (AChunk->Refs.fetch_sub(uncharge, std::memory_order_acq_rel) == uncharge) DisposeChunk(AChunk);
}

void* TakeSlot(TChunk* AChunk) noexcept {
  TSlot* s = AChunk->Slots() + AChunk->Used++;
  s->Chunk = AChunk;
  return s->Object;
}

TThreadBlocks::~TThreadBlocks() {
  if (Current) RetireChunk(Current);
  Current = nullptr;
  tBlocksGone = true;
  while (SpareCount) ::operator delete(Spare[--SpareCount], std::align_val_t{64});
}

TSlot* SlotOf(void* ABlock) noexcept {
  return reinterpret_cast<TSlot*>(static_cast<char*>(ABlock) - offsetof(TSlot, Object));
}

}  // namespace

void* AllocatePacketBlock() {
  if constexpr (!kPooled) return ::operator new(kPacketBlockSize);
  if (tBlocksGone) {
    // No thread state any more: a chunk for this one block, let go at once.
    TChunk* c = NewChunk();
    void* block = TakeSlot(c);
    RetireChunk(c);
    return block;
  }
  TThreadBlocks& t = tBlocks;
  if (TChunk* c = t.Current) {
    if (TSlot* s = c->Free) {
      c->Free = s->Next;
      --c->FreeCount;
      return s->Object;
    }
    if (c->Used < TChunk::kSlots) return TakeSlot(c);
    t.Current = nullptr;
    RetireChunk(c);
  }
  t.Current = NewChunk();
  return TakeSlot(t.Current);
}

void FreePacketBlock(void* ABlock) noexcept {
  if constexpr (!kPooled) return ::operator delete(ABlock);
  TSlot* s = SlotOf(ABlock);
  TChunk* c = s->Chunk;
  if (!tBlocksGone && c == tBlocks.Current) {
    s->Next = c->Free;
    c->Free = s;
    ++c->FreeCount;
    return;
  }
  if (c->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) DisposeChunk(c);
}

}  // namespace vexor
