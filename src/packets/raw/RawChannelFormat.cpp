#include "packets/raw/RawChannelFormat.h"

#include "packets/raw/RawPacket.h"

namespace vexor {

namespace {

constexpr int32_t kChannelInitialCapacity = 256;

}  // namespace

IRawPacketPtr PacketToRawChannelFormat(const IPacketPtr& Data, std::optional<TDataCompressionType> ACompression) {
  // Room for a reply line at once; larger packets grow the buffer geometrically, which costs less
  // than walking the whole tree first for its DataSize.
  IRawPacketPtr raw = TRawPacket::WithCapacity(kChannelInitialCapacity, true);
  raw->PutVar(Variant(Data));
  if (ACompression) raw->CompressData(*ACompression);
  return raw;
}

IPacketPtr RawChannelFormatToPacket(const IRawPacketPtr& Bytes, std::optional<TDataCompressionType> ACompression) {
  if (!Bytes) return nullptr;
  if (ACompression) Bytes->DecompressData(*ACompression);
  return Bytes->GetAsPacket();
}

std::string PacketToRawBytes(const IPacketPtr& Data, std::optional<TDataCompressionType> ACompression) {
  return PacketToRawChannelFormat(Data, ACompression)->Bytes();
}

IPacketPtr PacketFromRawBytes(std::string_view ABytes, std::optional<TDataCompressionType> ACompression) {
  return RawChannelFormatToPacket(TRawPacket::FromBytes(ABytes), ACompression);
}

}  // namespace vexor
