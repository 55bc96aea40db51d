#pragma once
// XML text of packets: the writer (TXMLConverter::Convert) and the reader (FromXML). An untyped
// packet is an "ipacket" element, a typed one carries its type name in the "name" attribute, each
// scalar is an element named after its kind ("<integer>5</integer>", "<null/>"), arrays are
// "array-var" or "array-<kind>" elements. Conversions may run on any thread at the same time, each
// with its own converter; a packet must not be converted while another thread reads it (writing
// resets the cursor of every packet it visits).
#include <string>
#include <string_view>

#include "packets/json/PacketConversions.h"

namespace vexor {

class TXMLConverter : public TCustomConverter {
 public:
  explicit TXMLConverter(bool AReadable) : TCustomConverter(AReadable) {}

  // Raises "Invalid variant type for XML conversion: $%x" for a value of a kind the kind table
  // lacks (the empty value included) and "Invalid Format" for a row it cannot format.
  std::string Convert(const IPacketPtr& AData);
  static std::string ToXML(const IPacketPtr& AData, bool Readable);

  // The packet the first top-level node of AText stands for; none when that node is no packet
  // (a prolog, comment, text or scalar element first). Raises "Invalid XML string." when the text
  // has no node at all, the conversion error of a scalar whose text does not fit its kind, and
  // kErrXMLTooDeep for nesting deeper than kMaxXMLDepth elements.
  static IPacketPtr FromXML(std::string_view AText);

  static constexpr size_t kMaxXMLDepth = 1024;

 private:
  // The text being written; one conversion at a time per converter.
  std::string FOut;

  void Ind(int ALevel);
  void WritePacket(IPacket* P, int L);
  void WriteValue(const Variant& V, int L);
  void WriteScalar(const TVarKindInfo& ARow, const Variant& V);
};

inline constexpr const char kErrInvalidXML[] = "Invalid XML string.";
inline constexpr const char kErrXMLTooDeep[] = "Invalid XML string: nested deeper than 1024 levels.";

}  // namespace vexor
