#pragma once
// The JSON writer: a packet as compact or readable JSON text, with or without type annotations.
// A converter writes one text at a time (one thread per converter); separate converters may run
// on any threads at the same time. Writing resets the cursors of the packets it visits.
#include <string>
#include <string_view>

#include "packets/Packets.h"
#include "packets/json/CustomConverter.h"

namespace vexor {

class TJSONConverter : public TCustomConverter {
 public:
  TJSONConverter(bool AWithTypes, bool AReadable) : TCustomConverter(AReadable), FWithTypes(AWithTypes) {}
  std::string Convert(const IPacketPtr& AData);
  static std::string ToJSON(const IPacketPtr& AData, bool Readable, bool WithTypes);

 private:
  // Constant after construction.
  bool FWithTypes;
  // The text being written (its first FLen bytes); one conversion at a time per converter.
  std::string FOut;
  size_t FLen = 0;

  // Room for ACount more bytes at the end of the text; Commit marks where the written bytes end.
  char* Room(size_t ACount);
  void Commit(char* AEnd);
  void Grow(size_t ANeed);
  void Put(char AChar);
  void Put(std::string_view AText);
  void PutEscaped(std::string_view AText);
  // The text escaped between quotes, then AAfter (a short plain text), with one room check.
  void PutQuoted(std::string_view AText, std::string_view AAfter = {});
  void Ind(int ALevel);
  void PairPrefix(std::string_view AName, int ALevel);
  void WritePacket(IPacket* P, int L, bool AsElement);
  void WriteValue(const Variant& V, int L);
  void WriteScalar(const TVarKindInfo& ARow, const Variant& V);
};

// Appends S escaped for a JSON string (without the quotes).
void AppendJSONEscaped(std::string& ADest, std::string_view S);
// Writes S escaped at AOut, which has room for 6 * S.size() bytes; returns the end.
char* EscapeJSONTo(char* AOut, std::string_view S);

}  // namespace vexor
