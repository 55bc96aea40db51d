#pragma once
// Text notations of packets: the kind table and converters shared by the text writers, the JSON
// writer and reader, and the process-wide conversions start-up. Every operation may run on any
// thread at the same time; a packet must not be converted while another thread reads it (writing
// resets the cursors of the packets it visits; the top packet's cursor is restored).
#include <string>
#include <string_view>

#include "packets/Packets.h"

namespace vexor {

// One row of the kind table: the kind's type name (XML element name, JSON type annotation) and
// its format selector ("%d", "%g", "%m", "dt", "%s", "%b"; null for the null row).
struct TVarKindInfo {
  TVarType Code;
  const char* TypeName;
  const char* Format;
};

class TCustomConverter {
 public:
  explicit TCustomConverter(bool AReadable) : FReadable(AReadable) {}
  virtual ~TCustomConverter() = default;

  // The kind table row for a kind, or null when the kind cannot be written.
  static const TVarKindInfo* getVarInfo(TVarType VTyp) noexcept;
  // The first row whose type name matches AName ignoring case, or null.
  static const TVarKindInfo* getVarInfoByName(std::string_view AName) noexcept;
  // yyyy-MM-dd for a date, UTC yyyy-MM-ddThh:mm:ss.zzzZ for a date-time, UTC hh:mm:ss.zzzZ (or
  // hh:mm for whole minutes) for a time of day; 0 gives "00:00:00.000".
  static std::string FixedDateTimeToISOStr(TDateTime AValue);
  // The reverse; 0 when the text does not parse.
  static TDateTime FixedISOStrToDateTime(std::string_view AStr);
  // True when a text read from outside is a date-time in the fixed layouts (see the reader).
  static bool TryRecogniseDateTime(std::string_view AStr, TDateTime& AValue);

 protected:
  // Constant after construction.
  bool FReadable;
};

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

// Appends S escaped for a JSON string (without the quotes).
void AppendJSONEscaped(std::string& ADest, std::string_view S);
// Writes S escaped at AOut, which has room for 6 * S.size() bytes; returns the end.
char* EscapeJSONTo(char* AOut, std::string_view S);

// The fixed en-US money text of a currency value given as value * 10000 ("$1,234.57").
void AppendMoneyText(std::string& ADest, int64_t AScaled);

// Start-up of the packet conversions: makes IPacket::AsString produce compact JSON. Called once by
// the program's start-up before other threads use packets.
void InitPacketConversions();

}  // namespace vexor
