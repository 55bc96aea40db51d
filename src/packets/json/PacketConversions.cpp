#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <typeinfo>
#include <unordered_set>

#include "packets/DateText.h"
#include "platform/TextUtf.h"
#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "packets/PacketFormatManager.h"
#include "packets/internal/PacketsInternal.h"

namespace vexor {

namespace {

const char kErrInvalidJSON[] = "Invalid JSON string.";
constexpr int64_t kMsPerDay = 86400000;

const TVarKindInfo kKindTable[] = {
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

struct TEscapeTable {
  char Kind[256];  // 0 = unchanged, 'u' = \u00XX, otherwise the letter after the backslash
  TEscapeTable() {
    for (int i = 0; i < 256; ++i) Kind[i] = 0;
    for (int i = 0; i < 32; ++i) Kind[i] = 'u';
    Kind[8] = 'b';
    Kind[9] = 't';
    Kind[10] = 'n';
    Kind[12] = 'f';
    Kind[13] = 'r';
    Kind['"'] = '"';
    Kind['\\'] = '\\';
  }
};
const TEscapeTable kEscape;

// Up to N names, asked whether a name is among them ignoring (ASCII) case. A 64-bit mask over
// length and first letter rules out most names without comparing; nothing is set up per slot.
template <size_t N>
class TSmallNameSet {
 public:
  // True when the name is there already; otherwise adds it (at most N names).
  bool Insert(std::string_view AName) {
    const unsigned first = AName.empty() ? 0 : static_cast<unsigned char>(AName[0]) | 0x20;
    const uint64_t bit = uint64_t(1) << ((AName.size() * 7 + first) & 63);
    if (FMask & bit)
      for (size_t j = 0; j < FCount; ++j)
        if (FLen[j] == AName.size() && SameName(std::string_view(FPtr[j], FLen[j]), AName)) return true;
    FMask |= bit;
    FPtr[FCount] = AName.data();
    FLen[FCount++] = AName.size();
    return false;
  }

 private:
  uint64_t FMask = 0;
  size_t FCount = 0;
  const char* FPtr[N];
  size_t FLen[N];
};

// Names asked whether they came before, ignoring (ASCII) case: a short list scanned directly for
// up to 64 names (the usual object), a hash set of lower-case copies for more. The names must
// outlive the set.
class TNameSet {
 public:
  explicit TNameSet(size_t AMost) {
    if (AMost > kShort) FLong.emplace().reserve(AMost);
  }
  // True when the name is there already; otherwise adds it.
  bool Insert(std::string_view AName) {
    if (!FLong) return FShort.Insert(AName);
    std::string lower(AName);
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c += 32;
    return !FLong->insert(std::move(lower)).second;
  }

 private:
  static constexpr size_t kShort = 64;
  TSmallNameSet<kShort> FShort;
  std::optional<std::unordered_set<std::string>> FLong;
};

// True when one of the eight bytes in W needs escaping (a control byte, '"' or '\\').
inline bool WordNeedsEscape(uint64_t W) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  uint64_t ctrl = (W - kOnes * 0x20) & ~W;  // bytes below 0x20
  uint64_t q = W ^ (kOnes * '"'), b = W ^ (kOnes * '\\');
  uint64_t quote = (q - kOnes) & ~q, slash = (b - kOnes) & ~b;  // bytes equal to either
  return ((ctrl | quote | slash) & kHigh) != 0;
}

}  // namespace

namespace {

// The last 1 to 7 bytes of a text as one word, the missing bytes filled with a plain letter, so
// WordNeedsEscape can judge them at once without reading past the text.
inline uint64_t LoadTail(const char* P, size_t N) {
  constexpr uint64_t kFill = 0x6161616161616161ull;
  uint64_t w;
  if (N >= 4) {
    uint32_t a, b;
    std::memcpy(&a, P, 4);
    std::memcpy(&b, P + N - 4, 4);
    w = a | static_cast<uint64_t>(b) << ((N - 4) * 8);
  } else {
    const auto byte = [P](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(P[i])); };
    w = byte(0) | byte(N / 2) << (N / 2 * 8) | byte(N - 1) << ((N - 1) * 8);
  }
  return w | kFill << (N * 8);
}

}  // namespace

