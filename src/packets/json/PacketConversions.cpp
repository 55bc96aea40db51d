#include "packets/json/PacketConversions.h"

#include "packets/PacketFormatManager.h"
#include "packets/internal/JSONReader.h"
#include "packets/internal/PacketsInternal.h"
#include "platform/Exceptions.h"

namespace vexor {

namespace {

const char kErrInvalidJSON[] = "Invalid JSON string.";

std::string PacketToJSONHook(IPacket* P) { return TPacketConversions::PacketAsJSON(IPacketPtr(P)); }

}  // namespace

std::string TPacketConversions::PacketAsJSON(const IPacketPtr& Data, bool Readable, bool WithTypes) {
  return KeepingCursor(Data, [&] { return TJSONConverter::ToJSON(Data, Readable, WithTypes); });
}

IPacketPtr TPacketConversions::PacketFromJSON(std::string_view JSONString) {
  if (JSONString.empty()) return NewPacket();
  const TReaderRelease release;
  simdjson::dom::element root;
  auto err = ParsePadded(JSONString).get(root);
  std::string widened;
  if (err == simdjson::NUMBER_ERROR && WidenBigIntegers(JSONString, widened)) err = ParsePadded(widened).get(root);
  if (err) throw Exception(kErrInvalidJSON);
  return PacketFromJSONRoot(root);
}

IPacketPtr TPacketConversions::TryPacketFromJSON(std::string_view JSONString, const IPacketPtr& ADefault) {
  try {
    return PacketFromJSON(JSONString);
  } catch (...) {
    return ADefault;
  }
}

std::string TPacketConversions::SaveConfigDataAsJSON(const IPacketPtr& AData, std::string_view AVersionTag,
                                                     std::string_view ADataTag, double ADataVersion) {
  IPacketPtr p = NewPacket();
  p->PutProperty(AVersionTag, Variant(ADataVersion));
  p->PutProperty(ADataTag, Variant(AData));
  return PacketAsJSON(p, false, false);
}

IPacketPtr TPacketConversions::LoadConfigDataFromJSON(std::string_view AJSONStr, std::string_view AVersionTag,
                                                      std::string_view ADataTag, double AMinDataVersion) {
  IPacketPtr p = PacketFromJSON(AJSONStr);
  if (!p) return nullptr;
  Variant version;
  if (!p->GetProperty(AVersionTag, Variant(0), version)) return nullptr;
  if (version.AsDouble() < AMinDataVersion) return nullptr;
  return VarToPacket(p->GetProperty(ADataTag, Variant()));
}

void InitPacketConversions() {
  RegisterPacketFormats();
  PacketToStringHook = &PacketToJSONHook;
}

}  // namespace vexor
