#pragma once
// The packet format registry: named formats that turn a packet into the bytes of a channel and
// back ("JSON", "XML" and "RAW"). Names compare without regard to case. The registry is filled
// during start-up (RegisterPacketFormats, from InitPacketConversions) before other threads use
// it, and only read afterwards, without a lock. Formats keep no state: their operations may run
// on any thread at the same time.
#include <string>
#include <string_view>
#include <vector>

#include "packets/Packets.h"

namespace vexor {

// One format. Bytes travel as a byte string (UTF-8 text for the text formats).
class TPacketFormat {
 public:
  virtual ~TPacketFormat() = default;
  virtual std::string PacketToChannelFormat(const IPacketPtr& Data) const = 0;
  // Raises the format's reader error for bytes it cannot read; may give none (see the reader).
  virtual IPacketPtr ChannelFormatToPacket(std::string_view Bytes) const = 0;
};

// Compact JSON text (no indentation, no type annotations), UTF-8 without byte-order mark.
class TJSONPacketFormat : public TPacketFormat {
 public:
  std::string PacketToChannelFormat(const IPacketPtr& Data) const override;
  IPacketPtr ChannelFormatToPacket(std::string_view Bytes) const override;
};

// Compact XML text, UTF-8.
class TXMLPacketFormat : public TPacketFormat {
 public:
  std::string PacketToChannelFormat(const IPacketPtr& Data) const override;
  IPacketPtr ChannelFormatToPacket(std::string_view Bytes) const override;
};

// The raw binary packet stream: one tagged value, minimized, uncompressed.
class TRAWPacketFormat : public TPacketFormat {
 public:
  std::string PacketToChannelFormat(const IPacketPtr& Data) const override;
  IPacketPtr ChannelFormatToPacket(std::string_view Bytes) const override;
};

struct TFormatInfo {
  std::string FName;
  const TPacketFormat* FClass;  // a format with static lifetime
};

class TPacketFormatManager {
 public:
  TPacketFormatManager() = delete;
  // Adds a format, or replaces the one registered under the same name. Start-up only.
  static void RegisterPacketFormatter(std::string_view FormatName, const TPacketFormat* AClass);
  // The registered format, or null.
  static const TPacketFormat* GetPacketFormat(std::string_view FormatName);
  // The registered names, sorted ignoring case.
  static std::vector<std::string> FormatNames();
};

// Registers the built-in formats, "JSON", "XML" and "RAW" in this order. Idempotent.
void RegisterPacketFormats();

}  // namespace vexor
