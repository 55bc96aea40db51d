#include "packets/raw/PacketMemoryStream.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "packets/internal/RawFormat.h"

namespace vexor {

struct TPacketMemoryStream::TBlock {
  std::atomic<int32_t> Refs;
  int64_t Capacity;
  uint8_t* Bytes() noexcept { return reinterpret_cast<uint8_t*>(this + 1); }
};

TPacketMemoryStream::TPacketMemoryStream(int64_t ASize) {
  if (ASize > 0) {
    SetCapacity(ASize);
    std::memset(FMemory, 0, static_cast<size_t>(ASize));
    FSize = ASize;
  }
}

TPacketMemoryStream::~TPacketMemoryStream() { ReleaseBlock(); }

void TPacketMemoryStream::ReleaseBlock() noexcept {
  if (FBlock && FBlock->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) std::free(FBlock);
  FBlock = nullptr;
  FMemory = nullptr;
}

int64_t TPacketMemoryStream::Capacity() const noexcept {
  if (FReadOnly || !FBlock) return 0;
  return FBlock->Capacity;
}

void TPacketMemoryStream::SetCapacity(int64_t ACapacity) {
  if (ACapacity > kMaxStreamSize) throw Exception(kErrOutOfMemory);
  // Growing at least doubles the buffer (by a quarter past 64 KiB), so that filling one by many
  // small writes stays linear; the steps keep small buffers small.
  if (FBlock && ACapacity > FBlock->Capacity)
    ACapacity = std::max(ACapacity,
                         FBlock->Capacity < 65536 ? FBlock->Capacity * 2 : FBlock->Capacity + FBlock->Capacity / 4);
  const int64_t step = ACapacity < 1024 ? 32 : ACapacity < 4096 ? 512 : 8192;
  ACapacity = std::min<int64_t>((ACapacity + step - 1) / step * step, kMaxStreamSize);
  const size_t bytes = sizeof(TBlock) + static_cast<size_t>(ACapacity);
  TBlock* b;
  if (FBlock && FBlock->Refs.load(std::memory_order_acquire) == 1) {
    b = static_cast<TBlock*>(std::realloc(FBlock, bytes));
    if (!b) throw Exception(kErrOutOfMemory);
  } else {
    b = static_cast<TBlock*>(std::malloc(bytes));
    if (!b) throw Exception(kErrOutOfMemory);
    new (&b->Refs) std::atomic<int32_t>(1);
    if (FSize > 0) std::memcpy(b->Bytes(), FMemory, static_cast<size_t>(std::min(FSize, ACapacity)));
    ReleaseBlock();
  }
  b->Capacity = ACapacity;
  FBlock = b;
  FMemory = b->Bytes();
  if (FSize > ACapacity) FSize = ACapacity;
}

uint8_t* TPacketMemoryStream::WritableUpTo(int64_t AEnd) {
  if (FReadOnly) throw EPacketError(kErrReadOnly);
  if (!FBlock || AEnd > FBlock->Capacity || FBlock->Refs.load(std::memory_order_acquire) != 1)
    SetCapacity(std::max(AEnd, FBlock ? FBlock->Capacity : 0));
  if (FPosition > FSize) {
    // Written past the end: the gap holds zeros, never old memory.
    std::memset(FMemory + FSize, 0, static_cast<size_t>(FPosition - FSize));
    FSize = FPosition;
  }
  return FMemory;
}

void TPacketMemoryStream::Reserve(int64_t ACapacity) {
  if (!FReadOnly && (!FBlock || ACapacity > FBlock->Capacity)) SetCapacity(ACapacity);
}

void TPacketMemoryStream::ViewOf(const TPacketMemoryStream& ASource, int64_t AOffset, int64_t ALen) {
  TBlock* b = ASource.FBlock;
  if (b) b->Refs.fetch_add(1, std::memory_order_relaxed);
  ReleaseBlock();
  FBlock = b;
  FMemory = ASource.FMemory ? const_cast<uint8_t*>(ASource.FMemory) + AOffset : nullptr;
  FSize = ALen;
  FPosition = 0;
  FReadOnly = true;
}

void TPacketMemoryStream::TakeOver(TPacketMemoryStream& AOther) noexcept {
  ReleaseBlock();
  FBlock = std::exchange(AOther.FBlock, nullptr);
  FMemory = std::exchange(AOther.FMemory, nullptr);
  FSize = std::exchange(AOther.FSize, 0);
  FPosition = std::exchange(AOther.FPosition, 0);
  FReadOnly = std::exchange(AOther.FReadOnly, false);
}

int64_t TPacketMemoryStream::Read(void* AData, int64_t ACount) {
  int64_t n = std::min(ACount, Remaining());
  if (n <= 0) return 0;
  std::memcpy(AData, FMemory + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

void TPacketMemoryStream::Write(const void* AData, int64_t ACount) {
  if (ACount <= 0) return;
  uint8_t* m = WritableUpTo(FPosition + ACount);
  std::memcpy(m + FPosition, AData, static_cast<size_t>(ACount));
  CommitWrite(FPosition + ACount);
}

void TPacketMemoryStream::SetSize(int64_t ASize) {
  if (ASize < 0) ASize = 0;
  if (FReadOnly) {
    // A view's bytes are borrowed: it can only shrink.
    if (ASize > FSize) throw EPacketError(kErrReadOnly);
  } else if (ASize > FSize) {
    uint8_t* m = WritableUpTo(ASize);
    std::memset(m + FSize, 0, static_cast<size_t>(ASize - FSize));
  } else if (FBlock && FBlock->Capacity > 1024 && ASize < FBlock->Capacity / 4 &&
             FBlock->Refs.load(std::memory_order_acquire) == 1) {
    FSize = ASize;
    SetCapacity(ASize);
  }
  FSize = ASize;
  if (FPosition > FSize) FPosition = FSize;
}

}  // namespace vexor
