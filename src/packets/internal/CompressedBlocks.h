#pragma once
// Compressed blocks of the raw stream (zlib or Snappy): a 4-byte length, then the block. Reading
// refuses a block whose stated size its input cannot produce. Any thread; the outputs belong to
// their caller.
#include <cstddef>
#include <cstdint>

#include "packets/Packets.h"
#include "packets/raw/DataStreamWriter.h"
#include "packets/raw/PacketMemoryStream.h"

namespace vexor {

// Inflates exactly ALen bytes from AIn; returns how many input bytes the stream used.
size_t InflateExactly(const uint8_t* AIn, size_t AInLen, int64_t ALen, TBlockOutput& AOut);
void SnappyUncompress(const uint8_t* AIn, size_t AInLen, TBlockOutput& AOut);

struct TBytesOutput final : TBlockOutput {
  TBytes Bytes;
  uint8_t* Reserve(size_t ACount) override {
    Bytes.resize(ACount);
    return Bytes.data();
  }
  void Done(size_t ACount) override { Bytes.resize(ACount); }
};

// Straight into a stream's own memory (no zero-filled vector in between).
struct TStreamOutput final : TBlockOutput {
  TPacketMemoryStream& S;
  explicit TStreamOutput(TPacketMemoryStream& AStream) : S(AStream) {}
  uint8_t* Reserve(size_t ACount) override { return S.WritableUpTo(static_cast<int64_t>(ACount)); }
  void Done(size_t ACount) override {
    S.CommitWrite(static_cast<int64_t>(ACount));
    S.SetPosition(0);
  }
};


// Writes one compressed block at the stream's position.
void EncodeCompressed(TPacketMemoryStream& S, const void* AData, int32_t ALen, TDataCompressionType AKind);

}  // namespace vexor
