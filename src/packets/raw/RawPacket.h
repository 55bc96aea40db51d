#pragma once
// The raw binary packet stream: a compact, self-describing encoding of packet values (one tag
// byte, then a little-endian payload; texts in UTF-8), written to and read from byte streams, with
// zlib or Snappy compressed blocks.
//
// IDataStreamWriter reads and writes over any TStream; IRawPacket is such a reader and writer over
// its own memory buffer. A raw packet either owns its bytes or is a read-only view of part of
// another raw packet's bytes (CreateCloned, GetAsPacketClone): a view keeps its source alive and
// shares its bytes without copying; writing into the source afterwards never changes what a view
// sees (the source copies its bytes first), and writing into a view raises
// "Can't write to read-only packet stream".
//
// Reading outside input is safe: a tag, item, length or count that needs more bytes than remain
// raises EPacketError "Error Reading Packet Data" before anything is allocated for it; nesting of
// packets and value arrays deeper than kMaxRawNesting levels is refused; a compressed block whose
// stated size its input cannot produce is refused.
//
// The stream, writer and channel format parts have headers of their own, included here.
//
// Threads: none of these objects is synchronized; one thread at a time per writer or raw packet.
// A view reads bytes its source no longer changes, so a source and its views may be used on
// different threads (their counts are atomic).
#include <cstdint>
#include <string>
#include <string_view>

#include "packets/Packets.h"
#include "packets/raw/DataStreamWriter.h"
#include "packets/raw/PacketMemoryStream.h"
#include "platform/Exceptions.h"

namespace vexor {

class IRawPacket : public virtual IDataStreamWriter {
 public:
  virtual void Clear() = 0;
  // Replaces the bytes before the position by one compressed block of them.
  virtual void CompressData(TDataCompressionType Compression) = 0;
  // Replaces the buffer by the block at the position, decompressed; position 0.
  virtual void DecompressData(TDataCompressionType Compression) = 0;
  virtual int32_t ReadFromStream(TStream& S, int32_t ASize) = 0;
  virtual int32_t WriteToStream(TStream& S, int32_t ASize) = 0;
  // A read-only view of the next ALen bytes (0: all that remain); none when nothing remains.
  virtual IRawPacketPtr GetAsPacketClone(int32_t ALen) = 0;
  virtual const uint8_t* RawData() = 0;
  virtual int32_t GetSize() = 0;
  // A view can only shrink (its bytes are borrowed); an owning packet resizes its buffer.
  virtual void SetSize(int32_t ASize) = 0;
  // The bytes as one text (copy).
  std::string Bytes() { return std::string(reinterpret_cast<const char*>(RawData()), static_cast<size_t>(GetSize())); }
};

class TRawPacket final : public TDataStreamWriter, public virtual IRawPacket {
 public:
  // A buffer of exactly ASize zero bytes, position 0 (writing overwrites, then extends).
  explicit TRawPacket(int32_t ASize = 0, bool AMinimize = false);
  // A read-only view of ALen bytes of APacket from its position (cut to what it has).
  static IRawPacketPtr CreateCloned(const IRawPacketPtr& APacket, int32_t ALen);
  // An empty packet whose buffer can take ACapacity bytes without growing.
  static IRawPacketPtr WithCapacity(int32_t ACapacity, bool AMinimize);
  // A new owning packet holding a copy of ABytes, position 0.
  static IRawPacketPtr FromBytes(std::string_view ABytes);

  void Clear() override;
  void CompressData(TDataCompressionType Compression) override;
  void DecompressData(TDataCompressionType Compression) override;
  int32_t ReadFromStream(TStream& S, int32_t ASize) override;
  int32_t WriteToStream(TStream& S, int32_t ASize) override;
  IRawPacketPtr GetAsPacketClone(int32_t ALen) override;
  const uint8_t* RawData() override { return FStream.Memory(); }
  int32_t GetSize() override { return static_cast<int32_t>(FStream.Size()); }
  void SetSize(int32_t ASize) override;
  TPacketMemoryStream& Stream() noexcept { return FStream; }

 private:
  TPacketMemoryStream FStream;
  // Constant after construction: the packet whose bytes this view shares, or none.
  IRawPacketPtr FCloned;
};

}  // namespace vexor

#include "packets/raw/RawChannelFormat.h"
