#include "packets/json/JSONConverter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <typeinfo>

#include <simdjson.h>

#include "packets/internal/NameSet.h"
#include "packets/internal/PacketsInternal.h"
#include "platform/Exceptions.h"
#include "platform/TextUtf.h"

namespace vexor {

namespace {

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
    Kind[static_cast<unsigned char>('"')] = '"';
    Kind[static_cast<unsigned char>('\\')] = '\\';
  }
};
const TEscapeTable kEscape;

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

}  // namespace

// Text to write as a JSON string: itself when it is valid UTF-8, else (XML or raw input with bad
// bytes) a copy in AStore with U+FFFD for each, so that what we write our reader reads back.
static std::string_view WritableText(std::string_view S, std::string& AStore) {
  if (simdjson::validate_utf8(S.data(), S.size())) return S;
  AStore = Utf8Sanitize(S);
  return AStore;
}

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
  ReleaseSpareRoom(FOut);
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
    Put(ARow.TypeName);
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
    AppendMoneyText(money, V.AsCurrencyScaled());
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

}  // namespace vexor