char* EscapeJSONTo(char* AOut, std::string_view S) {
  static const char kHex[] = "0123456789ABCDEF";
  const char* p = S.data();
  const char* end = p + S.size();
  const char* run = p;
  char* o = AOut;
  for (;;) {
    // Skip plain bytes eight at a time; the run is copied in one go.
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (WordNeedsEscape(w)) break;
      p += 8;
    }
    if (p < end && end - p < 8 && !WordNeedsEscape(LoadTail(p, static_cast<size_t>(end - p))))
      p = end;
    else
      while (p < end && !kEscape.Kind[static_cast<unsigned char>(*p)]) ++p;
    if (p == end) break;
    const char k = kEscape.Kind[static_cast<unsigned char>(*p)];
    o = CopyRun(o, run, static_cast<size_t>(p - run));
    *o++ = '\\';
    if (k == 'u') {
      unsigned char c = static_cast<unsigned char>(*p);
      o[0] = 'u';
      o[1] = '0';
      o[2] = '0';
      o[3] = kHex[c >> 4];
      o[4] = kHex[c & 15];
      o += 5;
    } else {
      *o++ = k;
    }
    run = ++p;
  }
  return CopyRun(o, run, static_cast<size_t>(end - run));
}

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

// ---- writer ----

namespace {

// The packet a packet value holds; a null reference is written as a new empty packet, kept
// alive by AHolder.
IPacket* PacketOrEmpty(const Variant& V, IPacketPtr& AHolder) {
  if (IPacket* p = VarPacketRef(V)) return p;
  AHolder = NewPacket();
  return AHolder.get();
}

// The packet itself when it is a plain TPacket, whose operations the writer may then call
// directly instead of through the interface; null for any other implementation.
inline TPacket* KnownPacket(IPacket* P) {
  const std::type_info* t = &typeid(*P);
  return t == &typeid(TPacket) || t == &typeid(TPropertyPacket) ? static_cast<TPacket*>(P) : nullptr;
}

// Name and typedness of P, AKnown being KnownPacket(P) when the caller has it already.
inline std::string_view NameOf(IPacket* P, TPacket* AKnown) {
  return AKnown ? AKnown->TPacket::GetTypeName() : P->GetTypeName();
}
inline std::string_view NameOf(IPacket* P) { return NameOf(P, KnownPacket(P)); }

inline bool TypedPacket(IPacket* P, TPacket* AKnown) { return AKnown ? AKnown->TPacket::IsTyped() : P->IsTyped(); }
inline bool TypedPacket(IPacket* P) { return TypedPacket(P, KnownPacket(P)); }

bool HasRepeatedNames(const TPacketValues& AValues) {
  const size_t n = AValues.size();
  if (n < 2) return false;
  TNameSet names(n);
  for (size_t i = 0; i < n; ++i)
    if (names.Insert(NameOf(VarPacketRef(AValues[i])))) return true;
  return false;
}

// For a plain TPacket in the general writing path (untyped, or typed with two values or more):
// TPacket::IsPropertyList (every value a typed packet) without repeated names, in one pass.
bool IsPlainPropertyList(const TPacketValues& AValues) {
  const size_t n = AValues.size();
  if (n == 0) return false;
  if (n > 64) {
    for (const Variant& v : AValues) {
      IPacket* p = VarPacketRef(v);
      if (!p || !TypedPacket(p)) return false;
    }
    return !HasRepeatedNames(AValues);
  }
  // The usual object: one pass over a short scanned list, kept apart from the long-list case so
  // that this hot loop stays small.
  TSmallNameSet<64> names;
  for (size_t i = 0; i < n; ++i) {
    IPacket* p = VarPacketRef(AValues[i]);
    if (!p) return false;
    TPacket* k = KnownPacket(p);
    if (!TypedPacket(p, k) || names.Insert(NameOf(p, k))) return false;
  }
  return true;
}

// Escaped text is at most six times as long as its source; long texts go in pieces so the room
// asked for stays small.
constexpr size_t kEscapeChunk = 4096;

// Text to write as a JSON string: itself when it is valid UTF-8, else (XML or raw input with bad
// bytes) a copy in AStore with U+FFFD for each, so that what we write our reader reads back.
std::string_view WritableText(std::string_view S, std::string& AStore) {
  if (simdjson::validate_utf8(S.data(), S.size())) return S;
  AStore = Utf8Sanitize(S);
  return AStore;
}

}  // namespace

