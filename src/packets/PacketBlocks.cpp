#include "packets/PacketBlocks.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "packets/internal/PacketsInternal.h"

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

constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kHeaderBytes = 64;
constexpr size_t kClasses = 2;
constexpr size_t kClassObjectBytes[kClasses] = {kPacketBlockSize, kLargePacketBlockSize};

struct TChunk;

// A slot is the owning chunk's address followed by the block handed out; a free slot keeps the
// next free slot of its chunk in the block.
struct TSlotHead {
  TChunk* Chunk;
};
constexpr size_t SlotBytes(size_t AClass) { return sizeof(TSlotHead) + kClassObjectBytes[AClass]; }

struct alignas(64) TChunk {
  // Every block not yet handed back, counted from the start: the chunk begins with all its slots
  // charged plus one for the owning thread. Blocks freed elsewhere subtract one each; when the
  // owner lets the chunk go it subtracts the slots it never handed out, those on its free list
  // and its own one. Whoever brings the count to zero disposes of the chunk.
  std::atomic<uint32_t> Refs;
  // Constant after construction.
  uint32_t Class;
  uint32_t Slots;
  // Owner thread only.
  uint32_t FreeCount = 0;
  uint32_t Used = 0;  // slots handed out from the fresh end
  void* Free = nullptr;

  char* SlotAt(uint32_t AIndex) noexcept {
    return reinterpret_cast<char*>(this) + kHeaderBytes + AIndex * SlotBytes(Class);
  }
};
static_assert(sizeof(TChunk) <= kHeaderBytes);

void*& NextFree(void* ABlock) noexcept { return *static_cast<void**>(ABlock); }

// Each thread's current chunk of each size and a few empty chunks kept for the next trees.
// Plain thread-local values, reached without the guard a thread-local object with a destructor
// needs on every use; tCleanup, made with the thread's first chunk, lets them go at its end.
constexpr unsigned kMaxSpare = 8;
struct TThreadChunks {
  TChunk* Current[kClasses];
  void* Spare[kMaxSpare];
  unsigned SpareCount;
};
TW_PROGRAM_TLS thread_local TThreadChunks tChunks;  // zero-initialized
// Set once the thread's state is gone (packets may still come and go in later thread-exit work).
TW_PROGRAM_TLS thread_local bool tChunksGone = false;

struct TThreadCleanup {
  ~TThreadCleanup();
};
thread_local TThreadCleanup tCleanup;

// Chunks holding blocks or being some thread's current one (spares not counted).
std::atomic<int64_t> gChunksInUse{0};

TChunk* NewChunk(uint32_t AClass) {
  void* mem = nullptr;
  if (!tChunksGone && tChunks.SpareCount)
    mem = tChunks.Spare[--tChunks.SpareCount];
  else
    mem = ::operator new (kChunkBytes, std::align_val_t{64});
  gChunksInUse.fetch_add(1, std::memory_order_relaxed);
  auto* c = new (mem) TChunk;
  c->Class = AClass;
  c->Slots = static_cast<uint32_t>((kChunkBytes - kHeaderBytes) / SlotBytes(AClass));
  c->Refs.store(c->Slots + 1, std::memory_order_relaxed);
  return c;
}

void DisposeChunk(TChunk* AChunk) noexcept {
  gChunksInUse.fetch_sub(1, std::memory_order_relaxed);
  AChunk->~TChunk();
  if (!tChunksGone && tChunks.SpareCount < kMaxSpare) {
    tChunks.Spare[tChunks.SpareCount++] = AChunk;
    return;
  }
  ::operator delete (static_cast<void*>(AChunk), std::align_val_t{64});
}

// The owner lets AChunk go: its blocks still out keep it alive.
void RetireChunk(TChunk* AChunk) noexcept {
  const uint32_t uncharge = (AChunk->Slots - AChunk->Used) + AChunk->FreeCount + 1;
  if (AChunk->Refs.fetch_sub(uncharge, std::memory_order_acq_rel) == uncharge) DisposeChunk(AChunk);
}

void* TakeSlot(TChunk* AChunk) noexcept {
  char* slot = AChunk->SlotAt(AChunk->Used++);
  reinterpret_cast<TSlotHead*>(slot)->Chunk = AChunk;
  return slot + sizeof(TSlotHead);
}

TThreadCleanup::~TThreadCleanup() {
  for (TChunk*& c : tChunks.Current)
    if (TChunk* current = std::exchange(c, nullptr)) RetireChunk(current);
  tChunksGone = true;
  while (tChunks.SpareCount) ::operator delete (tChunks.Spare[--tChunks.SpareCount], std::align_val_t{64});
}

void* AllocateFrom(uint32_t AClass) {
  if (tChunksGone) {
    // No thread state any more: a chunk for this one block, let go at once.
    TChunk* c = NewChunk(AClass);
    void* block = TakeSlot(c);
    RetireChunk(c);
    return block;
  }
  if (TChunk* c = tChunks.Current[AClass]) {
    if (void* block = c->Free) {
      c->Free = NextFree(block);
      --c->FreeCount;
      return block;
    }
    if (c->Used < c->Slots) return TakeSlot(c);
    tChunks.Current[AClass] = nullptr;
    RetireChunk(c);
  } else {
    (void)&tCleanup;  // the thread's first chunk: makes sure they are let go at thread exit
  }
  TChunk* c = tChunks.Current[AClass] = NewChunk(AClass);
  return TakeSlot(c);
}

void FreeToChunk(void* ABlock) noexcept {
  TChunk* c = reinterpret_cast<TSlotHead*>(static_cast<char*>(ABlock) - sizeof(TSlotHead))->Chunk;
  if (c == tChunks.Current[c->Class]) {
    NextFree(ABlock) = c->Free;
    c->Free = ABlock;
    ++c->FreeCount;
    return;
  }
  if (c->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) DisposeChunk(c);
}

}  // namespace

int64_t PacketChunksInUse() noexcept { return gChunksInUse.load(std::memory_order_relaxed); }

void* AllocatePacketBlock(size_t ABytes) {
  if (kPooled) {
    if (ABytes <= kPacketBlockSize) return AllocateFrom(0);
    if (ABytes <= kLargePacketBlockSize) return AllocateFrom(1);
  }
  return ::operator new(ABytes);
}

void FreePacketBlock(void* ABlock, size_t ABytes) noexcept {
  if (kPooled && ABytes <= kLargePacketBlockSize)
    FreeToChunk(ABlock);
  else
    ::operator delete(ABlock);
}

}  // namespace vexor
