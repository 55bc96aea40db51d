#pragma once
// Byte streams of the raw encoding: the stream interface and the memory stream a raw packet
// keeps its bytes in. Threads: not synchronized; one thread at a time per stream. A view reads
// bytes its source no longer changes, so a source and its views may be used on different threads
// (their block's count is atomic).
#include <cstdint>

#include "platform/Exceptions.h"

namespace vexor {

// Short reads of raw data and writes into read-only buffers.
class EPacketError : public Exception {
 public:
  using Exception::Exception;
};

// A byte stream with a position. Read returns the count actually read; Write raises when it
// cannot write everything.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual int64_t Read(void* AData, int64_t ACount) = 0;
  virtual void Write(const void* AData, int64_t ACount) = 0;
  virtual int64_t Position() const = 0;
  virtual void SetPosition(int64_t APos) = 0;
  virtual int64_t Size() const = 0;
  virtual void SetSize(int64_t ASize) = 0;
};

// Memory stream of a raw packet. Owns a counted block of bytes, or views part of another stream's
// block (read-only). Capacity is a multiple of 32 bytes below 1 KiB, of 512 below 4 KiB and of
// 8 KiB beyond; growing at least doubles it (adds a quarter past 64 KiB), so buffers filled by
// many small writes fill in linear time. A failed growth raises "Out of memory while expanding
// memory stream".
class TPacketMemoryStream final : public TStream {
 public:
  TPacketMemoryStream() noexcept = default;
  // Exactly ASize zero bytes.
  explicit TPacketMemoryStream(int64_t ASize);
  TPacketMemoryStream(const TPacketMemoryStream&) = delete;
  TPacketMemoryStream& operator=(const TPacketMemoryStream&) = delete;
  ~TPacketMemoryStream() override;

  // Makes this stream a read-only view of ALen bytes of ASource from AOffset (no copy).
  void ViewOf(const TPacketMemoryStream& ASource, int64_t AOffset, int64_t ALen);
  // Takes over another owning stream's bytes; AOther is left empty.
  void TakeOver(TPacketMemoryStream& AOther) noexcept;

  int64_t Read(void* AData, int64_t ACount) override;
  void Write(const void* AData, int64_t ACount) override;
  int64_t Position() const override { return FPosition; }
  void SetPosition(int64_t APos) override { FPosition = APos < 0 ? 0 : APos; }
  int64_t Size() const override { return FSize; }
  void SetSize(int64_t ASize) override;

  bool ReadOnly() const noexcept { return FReadOnly; }
  // Bytes writable without growing (0 for a view).
  int64_t Capacity() const noexcept;
  // Grows the capacity to at least ACapacity (no effect on a view).
  void Reserve(int64_t ACapacity);
  const uint8_t* Memory() const noexcept { return FMemory; }
  int64_t Remaining() const noexcept { return FPosition < FSize ? FSize - FPosition : 0; }
  // Memory writable up to AEnd bytes (capacity grown, bytes unshared); raises on a view.
  uint8_t* WritableUpTo(int64_t AEnd);
  // After writing up to AEnd: position AEnd, size at least AEnd.
  void CommitWrite(int64_t AEnd) noexcept {
    FPosition = AEnd;
    if (AEnd > FSize) FSize = AEnd;
  }

 private:
  struct TBlock;
  // Guarded by the one-thread-at-a-time rule; FBlock may be shared with views (atomic count).
  TBlock* FBlock = nullptr;
  uint8_t* FMemory = nullptr;
  int64_t FSize = 0;
  int64_t FPosition = 0;
  bool FReadOnly = false;

  void SetCapacity(int64_t ACapacity);
  void ReleaseBlock() noexcept;
};

}  // namespace vexor