void AppendJSONEscaped(std::string& ADest, std::string_view AText) {
  std::string store;
  std::string_view S = WritableText(AText, store);
  while (!S.empty()) {
    std::string_view part = S.substr(0, kEscapeChunk);
    S.remove_prefix(part.size());
    const size_t old = ADest.size();
    ADest.resize(old + part.size() * 6);
    ADest.resize(static_cast<size_t>(EscapeJSONTo(ADest.data() + old, part) - ADest.data()));
  }
}

void TJSONConverter::Grow(size_t ANeed) {
  // Doubles the usable part; within the reserved capacity that only clears the new bytes.
  FOut.resize(std::max(FOut.size() * 2, FLen + ANeed + 256));
}

__attribute__((always_inline)) inline char* TJSONConverter::Room(size_t ACount) {
  if (FOut.size() - FLen < ACount) Grow(ACount);
  return FOut.data() + FLen;
}

__attribute__((always_inline)) inline void TJSONConverter::Commit(char* AEnd) {
  FLen = static_cast<size_t>(AEnd - FOut.data());
}

__attribute__((always_inline)) inline void TJSONConverter::Put(char AChar) {
  *Room(1) = AChar;
  ++FLen;
}

__attribute__((always_inline)) inline void TJSONConverter::Put(std::string_view AText) {
  std::memcpy(Room(AText.size()), AText.data(), AText.size());
  FLen += AText.size();
}

void TJSONConverter::PutEscaped(std::string_view ARaw) {
  std::string store;
  std::string_view AText = WritableText(ARaw, store);
  while (AText.size() > kEscapeChunk) {
    Commit(EscapeJSONTo(Room(kEscapeChunk * 6), AText.substr(0, kEscapeChunk)));
    AText.remove_prefix(kEscapeChunk);
  }
  Commit(EscapeJSONTo(Room(AText.size() * 6), AText));
}

void TJSONConverter::PutQuoted(std::string_view ARaw, std::string_view AAfter) {
  std::string store;
  std::string_view AText = WritableText(ARaw, store);
  if (AText.size() > kEscapeChunk) {
    Put('"');
    PutEscaped(AText);
    Put('"');
    Put(AAfter);
    return;
  }
  char* o = Room(AText.size() * 6 + 2 + AAfter.size());
  *o++ = '"';
  o = EscapeJSONTo(o, AText);
  *o++ = '"';
  if (!AAfter.empty()) std::memcpy(o, AAfter.data(), AAfter.size());
  Commit(o + AAfter.size());
}

void TJSONConverter::Ind(int ALevel) {
  if (!FReadable || ALevel <= 0) return;
  char* o = Room(static_cast<size_t>(ALevel) + 2);
  *o++ = '\r';
  *o++ = '\n';
  std::memset(o, ' ', static_cast<size_t>(ALevel));
  Commit(o + ALevel);
}

void TJSONConverter::PairPrefix(std::string_view AName, int ALevel) {
  Ind(ALevel);
  PutQuoted(AName, std::string_view(":", 1));
}

std::string TJSONConverter::Convert(const IPacketPtr& AData) {
  // The last text's length on this thread guesses the next one's, so the text grows rarely.
  TW_PROGRAM_TLS thread_local size_t tLastSize = 256;
  FOut.clear();
  FOut.reserve(tLastSize + tLastSize / 8);
  // The text is handed out in steps (see Grow), so a small text after a large one does not clear
  // the whole guess.
  FOut.resize(std::min<size_t>(FOut.capacity(), 4096));
  FLen = 0;
  if (AData) WritePacket(AData.get(), 0, false);
  FOut.resize(FLen);
  tLastSize = std::min<size_t>(FLen, size_t(64) << 20);
  return std::move(FOut);
}

