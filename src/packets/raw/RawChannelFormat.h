#pragma once
// The "RAW" channel format of packets, on raw packets and on plain byte texts. Any thread; each
// call uses its own buffers.
#include <optional>
#include <string>
#include <string_view>

#include "packets/Packets.h"
#include "packets/raw/DataStreamWriter.h"

namespace vexor {

// The "RAW" channel format: the packet as one tagged value (minimized, the buffer sized by
// DataSize once), then, when asked, the whole encoding replaced by one compressed block.
IRawPacketPtr PacketToRawChannelFormat(const IPacketPtr& Data,
                                       std::optional<TDataCompressionType> ACompression = std::nullopt);
// The reverse: the block at the position decompressed when asked, then one value read as a packet
// (none when the value holds no packet).
IPacketPtr RawChannelFormatToPacket(const IRawPacketPtr& Bytes,
                                    std::optional<TDataCompressionType> ACompression = std::nullopt);
// The same on plain byte texts (files, pipes).
std::string PacketToRawBytes(const IPacketPtr& Data, std::optional<TDataCompressionType> ACompression = std::nullopt);
IPacketPtr PacketFromRawBytes(std::string_view ABytes, std::optional<TDataCompressionType> ACompression = std::nullopt);

}  // namespace vexor
