#pragma once
// The raw stream's writer: encodes values straight into a memory stream's buffer. One encoder at a
// time per stream, on the thread that owns the stream.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "packets/Packets.h"
#include "packets/internal/RawFormat.h"
#include "packets/raw/PacketMemoryStream.h"

namespace vexor {

// Encodes values straight into a memory stream's buffer from its position; the position and
// size follow what was written, also when a value is rejected half-way.
class TEncoder {
 public:
  TEncoder(TPacketMemoryStream& AStream, bool AMinimize) : FStream(AStream), FMinimize(AMinimize) {
    FPos = AStream.Position();
    FBase = nullptr;
    FLimit = 0;
  }
  ~TEncoder() {
    if (FBase) FStream.CommitWrite(FPos);
  }
  TEncoder(const TEncoder&) = delete;
  TEncoder& operator=(const TEncoder&) = delete;

  uint8_t* Room(int64_t ACount) {
    if (FPos + ACount > FLimit) Grow(ACount);
    return FBase + FPos;
  }
  void Byte(uint8_t A) {
    *Room(1) = A;
    ++FPos;
  }
  template <class T>
  void Fixed(T A) {
    Store(Room(sizeof A), A);
    FPos += sizeof A;
  }
  void Bytes(const void* AData, int64_t ACount) {
    if (ACount <= 0) return;
    std::memcpy(Room(ACount), AData, static_cast<size_t>(ACount));
    FPos += ACount;
  }
  template <class T>
  void Tagged(uint8_t ATag, T AValue) {
    uint8_t* o = Room(1 + sizeof AValue);
    o[0] = ATag;
    Store(o + 1, AValue);
    FPos += 1 + sizeof AValue;
  }
  void LongText(std::string_view A) {
    uint8_t* o = Room(4 + static_cast<int64_t>(A.size()));
    Store(o, static_cast<int32_t>(A.size()));
    if (!A.empty()) std::memcpy(o + 4, A.data(), A.size());
    FPos += 4 + static_cast<int64_t>(A.size());
  }

  void Value(const Variant& V);
  void Packet(IPacket* P);

 private:
  TPacketMemoryStream& FStream;
  bool FMinimize;
  uint8_t* FBase;
  int64_t FPos;
  int64_t FLimit;

  void Grow(int64_t ACount);
  void Integer(TVarType AKind, int64_t AValue);
  void Text(TVarType AKind, std::string_view A);
  void Array(const Variant& V);
  void Reference(const Variant& V);
};

}  // namespace vexor