std::string TJSONConverter::ToJSON(const IPacketPtr& AData, bool Readable, bool WithTypes) {
  TJSONConverter c(WithTypes, Readable);
  return c.Convert(AData);
}

void TJSONConverter::WritePacket(IPacket* P, int L, bool AsElement) {
  TPacket* known = KnownPacket(P);
  if (!known)
    P->Reset();
  else if (known->TPacket::Pos() != 0)  // a cursor already at 0 is left alone: no store, no dirty line
    known->TPacket::Reset();
  const TPacketValues& values = known ? known->TPacket::__RawData() : P->__RawData();
  const size_t n = values.size();
  if (n > 1)
    for (const Variant& v : values) TPacketValues::PrefetchObject(v.ObjectRef());
  const bool typed = known ? known->TPacket::IsTyped() : P->IsTyped();
  if (typed && n <= 1) {
    const bool wrap = AsElement || L == 0;
    if (wrap) Put('{');
    PairPrefix(NameOf(P, known), L + 2);
    if (n == 0) {
      Put(std::string_view("[]", 2));
    } else if (VarIsPacket(values[0])) {
      // An untyped child is always bracketed, even with fewer than two values: reading
      // "name":{} or "name":[v] back would give a packet without that child.
      IPacketPtr empty;
      IPacket* c = PacketOrEmpty(values[0], empty);
      const bool typedChild = TypedPacket(c);
      Put(typedChild ? '{' : '[');
      WritePacket(c, L + 2, false);
      Put(typedChild ? '}' : ']');
    } else if (values[0].Kind() == (varArray | varVariant)) {
      // A list as the only value keeps its own brackets: the reader spreads a list into values.
      Put('[');
      WriteValue(values[0], L + 2);
      Put(']');
    } else {
      WriteValue(values[0], L + 2);
    }
    if (wrap) Put('}');
    return;
  }
  // A property list with a repeated name is written as a list of objects: an object with
  // repeated keys would read back as one property.
  const bool pl = known ? IsPlainPropertyList(values) : P->IsPropertyList() && !HasRepeatedNames(values);
  char close = 0;
  // A typed element of a list needs its braces too, or the pair would stand bare in the list.
  const bool wrapTyped = typed && (L == 0 || AsElement);
  if (typed) {
    if (wrapTyped) Put('{');
    PairPrefix(NameOf(P, known), L + 2);
    Put(pl ? '{' : '[');
    close = pl ? '}' : ']';
  } else if (pl) {
    Put('{');
    close = '}';
  } else if (n == 0) {
    Put(L < 1 ? std::string_view("[]", 2) : std::string_view("{}", 2));
    return;
  } else if (n != 1) {
    Put('[');
    close = ']';
  }
  for (size_t i = 0; i < n; ++i) {
    if (i) Put(',');
    const Variant& v = values[i];
    char vclose = 0;
    if (!pl) {
      IPacket* child = VarPacketRef(v);
      if (child && TypedPacket(child))
        vclose = '}';
      else if (n == 1)
        vclose = ']';
    }
    if (vclose) Put(vclose == '}' ? '{' : '[');
    WriteValue(v, L + 2);
    if (vclose) Put(vclose);
  }
  if (close) Put(close);
  if (wrapTyped) Put('}');
}

