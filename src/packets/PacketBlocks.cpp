#include "PacketBlocks.h"
#include "PacketsInternal.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

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

// Each thread's current chunk and a few empty ones kept for the next trees. Plain thread-local
// values, reached without the guard a thread-local object with a destructor needs on every use;
// tCleanup, made with the thread's first chunk, lets them go when the thread ends.
constexpr unsigned kMaxSpare = 8;
TW_PROGRAM_TLS thread_local TChunk* tCurrent = nullptr;
TW_PROGRAM_TLS thread_local TChunk* tSpare[kMaxSpare];
TW_PROGRAM_TLS thread_local unsigned tSpareCount = 0;
// Set once the thread's state is gone (packets may still come and go in later thread-exit work).
TW_PROGRAM_TLS thread_local bool tBlocksGone = false;

struct TThreadCleanup {
  ~TThreadCleanup();
};
thread_local TThreadCleanup tCleanup;

// Chunks holding blocks or being some thread's current one (spares not counted).
std::atomic<int64_t> gChunksInUse{0};

TChunk* NewChunk() {
  void* mem = nullptr;
  if (!tBlocksGone && tSpareCount)
    mem = tSpare[--tSpareCount];
  else
    mem = ::operator new(kChunkBytes, std::align_val_t{64});
  gChunksInUse.fetch_add(1, std::memory_order_relaxed);
  auto* c = new (mem) TChunk;
  c->Refs.store(TChunk::kSlots + 1, std::memory_order_relaxed);
  return c;
}

void DisposeChunk(TChunk* AChunk) noexcept {
  gChunksInUse.fetch_sub(1, std::memory_order_relaxed);
  AChunk->~TChunk();
  if (!tBlocksGone && tSpareCount < kMaxSpare) {
    tSpare[tSpareCount++] = AChunk;
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

TThreadCleanup::~TThreadCleanup() {
  if (TChunk* c = std::exchange(tCurrent, nullptr)) RetireChunk(c);
  tBlocksGone = true;
  while (tSpareCount) ::operator delete(tSpare[--tSpareCount], std::align_val_t{64});
}

TSlot* SlotOf(void* ABlock) noexcept {
  return reinterpret_cast<TSlot*>(static_cast<char*>(ABlock) - offsetof(TSlot, Object));
}

}  // namespace

int64_t PacketChunksInUse() noexcept { return gChunksInUse.load(std::memory_order_relaxed); }

void* AllocatePacketBlock() {
  if constexpr (!kPooled) return ::operator new(kPacketBlockSize);
  if (tBlocksGone) {
    // No thread state any more: a chunk for this one block, let go at once.
    TChunk* c = NewChunk();
    void* block = TakeSlot(c);
    RetireChunk(c);
    return block;
  }
  if (TChunk* c = tCurrent) {
    if (TSlot* s = c->Free) {
      c->Free = s->Next;
      --c->FreeCount;
      return s->Object;
    }
    if (c->Used < TChunk::kSlots) return TakeSlot(c);
    tCurrent = nullptr;
    RetireChunk(c);
  } else {
    (void)&tCleanup;  // the thread's first chunk: makes sure it is let go at thread exit
  }
  tCurrent = NewChunk();
  return TakeSlot(tCurrent);
}

void FreePacketBlock(void* ABlock) noexcept {
  if constexpr (!kPooled) return ::operator delete(ABlock);
  TSlot* s = SlotOf(ABlock);
  TChunk* c = s->Chunk;
  if (c == tCurrent) {
    s->Next = c->Free;
    c->Free = s;
    ++c->FreeCount;
    return;
  }
  if (c->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) DisposeChunk(c);
}

}  // namespace vexor
