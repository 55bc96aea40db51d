#include "packets/json/CustomConverter.h"

#include <cmath>

#include "packets/DateText.h"
#include "packets/internal/PacketsInternal.h"

namespace vexor {

namespace {

constexpr int64_t kMsPerDay = 86400000;

constexpr TVarKindInfo kKindTable[] = {
    {varWord, "word", "%d"},         {varSmallint, "smallint", "%d"}, {varInteger, "integer", "%d"},
    {varSingle, "single", "%g"},     {varDouble, "double", "%g"},     {varCurrency, "currency", "%m"},
    {varDate, "date", "dt"},         {varOleStr, "string", "%s"},     {varUString, "string", "%s"},
    {varString, "string", "%s"},     {varBoolean, "boolean", "%b"},   {varByte, "byte", "%d"},
    {varShortInt, "shortint", "%d"}, {varLongWord, "longword", "%d"}, {varInt64, "int64", "%d"},
    {varUInt64, "uInt64", "%d"},     {varNull, "null", nullptr},
};

int64_t FloorDiv(int64_t A, int64_t B) { return A / B - ((A % B != 0) && ((A < 0) != (B < 0))); }

// Local offset from UTC in whole seconds at a UTC moment.
int64_t OffsetAtUtcSeconds(TDateTime AUtc) { return std::llround((UTCToLocal(AUtc) - AUtc) * 86400.0); }

// Local offset in whole seconds in effect at a local moment (two rounds settle transitions).
int64_t OffsetAtLocalSeconds(TDateTime ALocal) {
  int64_t off = OffsetAtUtcSeconds(ALocal);
  return OffsetAtUtcSeconds(ALocal - static_cast<double>(off) / 86400.0);
}

// Day number and milliseconds of the day, as the calendar fields show them.
void SplitDateTime(TDateTime V, int64_t& ADay, int64_t& AMs) {
  TDecodedDateTime p = DecodeDateTime(V);
  ADay = static_cast<int64_t>(EncodeDateTime(p.Year, p.Month, p.Day));
  AMs = ((p.Hour * 60LL + p.Minute) * 60 + p.Second) * 1000 + p.MilliSecond;
}

TDecodedDateTime JoinDateTime(int64_t AMsTotal) {
  int64_t day = FloorDiv(AMsTotal, kMsPerDay);
  int64_t ms = AMsTotal - day * kMsPerDay;
  TDecodedDateTime p = DecodeDateTime(static_cast<double>(day));
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.MilliSecond = static_cast<int>(ms % 1000);
  return p;
}

TDateTime EncodeParts(const TDecodedDateTime& P) {
  return EncodeDateTime(P.Year, P.Month, P.Day, P.Hour, P.Minute, P.Second, P.MilliSecond);
}

// Shifts a value by a number of seconds, keeping the calendar arithmetic exact.
TDecodedDateTime ShiftSeconds(TDateTime V, int64_t ASeconds) {
  int64_t day, ms;
  SplitDateTime(V, day, ms);
  return JoinDateTime(day * kMsPerDay + ms + ASeconds * 1000);
}

void AppendMoney(std::string& D, int64_t AScaled) {
  // Fixed en-US money form: $1,234.57 (two decimals, half away from zero).
  bool neg = AScaled < 0;
  uint64_t a = neg ? 0 - static_cast<uint64_t>(AScaled) : static_cast<uint64_t>(AScaled);
  uint64_t cents = (a + 50) / 100;
  std::string whole = std::to_string(cents / 100);
  if (neg) D.push_back('-');
  D.push_back('$');
  for (size_t i = 0; i < whole.size(); ++i) {
    if (i && (whole.size() - i) % 3 == 0) D.push_back(',');
    D.push_back(whole[i]);
  }
  D.push_back('.');
  D.push_back(static_cast<char>('0' + cents % 100 / 10));
  D.push_back(static_cast<char>('0' + cents % 10));
}

}  // namespace

// ---- kind table and date-time text ----

namespace {

// The kind table indexed by the small kind codes; the string kinds above them are looked up
// directly.
struct TKindIndex {
  const TVarKindInfo* Small[varUInt64 + 1] = {};
  const TVarKindInfo* Str = nullptr;
  const TVarKindInfo* UStr = nullptr;
  TKindIndex() {
    for (const TVarKindInfo& row : kKindTable) {
      if (row.Code <= varUInt64)
        Small[row.Code] = &row;
      else if (row.Code == varString)
        Str = &row;
      else if (row.Code == varUString)
        UStr = &row;
    }
  }
};
const TKindIndex kKindIndex;

}  // namespace

const TVarKindInfo* TCustomConverter::getVarInfo(TVarType VTyp) noexcept {
  if (VTyp <= varUInt64) return kKindIndex.Small[VTyp];
  if (VTyp == varUString) return kKindIndex.UStr;
  if (VTyp == varString) return kKindIndex.Str;
  return nullptr;
}

std::string TCustomConverter::FixedDateTimeToISOStr(TDateTime AValue) {
  bool hasDate = DateHasDatePart(AValue), hasTime = DateHasTimePart(AValue);
  std::string r;
  if (!hasTime) {
    if (AValue == 0) return "00:00:00.000";
    AppendDateDigits(r, DecodeDateTime(AValue));
    return r;
  }
  TDecodedDateTime u = ShiftSeconds(AValue, -OffsetAtLocalSeconds(AValue));
  if (hasDate) {
    AppendDateDigits(r, u);
    r.push_back('T');
    AppendTimeDigits(r, u);
    r.push_back('Z');
    return r;
  }
  AppendTimeDigits(r, u);
  r.push_back('Z');
  if (r.size() >= 8 && r.compare(r.size() - 8, 8, ":00.000Z") == 0) r.resize(r.size() - 8);
  return r;
}

namespace {

// Parses the fixed layouts (one trailing "Z" allowed) and applies the UTC rule.
bool ParseISO(std::string_view S, TDateTime& AValue) {
  if (!S.empty() && S.back() == 'Z') S.remove_suffix(1);
  TDateTime v;
  if (!TryParseDateTimeText(S, v)) return false;
  bool hasDate = DateHasDatePart(v), hasTime = DateHasTimePart(v);
  if (hasTime) {
    TDecodedDateTime l = ShiftSeconds(v, OffsetAtUtcSeconds(v));
    if (!hasDate) l.Year = 1899, l.Month = 12, l.Day = 30;
    v = EncodeParts(l);
  }
  AValue = v;
  return true;
}

}  // namespace

TDateTime TCustomConverter::FixedISOStrToDateTime(std::string_view AStr) {
  TDateTime v = 0;
  return ParseISO(AStr, v) ? v : 0;
}

bool TCustomConverter::TryRecogniseDateTime(std::string_view S, TDateTime& AValue) {
  if (S.size() < 5 || S.size() > 24 || S[0] < '0' || S[0] > '9') return false;
  if (S.find_first_of("-:") == std::string_view::npos) return false;
  std::string_view t = S;
  if (t.back() == 'Z') t.remove_suffix(1);
  TDateTime v;
  if (!TryParseDateTimeText(t, v)) return false;
  if (v == 0 && t != "00:00:00.000") return false;
  std::string_view cut = S;
  size_t midnight = cut.find("T00:00:00.000Z");
  if (midnight != std::string_view::npos) cut = cut.substr(0, midnight);
  if (!cut.empty() && cut.back() == 'Z') cut.remove_suffix(1);
  if (PlainDateTimeText(v) != cut) return false;
  return ParseISO(S, AValue);
}

const TVarKindInfo* TCustomConverter::getVarInfoByName(std::string_view AName) noexcept {
  // Once per element of an XML text: most rows are ruled out by their length alone.
  for (const TVarKindInfo& row : kKindTable)
    if (row.TypeName.size() == AName.size() && SameName(row.TypeName, AName)) return &row;
  return nullptr;
}

void AppendMoneyText(std::string& ADest, int64_t AScaled) { AppendMoney(ADest, AScaled); }

}  // namespace vexor