void TJSONConverter::WriteValue(const Variant& V, int L) {
  if (VarIsPacket(V)) {
    IPacketPtr empty;
    WritePacket(PacketOrEmpty(V, empty), L + 1, false);
    return;
  }
  if (V.IsArray()) {
    Put('[');
    if (V.ElementKind() == varVariant) {
      const TVariantArray& items = V.ArrayRef();
      for (size_t i = 0; i < items.size(); ++i) {
        if (i) Put(',');
        if (VarIsPacket(items[i])) {
          IPacketPtr empty;
          WritePacket(PacketOrEmpty(items[i], empty), L + 1, true);
        } else {
          WriteValue(items[i], L + 1);
        }
      }
    } else {
      const TVarKindInfo* row = getVarInfo(V.ElementKind());
      if (!row) throw Exception("Invalid variant type for JSON conversion: " + Variant::KindCode(V.Kind()));
      for (size_t i = 0, n = V.ArrayCount(); i < n; ++i) {
        if (i) Put(',');
        WriteScalar(*row, V.ArrayItem(i));
      }
    }
    Put(']');
    return;
  }
  if (V.IsEmpty()) {
    Put(std::string_view("null", 4));
    return;
  }
  if (!FWithTypes) {
    // The usual kinds straight away; WriteScalar below writes the same texts for them.
    switch (V.Kind()) {
      case varUString:
      case varString:
      case varOleStr:
        if (!V.IsString()) break;
        PutQuoted(V.StrRef());
        return;
      case varInt64:
      case varInteger:
      case varSmallint:
      case varShortInt:
      case varByte:
      case varWord:
      case varLongWord: {
        char* o = Room(24);
        Commit(std::to_chars(o, o + 24, V.RawInt64()).ptr);
        return;
      }
      case varDouble:
        if (!std::isfinite(V.RawDouble())) break;
        Commit(FormatFloatGTo(Room(kFloatGMaxLength), V.RawDouble()));
        return;
      case varBoolean: Put(V.RawBoolean() ? std::string_view("true", 4) : std::string_view("false", 5)); return;
      case varNull: Put(std::string_view("null", 4)); return;
      default: break;
    }
  }
  const TVarKindInfo* row = getVarInfo(V.Kind());
  if (!row) throw Exception("Invalid variant type for JSON conversion: " + Variant::KindCode(V.Kind()));
  WriteScalar(*row, V);
}

void TJSONConverter::WriteScalar(const TVarKindInfo& ARow, const Variant& V) {
  if (!ARow.Format) {
    Put(std::string_view("null", 4));
    return;
  }
  if (FWithTypes) {
    Put(std::string_view("{\"", 2));
    Put(std::string_view(ARow.TypeName));
    Put(std::string_view("\":", 2));
  }
  const char* f = ARow.Format;
  if (f[0] == '%' && f[1] == 'd') {
    char* o = Room(24);
    auto r = V.Kind() == varUInt64 ? std::to_chars(o, o + 24, V.RawUInt64()) : std::to_chars(o, o + 24, V.AsInt64());
    Commit(r.ptr);
  } else if (f[0] == '%' && f[1] == 's') {
    Put('"');
    if (V.IsString())
      PutEscaped(V.StrRef());
    else
      PutEscaped(V.AsString());
    Put('"');
  } else if (f[0] == '%' && f[1] == 'g') {
    double d = V.Kind() == varSingle ? static_cast<double>(V.RawSingle()) : V.AsDouble();
    if (std::isfinite(d))
      Commit(FormatFloatGTo(Room(kFloatGMaxLength), d));
    else
      Put(std::string_view("null", 4));
  } else if (f[0] == '%' && f[1] == 'b') {
    Put(V.AsBoolean() ? std::string_view("true", 4) : std::string_view("false", 5));
  } else if (f[0] == '%' && f[1] == 'm') {
    std::string money;
    AppendMoney(money, V.AsCurrencyScaled());
    Put('"');
    Put(money);
    Put('"');
  } else if (f[0] == 'd' && f[1] == 't') {
    double d = V.AsDateTime();
    if (!(d > 0)) {
      Put(std::string_view("null", 4));
    } else {
      Put('"');
      Put(FixedDateTimeToISOStr(d));
      Put('"');
    }
  } else {
    throw Exception("Invalid Format");
  }
  if (FWithTypes) Put('}');
}

// ---- reader ----

namespace {

class TJSONReader {
 public:
  IPacketPtr Read(const simdjson::dom::element& ARoot) {
    using simdjson::dom::element_type;
    switch (ARoot.type()) {
      case element_type::OBJECT: return BuildObject(ARoot.get_object().value_unsafe());
      case element_type::ARRAY: {
        // An array of variants turned into a packet: its elements spliced at one level; mapped
        // objects are varPacket values, so they stay nested.
        IPacketPtr p = NewPacket();
        TPacketValues& data = p->__RawData();
        simdjson::dom::array a = ARoot.get_array().value_unsafe();
        data.reserve(a.size());
        for (simdjson::dom::element e : a) Append(e, data);
        return p;
      }
      default: return nullptr;
    }
  }

