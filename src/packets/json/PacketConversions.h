#pragma once
// Text notations of packets: JSON and XML texts to and from packets, the configuration file
// layout and the process-wide conversions start-up (the kind table and the JSON writer have
// headers of their own, included here). Every operation may run on any
// thread at the same time; a packet must not be converted while another thread reads it (writing
// resets the cursors of the packets it visits; the top packet's cursor is restored).
#include <string>
#include <string_view>

#include "packets/Packets.h"
#include "packets/json/CustomConverter.h"
#include "packets/json/JSONConverter.h"

namespace vexor {

class TPacketConversions {
 public:
  TPacketConversions() = delete;

  static std::string PacketAsJSON(const IPacketPtr& Data, bool Readable = false, bool WithTypes = false);
  // Empty text: a new empty packet; a top value that is a scalar or null: none. Malformed text
  // (nesting deeper than 1024 levels included) raises "Invalid JSON string.".
  static IPacketPtr PacketFromJSON(std::string_view JSONString);
  static IPacketPtr TryPacketFromJSON(std::string_view JSONString, const IPacketPtr& ADefault);
  static IPacketPtr AsPacket(const Variant& V) { return VarToPacket(V); }
  static std::string SaveConfigDataAsJSON(const IPacketPtr& AData, std::string_view AVersionTag,
                                          std::string_view ADataTag, double ADataVersion);
  static IPacketPtr LoadConfigDataFromJSON(std::string_view AJSONStr, std::string_view AVersionTag,
                                           std::string_view ADataTag, double AMinDataVersion);
  // XML text (XMLConverter.cpp); Data's cursor is restored afterwards, also when writing fails.
  static std::string PacketAsXML(const IPacketPtr& Data, bool Readable = false);
  // The packet the first top-level node stands for, or none (see TXMLConverter::FromXML).
  static IPacketPtr PacketFromXML(std::string_view XMLString);
};

// Start-up of the packet conversions: makes IPacket::AsString produce compact JSON. Called once by
// the program's start-up before other threads use packets.
void InitPacketConversions();

}  // namespace vexor
