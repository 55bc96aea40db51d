#pragma once
// The kind table and the converters every text notation shares: type names and format selectors
// per kind, the fixed date-time texts, the money text. All functions are pure and may run on any
// thread at the same time.
#include <cstdint>
#include <string>
#include <string_view>

#include "packets/Packets.h"

namespace vexor {

// One row of the kind table: the kind's type name (XML element name, JSON type annotation) and
// its format selector ("%d", "%g", "%m", "dt", "%s", "%b"; null for the null row).
struct TVarKindInfo {
  TVarType Code;
  std::string_view TypeName;
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

// The fixed en-US money text of a currency value given as value * 10000 ("$1,234.57").
void AppendMoneyText(std::string& ADest, int64_t AScaled);

}  // namespace vexor