 private:
  // Appends E's value to AList (a TPacketValues or a TVariantArray), made in its place.
  template <class TList>
  void Append(const simdjson::dom::element& E, TList& AList) {
    using simdjson::dom::element_type;
    switch (E.type()) {
      case element_type::OBJECT:
        AList.emplace_back(Variant::TAdoptedPacket{varPacket, BuildObject(E.get_object().value_unsafe()).Detach()});
        return;
      case element_type::ARRAY: {
        simdjson::dom::array a = E.get_array().value_unsafe();
        TVariantArray items;
        items.reserve(a.size());
        for (simdjson::dom::element e : a) Append(e, items);
        AList.emplace_back(Variant::Array(varVariant, std::move(items)));
        return;
      }
      case element_type::INT64: AList.emplace_back(static_cast<long long>(E.get_int64().value_unsafe())); return;
      case element_type::UINT64:  // beyond the signed range
        AList.emplace_back(static_cast<double>(E.get_uint64().value_unsafe()));
        return;
      case element_type::DOUBLE: AList.emplace_back(E.get_double().value_unsafe()); return;
      case element_type::STRING: {
        std::string_view s = E.get_string().value_unsafe();
        TDateTime d;
        if (TCustomConverter::TryRecogniseDateTime(s, d))
          AList.emplace_back(Variant::Date(d));
        else
          AList.emplace_back(s);
        return;
      }
      case element_type::BOOL: AList.emplace_back(E.get_bool().value_unsafe()); return;
      case element_type::NULL_VALUE:
      default: AList.emplace_back(Variant::Null()); return;
    }
  }

  // Appends a member's value to a property's values, as PutValues(Variant) stores it.
  void MapInto(const simdjson::dom::element& E, TPacketValues& ADest) {
    using simdjson::dom::element_type;
    switch (E.type()) {
      case element_type::ARRAY: {
        simdjson::dom::array a = E.get_array().value_unsafe();
        ADest.reserve(ADest.size() + a.size());
        for (simdjson::dom::element e : a) Append(e, ADest);
        return;
      }
      case element_type::OBJECT: {
        simdjson::dom::object o = E.get_object().value_unsafe();
        if (o.size() == 1) {
          ADest.emplace_back(Variant::TAdoptedPacket{varPacket, BuildObject(o).Detach()});
        } else {
          // An untyped object: its properties become the property's own values.
          FillMembers(o, ADest, varPacket);
        }
        return;
      }
      default: Append(E, ADest);
    }
  }

  IPacketPtr BuildObject(const simdjson::dom::object& O) {
    if (O.size() == 1) {
      auto member = *O.begin();
      if (member.key.empty()) return BuildObjectFrom(O);
      IPacketPtr p = NewPacket(std::string(member.key));
      MapInto(member.value, p->__RawData());
      return p;
    }
    return BuildObjectFrom(O);
  }

  IPacketPtr BuildObjectFrom(const simdjson::dom::object& O) {
    IPacketPtr p = NewPacket();
    FillMembers(O, p->__RawData(), varUnknown);
    // Repeated or empty names can leave a single typed packet: the object then stands for it,
    // as an object with that one member would.
    if (p->GetCount() == 1) {
      IPacket* only = VarPacketRef(p->__RawData()[0]);
      if (only && only->IsTyped()) return IPacketPtr(only);
    }
    return p;
  }

