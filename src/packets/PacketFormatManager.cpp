#include "packets/PacketFormatManager.h"

#include "packets/raw/RawPacket.h"

#include <algorithm>

#include "packets/json/PacketConversions.h"

namespace vexor {

namespace {

bool NameLess(const TFormatInfo& A, std::string_view B) {
  return std::lexicographical_compare(A.FName.begin(), A.FName.end(), B.begin(), B.end(), [](char x, char y) {
    auto lower = [](char c) { return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
    return lower(x) < lower(y);
  });
}

// Sorted by name ignoring case; written at start-up only.
std::vector<TFormatInfo>& Formats() {
  static std::vector<TFormatInfo> list;
  return list;
}

}  // namespace

void TPacketFormatManager::RegisterPacketFormatter(std::string_view FormatName, const TPacketFormat* AClass) {
  auto& list = Formats();
  auto it = std::lower_bound(list.begin(), list.end(), FormatName, NameLess);
  if (it != list.end() && SameName(it->FName, FormatName))
    it->FClass = AClass;
  else
    list.insert(it, TFormatInfo{std::string(FormatName), AClass});
}

const TPacketFormat* TPacketFormatManager::GetPacketFormat(std::string_view FormatName) {
  const auto& list = Formats();
  auto it = std::lower_bound(list.begin(), list.end(), FormatName, NameLess);
  return it != list.end() && SameName(it->FName, FormatName) ? it->FClass : nullptr;
}

std::vector<std::string> TPacketFormatManager::FormatNames() {
  std::vector<std::string> names;
  for (const TFormatInfo& f : Formats()) names.push_back(f.FName);
  return names;
}

std::string TJSONPacketFormat::PacketToChannelFormat(const IPacketPtr& Data) const {
  return TPacketConversions::PacketAsJSON(Data, false, false);
}

IPacketPtr TJSONPacketFormat::ChannelFormatToPacket(std::string_view Bytes) const {
  return TPacketConversions::PacketFromJSON(Bytes);
}

std::string TXMLPacketFormat::PacketToChannelFormat(const IPacketPtr& Data) const {
  return TPacketConversions::PacketAsXML(Data, false);
}

IPacketPtr TXMLPacketFormat::ChannelFormatToPacket(std::string_view Bytes) const {
  return TPacketConversions::PacketFromXML(Bytes);
}

std::string TRAWPacketFormat::PacketToChannelFormat(const IPacketPtr& Data) const { return PacketToRawBytes(Data); }

IPacketPtr TRAWPacketFormat::ChannelFormatToPacket(std::string_view Bytes) const { return PacketFromRawBytes(Bytes); }

void RegisterPacketFormats() {
  static const TJSONPacketFormat kJSON;
  static const TXMLPacketFormat kXML;
  TPacketFormatManager::RegisterPacketFormatter("JSON", &kJSON);
  TPacketFormatManager::RegisterPacketFormatter("XML", &kXML);
  static const TRAWPacketFormat kRAW;
  TPacketFormatManager::RegisterPacketFormatter("RAW", &kRAW);
}

}  // namespace vexor
