#pragma once
// The packet variant kind (varPacket, 0x120) beyond what Variant itself does (sharing on copy,
// releasing on clear, conversion to the packet's text): comparison by text, names used on a
// packet value (properties read and written by name, the packet's operations called by name
// through one table of operations), and the casts between packet values and other kinds.
//
// Every function may run on any thread; the packet behind a value must be used by one thread at
// a time, as every packet. The operation table is built once, on first use, and read-only after.
#include <string_view>

#include "packets/Packets.h"

namespace vexor {

class TPacketVariantType {
 public:
  TPacketVariantType() = delete;

  // A copy of V; a packet held in another kind (a plain interface value) becomes varPacket.
  static Variant AsCustomVariant(const Variant& V);
  // varPacket or an interface: AsCustomVariant; an array: a new untyped packet of its elements
  // (PutVars(elements, false)); anything else: NewPacketOf("", V); always a varPacket value.
  static Variant AsPacketVariant(const Variant& V);
  // Another kind to varPacket: arrays of variants and interfaces by AsPacketVariant, the rest in a
  // new one-value packet.
  static Variant Cast(const Variant& Source);
  // varPacket to another kind: the packet's text, converted to AVarType by the ordinary rules.
  static Variant CastTo(const Variant& Source, TVarType AVarType);
  // Both sides compared by their texts: -1, 0 or 1.
  static int Compare(const Variant& Left, const Variant& Right);

  // A name read on a packet value: the packet's property (names ignore case, "COUNT" is the
  // number of values), else for exactly "TYPENAME" its type name. False: no such property.
  static bool GetProperty(Variant& Dest, const Variant& V, std::string_view AName);
  // A name written on a packet value: stored as a property under the lower-case name. Always true.
  static bool SetProperty(const Variant& V, std::string_view AName, const Variant& Value);
  // Calls the packet operation Name (case ignored) with the arguments; raises "Attempt to call
  // unknown Packet method <name>" for a name that is none. The arguments are emptied afterwards,
  // also when the call fails. Always true.
  static bool DoFunction(Variant& Dest, const Variant& V, std::string_view Name, TVariantArray& Arguments);
  static bool DoProcedure(const Variant& V, std::string_view Name, TVariantArray& Arguments);
};

// The same as plain calls, raising where the variant layer would report a missing property.
Variant PacketVarGet(const Variant& V, std::string_view AName);
void PacketVarSet(const Variant& V, std::string_view AName, const Variant& Value);
Variant PacketVarCall(const Variant& V, std::string_view AName, TVariantArray Arguments = {});

}  // namespace vexor