  // Stores each member as a property; a repeated name (ignoring case) refills the first one.
  void FillMembers(const simdjson::dom::object& O, TPacketValues& ADest, TVarType AKind) {
    size_t n = O.size();
    size_t first = ADest.size();
    ADest.reserve(first + n);
    TNameSet seen(n);
    for (auto member : O) {
      std::string_view key = member.key;
      if (key.empty()) {
        // A property without a name would be an untyped packet, which reads as a plain list of
        // values and would not survive writing: its values join the object's own.
        MapInto(member.value, ADest);
        continue;
      }
      if (seen.Insert(key)) {
        for (size_t i = first; i < ADest.size(); ++i) {
          IPacket* q = VarPacketRef(ADest[i]);
          if (q && SameName(q->GetTypeName(), key)) {
            q->Clear();
            MapInto(member.value, q->__RawData());
            break;
          }
        }
        continue;
      }
      auto* prop = new TPropertyPacket(key);
      // The value takes over the creator's reference; kind 13 as stored properties are.
      ADest.emplace_back(Variant::TAdoptedPacket{AKind, prop});
      MapInto(member.value, prop->__RawData());
    }
  }
};

// The parser refuses whole numbers beyond 64 bits (above the unsigned range, below the signed
// one); they are read as doubles instead, by marking each such integer token (outside strings)
// with a fraction and parsing again.
bool WidenBigIntegers(std::string_view AText, std::string& AOut) {
  bool changed = false;
  bool inString = false;
  size_t copied = 0;
  for (size_t i = 0; i < AText.size(); ++i) {
    char c = AText[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
      continue;
    }
    bool tokenStart = i == 0 || std::strchr("[,: \t\r\n", AText[i - 1]) != nullptr;
    if (!tokenStart || !((c >= '0' && c <= '9') || c == '-')) continue;
    size_t j = c == '-' ? i + 1 : i;
    size_t digits = j;
    while (j < AText.size() && AText[j] >= '0' && AText[j] <= '9') ++j;
    digits = j - digits;
    bool plain = j == AText.size() || !std::strchr(".eE", AText[j]);
    // Below the signed range with 19 digits already (JSON has no leading zeros).
    bool tooLow = c == '-' && (digits > 19 || (digits == 19 && AText.substr(i + 1, 19) > "9223372036854775808"));
    if ((digits >= 20 || tooLow) && plain) {
      AOut.append(AText.substr(copied, j - copied));
      AOut += ".0";
      copied = j;
      changed = true;
    }
    i = j - 1;
  }
  AOut.append(AText.substr(copied));
  return changed;
}

// Each thread's parser and a padded copy of the text it reads. The parser reads a little past
// the text's end; given an unpadded text it would copy it into a new buffer on every call. The
// buffer grows as texts grow (the parser keeps capacity for the largest text anyway).
struct TThreadReader {
  simdjson::dom::parser Parser;
  std::unique_ptr<char[]> Buffer;
  size_t Capacity = 0;
};

simdjson::simdjson_result<simdjson::dom::element> ParsePadded(std::string_view AText) {
  TW_PROGRAM_TLS thread_local TThreadReader t;
  const size_t need = AText.size() + simdjson::SIMDJSON_PADDING;
  if (need > t.Capacity) {
    t.Buffer.reset(new char[need]);
    t.Capacity = need;
  }
  std::memcpy(t.Buffer.get(), AText.data(), AText.size());
  std::memset(t.Buffer.get() + AText.size(), 0, simdjson::SIMDJSON_PADDING);
  return t.Parser.parse(t.Buffer.get(), AText.size(), false);
}

std::string PacketToJSONHook(IPacket* P) { return TPacketConversions::PacketAsJSON(IPacketPtr(P)); }

}  // namespace

// ---- TPacketConversions ----

std::string TPacketConversions::PacketAsJSON(const IPacketPtr& Data, bool Readable, bool WithTypes) {
  return KeepingCursor(Data, [&] { return TJSONConverter::ToJSON(Data, Readable, WithTypes); });
}

IPacketPtr TPacketConversions::PacketFromJSON(std::string_view JSONString) {
  if (JSONString.empty()) return NewPacket();
  simdjson::dom::element root;
  auto err = ParsePadded(JSONString).get(root);
  std::string widened;
  if (err == simdjson::NUMBER_ERROR && WidenBigIntegers(JSONString, widened)) err = ParsePadded(widened).get(root);
  if (err) throw Exception(kErrInvalidJSON);
  TJSONReader reader;
  return reader.Read(root);
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

const TVarKindInfo* TCustomConverter::getVarInfoByName(std::string_view AName) noexcept {
  for (const TVarKindInfo& row : kKindTable)
    if (SameName(row.TypeName, AName)) return &row;
  return nullptr;
}

void AppendMoneyText(std::string& ADest, int64_t AScaled) { AppendMoney(ADest, AScaled); }

}  // namespace vexor
