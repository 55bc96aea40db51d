#include "packets/Variant.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "packets/DateText.h"
#include "packets/PacketBlocks.h"
#include "platform/Exceptions.h"
#include "packets/internal/PacketsInternal.h"
#include "packets/Packets.h"

namespace vexor {

static_assert(sizeof(Variant) == 24, "a variant is a kind word and two machine words");

struct Variant::TArrayData {
  TVariantArray Items;  // every array but the byte array
  std::string Bytes;    // the byte array (0x2011)
};

// An array's shared part (with its count) fits a packet block.
std::shared_ptr<Variant::TArrayData> Variant::NewArrayData() {
  return std::allocate_shared<TArrayData>(TPacketBlockAllocator<TArrayData>());
}

namespace {

std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
  return S;
}

bool SameText(std::string_view A, std::string_view B) { return SameName(A, B); }

}  // namespace

// ---- storage ----

Variant::Variant(const Variant& A) { CopyFrom(A); }

Variant& Variant::operator=(const Variant& A) {
  if (this != &A) {
    Variant tmp(A);
    Clear();
    MoveFrom(tmp);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& A) noexcept {
  if (this != &A) {
    Clear();
    MoveFrom(A);
  }
  return *this;
}

Variant::Variant(const TRefPtr<IPacket>& APacket) : FKind(varPacket), FStore(stObject) {
  IPacket* p = APacket.get();
  FData.Obj.Pkt = p;
  FData.Obj.Intf = p;
  if (p) p->_AddRef();
}

void Variant::CopyFrom(const Variant& A) {
  FKind = A.FKind;
  FStore = A.FStore;
  switch (FStore) {
    case stString: new (&FData.Text) TSharedText(A.FData.Text); break;
    case stArray: new (&FData.Arr) std::shared_ptr<const TArrayData>(A.FData.Arr); break;
    case stObject:
      FData.Obj = A.FData.Obj;
      if (FData.Obj.Intf) FData.Obj.Intf->_AddRef();
      break;
    default: FData.I64 = A.FData.I64;
  }
}

void Variant::MoveFrom(Variant& A) noexcept {
  FKind = A.FKind;
  FStore = A.FStore;
  switch (FStore) {
    case stString:
      std::memcpy(static_cast<void*>(&FData), &A.FData, sizeof FData);  // a text moves with its bytes
      break;
    case stArray:
      new (&FData.Arr) std::shared_ptr<const TArrayData>(std::move(A.FData.Arr));
      A.FData.Arr.~shared_ptr();
      break;
    case stObject:
      FData.Obj = A.FData.Obj;  // the reference moves with the bits
      break;
    default: FData.I64 = A.FData.I64;
  }
  A.FKind = varEmpty;
  A.FStore = stTrivial;
  A.FData.I64 = 0;
}

void Variant::ClearStored() noexcept {
  switch (FStore) {
    case stString: FData.Text.~TSharedText(); break;
    case stArray: FData.Arr.~shared_ptr(); break;
    case stObject:
      if (FData.Obj.Intf) FData.Obj.Intf->_Release();
      break;
    default: break;
  }
}

Variant Variant::CurrencyScaled(int64_t AScaled) noexcept {
  Variant v(static_cast<long long>(AScaled));
  v.FKind = varCurrency;
  return v;
}

Variant Variant::FromCurrency(double A) {
  if (!std::isfinite(A) || std::fabs(A) >= 922337203685477.0)
    throw EVariantOverflowError("Overflow while converting variant of type (Double) into type (Currency)");
  return CurrencyScaled(std::llround(A * 10000.0));
}

Variant Variant::Str(TVarType AKind, std::string A) {
  Variant v(std::move(A));
  if (AKind == varOleStr || AKind == varString) v.FKind = AKind;
  return v;
}

Variant Variant::Object(TVarType AKind, const TRefPtr<IInterface>& AObj) {
  Variant v;
  v.FKind = AKind;
  v.FStore = stObject;
  IInterface* i = AObj.get();
  v.FData.Obj.Intf = i;
  v.FData.Obj.Pkt = i ? dynamic_cast<IPacket*>(i) : nullptr;
  if (i) i->_AddRef();
  return v;
}

Variant Variant::Array(TVarType AElemKind, TVariantArray AItems) {
  AElemKind &= varTypeMask;
  auto data = NewArrayData();
  if (AElemKind == varByte) {
    data->Bytes.reserve(AItems.size());
    for (const Variant& e : AItems) data->Bytes.push_back(static_cast<char>(e.ChangeType(varByte).FData.I64));
  } else {
    if (AElemKind != varVariant)
      for (Variant& e : AItems)
        if (e.FKind != AElemKind) e = e.ChangeType(AElemKind);
    data->Items = std::move(AItems);
  }
  Variant v;
  v.FKind = varArray | AElemKind;
  v.FStore = stArray;
  new (&v.FData.Arr) std::shared_ptr<const TArrayData>(std::move(data));
  return v;
}

Variant Variant::ByteArray(std::string_view ABytes) {
  auto data = NewArrayData();
  data->Bytes.assign(ABytes);
  Variant v;
  v.FKind = varArray | varByte;
  v.FStore = stArray;
  new (&v.FData.Arr) std::shared_ptr<const TArrayData>(std::move(data));
  return v;
}

Variant Variant::ByteArray(const TBytes& ABytes) {
  return ByteArray(std::string_view(reinterpret_cast<const char*>(ABytes.data()), ABytes.size()));
}

bool Variant::IsNumeric() const noexcept {
  switch (FKind) {
    case varSingle:
    case varDouble:
    case varCurrency: return true;
    default: return IsOrdinal();
  }
}

bool Variant::IsOrdinal() const noexcept {
  switch (FKind) {
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
    case varUInt64: return true;
    default: return false;
  }
}

size_t Variant::ArrayCount() const noexcept {
  if (FStore != stArray) return 0;
  return ElementKind() == varByte ? FData.Arr->Bytes.size() : FData.Arr->Items.size();
}

Variant Variant::ArrayItem(size_t AIndex) const {
  if (ElementKind() == varByte) return Variant(static_cast<unsigned char>(FData.Arr->Bytes[AIndex]));
  return FData.Arr->Items[AIndex];
}

TVariantArray Variant::ArrayItems() const {
  if (FStore != stArray) return {};
  if (ElementKind() != varByte) return FData.Arr->Items;
  TVariantArray r;
  r.reserve(FData.Arr->Bytes.size());
  for (char c : FData.Arr->Bytes) r.emplace_back(static_cast<unsigned char>(c));
  return r;
}

const TVariantArray& Variant::ArrayRef() const noexcept {
  static const TVariantArray kNone;
  return FStore == stArray ? FData.Arr->Items : kNone;
}

std::string_view Variant::BytesRef() const noexcept {
  return FStore == stArray ? std::string_view(FData.Arr->Bytes) : std::string_view();
}

// ---- names and errors ----

std::string Variant::KindName(TVarType AKind) {
  if (AKind & varArray) return "Array " + KindName(AKind & varTypeMask);
  switch (AKind) {
    case varEmpty: return "Empty";
    case varNull: return "Null";
    case varSmallint: return "Smallint";
    case varInteger: return "Integer";
    case varSingle: return "Single";
    case varDouble: return "Double";
    case varCurrency: return "Currency";
    case varDate: return "Date";
    case varOleStr: return "OleStr";
    case varBoolean: return "Boolean";
    case varVariant: return "Variant";
    case varUnknown: return "Unknown";
    case varShortInt: return "ShortInt";
    case varByte: return "Byte";
    case varWord: return "Word";
    case varLongWord: return "LongWord";
    case varInt64: return "Int64";
    case varUInt64: return "UInt64";
    case varString: return "String";
    case varUString: return "UnicodeString";
    case varPacket: return "Packet";
    default: return KindCode(AKind);
  }
}

std::string Variant::KindCode(TVarType AKind) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, AKind, 16);
  std::string text("$");
  text.append(buf, r.ptr);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void Variant::CastError(TVarType ATo) const {
  throw Exception("Could not convert variant of type (" + KindName(FKind) + ") into type (" + KindName(ATo) + ")");
}

void Variant::OverflowError(TVarType ATo) const {
  throw EVariantOverflowError("Overflow while converting variant of type (" + KindName(FKind) + ") into type (" +
                              KindName(ATo) + ")");
}

// ---- numbers and texts ----

bool TryParseInt64(std::string_view AText, int64_t& AValue) {
  const char* b = AText.data();
  const char* e = b + AText.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, AValue);
  return r.ec == std::errc() && r.ptr == e && b != e;
}

bool TryParseDouble(std::string_view AText, double& AValue) {
  const char* b = AText.data();
  const char* e = b + AText.size();
  if (b != e && *b == '+') ++b;
  if (b == e) return false;
  auto r = std::from_chars(b, e, AValue, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == e;
}

namespace {

// Digits (without the point) and decimal exponent of a scientific text "d.ddde[+-]x".
int SplitScientific(const char* AFrom, const char* ATo, char* ADigits, int& AExp) {
  const char* ePos = AFrom;
  int nd = 0;
  for (; *ePos != 'e'; ++ePos)
    if (*ePos != '.') ADigits[nd++] = *ePos;
  AExp = 0;
  std::from_chars(ePos[1] == '+' ? ePos + 2 : ePos + 1, ATo, AExp);
  return nd;
}

}  // namespace

char* FormatFloatGTo(char* AOut, double AValue) {
  if (AValue == 0) {  // both zeros: "-0" would read back as the integer 0
    *AOut++ = '0';
    return AOut;
  }
  if (!std::isfinite(AValue)) {
    const char* t = std::isnan(AValue) ? "NAN" : (AValue > 0 ? "INF" : "-INF");
    size_t n = std::strlen(t);
    std::memcpy(AOut, t, n);
    return AOut + n;
  }
  const bool neg = AValue < 0;
  const double a = neg ? -AValue : AValue;
  char buf[40];
  char digits[24];
  int exp = 0;
  int nd = 99;
  std::to_chars_result r{};
  // Most values came from short decimal texts. When N / 10^k (both exact doubles) rounds to the
  // value for an integer N below 10^15, the decimal N * 10^-k is the one fifteen-digit decimal
  // that reads back as the value, so it is also the value rounded to fifteen digits (k <= 17
  // keeps this to values of 1e-17 and above, far from the subnormals).
  static constexpr double kPow10[] = {1e0, 1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,
                                      1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17};
  for (int k = 0; k < 18; ++k) {
    const double scaled = a * kPow10[k];
    if (scaled >= 1e15) break;
    const auto whole = static_cast<uint64_t>(scaled);
    if (static_cast<double>(whole) == scaled && scaled / kPow10[k] == a) {
      nd = static_cast<int>(std::to_chars(digits, digits + sizeof digits, whole).ptr - digits);
      exp = nd - 1 - k;
      break;
    }
  }
  // Else the shortest text that reads back as the same double: when it has at most fifteen
  // digits it is also the value rounded to fifteen digits (fifteen-digit decimals are all
  // distinct normal doubles; subnormals carry fewer digits).
  if (nd > 15 && a >= std::numeric_limits<double>::min()) {
    r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
    nd = SplitScientific(buf, r.ptr, digits, exp);
  }
  if (nd > 15) {
    // Fifteen significant digits: d.dddddddddddddde[+-]x
    r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific, 14);
    nd = SplitScientific(buf, r.ptr, digits, exp);
    // Near the largest double, fifteen rounded digits would name a number beyond the range and
    // could not be read back: cut instead of rounding there.
    if (exp == 308 && std::string_view(digits, 15) > "179769313486231") std::memcpy(digits, "179769313486231", 15);
  }
  while (nd > 1 && digits[nd - 1] == '0') --nd;
  char* o = AOut;
  if (neg) *o++ = '-';
  // Counts are differences of digit positions: an empty run (0 or less) copies nothing.
  auto put = [&o](const char* AFrom, int ACount) {
    if (ACount > 0) o = CopyRun(o, AFrom, static_cast<size_t>(ACount));
  };
  auto zeros = [&o](int ACount) {
    std::memset(o, '0', static_cast<size_t>(ACount));
    o += ACount;
  };
  if (exp >= -5 && exp < 15) {
    if (exp < 0) {
      *o++ = '0';
      *o++ = '.';
      zeros(-exp - 1);
      put(digits, nd);
    } else if (nd <= exp + 1) {
      put(digits, nd);
      zeros(exp + 1 - nd);
    } else {
      put(digits, exp + 1);
      *o++ = '.';
      put(digits + exp + 1, nd - exp - 1);
    }
  } else {
    *o++ = digits[0];
    if (nd > 1) {
      *o++ = '.';
      put(digits + 1, nd - 1);
    }
    *o++ = 'E';
    o = std::to_chars(o, o + 8, exp).ptr;
  }
  return o;
}

void AppendFloatG(std::string& ADest, double AValue) {
  char buf[kFloatGMaxLength];
  ADest.append(buf, FormatFloatGTo(buf, AValue));
}

std::string FormatFloatG(double AValue) {
  std::string s;
  AppendFloatG(s, AValue);
  return s;
}

namespace {

// Text of a string or packet value, for the numeric conversions.
bool ValueText(const Variant& V, std::string& AText) {
  if (V.IsString()) {
    AText = V.StrRef();
    return true;
  }
  if (IPacket* p = VarPacketRef(V)) {
    AText = p->AsString();
    return true;
  }
  return false;
}

bool FloatToInt64(double D, int64_t& R) {
  D = std::nearbyint(D);  // round half to even
  if (!(D >= -9223372036854775808.0 && D < 9223372036854775808.0)) return false;
  R = static_cast<int64_t>(D);
  return true;
}

int64_t CurrencyToInt64(int64_t AScaled) {
  int64_t q = AScaled / 10000, r = AScaled % 10000;
  if (r > 5000 || (r == 5000 && (q & 1))) ++q;
  if (r < -5000 || (r == -5000 && (q & 1))) --q;
  return q;
}

void AppendCurrency(std::string& D, int64_t AScaled) {
  uint64_t a = AScaled < 0 ? 0 - static_cast<uint64_t>(AScaled) : static_cast<uint64_t>(AScaled);
  if (AScaled < 0) D.push_back('-');
  D += std::to_string(a / 10000);
  unsigned frac = static_cast<unsigned>(a % 10000);
  if (frac) {
    char b[5] = {char('0' + frac / 1000), char('0' + frac / 100 % 10), char('0' + frac / 10 % 10),
                 char('0' + frac % 10), 0};
    int n = 4;
    while (b[n - 1] == '0') --n;
    D.push_back('.');
    D.append(b, n);
  }
}

}  // namespace

int64_t Variant::AsInt64() const {
  if (FKind == varUInt64 && FData.U64 > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    OverflowError(varInt64);
  if (IsOrdinal()) return FData.I64;
  switch (FKind) {
    case varEmpty: return 0;
    case varBoolean: return FData.Bool ? 1 : 0;
    case varSingle:
    case varDouble:
    case varDate: {
      int64_t r;
      if (!FloatToInt64(FKind == varSingle ? FData.Sgl : FData.Dbl, r)) OverflowError(varInt64);
      return r;
    }
    case varCurrency: return CurrencyToInt64(FData.I64);
    default: break;
  }
  std::string text;
  if (ValueText(*this, text)) {
    std::string_view t = Trim(text);
    int64_t r;
    double d;
    if (TryParseInt64(t, r)) return r;
    if (TryParseDouble(t, d)) {
      if (!FloatToInt64(d, r)) OverflowError(varInt64);
      return r;
    }
  }
  CastError(varInt64);
}

int64_t Variant::ToInt64For(TVarType ATo) const {
  try {
    return AsInt64();
  } catch (const EVariantOverflowError&) {
    OverflowError(ATo);
  } catch (const Exception&) {
    CastError(ATo);
  }
}

int32_t Variant::AsInt32() const {
  if (FKind == varUInt64 && FData.U64 > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    OverflowError(varInteger);
  int64_t v = ToInt64For(varInteger);
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) OverflowError(varInteger);
  return static_cast<int32_t>(v);
}

uint64_t Variant::AsUInt64() const {
  if (FKind == varUInt64) return FData.U64;
  double d;
  switch (FKind) {
    case varSingle:
    case varDouble:
    case varDate:
      d = std::nearbyint(FKind == varSingle ? FData.Sgl : FData.Dbl);
      if (!(d >= 0 && d < 18446744073709551616.0)) OverflowError(varUInt64);
      return static_cast<uint64_t>(d);
    default: break;
  }
  std::string text;
  if (ValueText(*this, text)) {
    std::string_view t = Trim(text);
    uint64_t r;
    auto res = std::from_chars(t.data(), t.data() + t.size(), r);
    if (res.ec == std::errc() && res.ptr == t.data() + t.size() && !t.empty()) return r;
  }
  int64_t v = ToInt64For(varUInt64);
  if (v < 0) OverflowError(varUInt64);
  return static_cast<uint64_t>(v);
}

double Variant::AsDouble() const {
  if (FKind == varUInt64) return static_cast<double>(FData.U64);
  if (IsOrdinal()) return static_cast<double>(FData.I64);
  switch (FKind) {
    case varEmpty: return 0;
    case varBoolean: return FData.Bool ? 1 : 0;
    case varSingle: return FData.Sgl;
    case varDouble:
    case varDate: return FData.Dbl;
    case varCurrency: return static_cast<double>(FData.I64) / 10000.0;
    default: break;
  }
  std::string text;
  if (ValueText(*this, text)) {
    double d;
    if (TryParseDouble(Trim(text), d)) return d;
  }
  CastError(varDouble);
}

TDateTime Variant::AsDateTime() const {
  if (IsString()) {
    std::string_view t = Trim(StrRef());
    TDateTime d;
    if (TryParseDateTimeText(t, d) || TryParseDouble(t, d)) return d;
    CastError(varDate);
  }
  try {
    return AsDouble();
  } catch (const Exception&) {
    CastError(varDate);
  }
}

bool Variant::AsBoolean() const {
  switch (FKind) {
    case varEmpty: return false;
    case varBoolean: return FData.Bool;
    case varUInt64: return FData.U64 != 0;
    case varSingle: return FData.Sgl != 0;
    case varDouble:
    case varDate: return FData.Dbl != 0;
    default:
      if (IsOrdinal() || FKind == varCurrency) return FData.I64 != 0;
      break;
  }
  std::string text;
  if (ValueText(*this, text)) {
    std::string_view t = Trim(text);
    if (SameText(t, "true")) return true;
    if (SameText(t, "false")) return false;
    double d;
    if (TryParseDouble(t, d)) return d != 0;
  }
  CastError(varBoolean);
}

int64_t Variant::AsCurrencyScaled() const {
  if (FKind == varCurrency) return FData.I64;
  if (IsOrdinal() && FKind != varUInt64) {
    if (FData.I64 > 922337203685477 || FData.I64 < -922337203685477) OverflowError(varCurrency);
    return FData.I64 * 10000;
  }
  double d;
  try {
    d = AsDouble();
  } catch (const Exception&) {
    CastError(varCurrency);
  }
  if (!std::isfinite(d) || std::fabs(d) >= 922337203685477.0) OverflowError(varCurrency);
  return std::llround(d * 10000.0);
}

std::string Variant::AsString() const {
  char buf[32];
  if (IsOrdinal()) {
    auto r = FKind == varUInt64 ? std::to_chars(buf, buf + sizeof buf, FData.U64)
                                : std::to_chars(buf, buf + sizeof buf, FData.I64);
    return std::string(buf, r.ptr);
  }
  switch (FKind) {
    case varEmpty: return {};
    case varBoolean: return FData.Bool ? "True" : "False";
    case varSingle: return FormatFloatG(FData.Sgl);
    case varDouble: return FormatFloatG(FData.Dbl);
    case varCurrency: {
      std::string s;
      AppendCurrency(s, FData.I64);
      return s;
    }
    case varDate: return PlainDateTimeText(FData.Dbl, ' ');
    default: break;
  }
  if (IsString()) return std::string(StrRef());
  if (IPacket* p = VarPacketRef(*this)) return p->AsString();
  if (VarIsPacket(*this)) return NewPacket()->AsString();  // a null packet reference
  CastError(varUString);
}

Variant Variant::ChangeType(TVarType AKind) const {
  if (AKind == FKind) return *this;
  switch (AKind) {
    case varEmpty: return Variant();
    case varNull: return Null();
    case varBoolean: return Variant(AsBoolean());
    case varSmallint:
    case varShortInt:
    case varByte:
    case varWord:
    case varInteger:
    case varLongWord: {
      static const struct {
        TVarType K;
        int64_t Lo, Hi;
      } kRanges[] = {{varSmallint, -32768, 32767}, {varShortInt, -128, 127},           {varByte, 0, 255},
                     {varWord, 0, 65535},          {varInteger, INT32_MIN, INT32_MAX}, {varLongWord, 0, UINT32_MAX}};
      int64_t v = ToInt64For(AKind);
      for (const auto& r : kRanges)
        if (r.K == AKind && (v < r.Lo || v > r.Hi)) OverflowError(AKind);
      Variant res(static_cast<long long>(v));
      res.FKind = AKind;
      return res;
    }
    case varInt64: return Variant(static_cast<long long>(AsInt64()));
    case varUInt64: return Variant(static_cast<unsigned long long>(AsUInt64()));
    case varSingle: return Variant(static_cast<float>(AsDouble()));
    case varDouble: return Variant(AsDouble());
    case varCurrency: return CurrencyScaled(AsCurrencyScaled());
    case varDate: return Date(AsDateTime());
    case varOleStr:
    case varString:
    case varUString: return Str(AKind, AsString());
    case varPacket:
      if (FKind == varUnknown && FStore == stObject && !VarIsPacket(*this)) CastError(AKind);
      if (FStore == stObject || (FKind == (varArray | varVariant))) {
        IPacketPtr p = VarToPacket(*this);
        return Variant(p);
      }
      return Variant(NewPacketOf("", *this));
    case varUnknown:
      if (FStore == stObject) {
        Variant r(*this);
        r.FKind = varUnknown;
        return r;
      }
      break;
    default: break;
  }
  CastError(AKind);
}

bool Variant::SameValue(const Variant& A) const {
  if (FKind != A.FKind) return false;
  switch (FStore) {
    case stString: return StrRef() == A.StrRef();
    case stArray: {
      if (FData.Arr == A.FData.Arr) return true;
      if (FData.Arr->Bytes != A.FData.Arr->Bytes || FData.Arr->Items.size() != A.FData.Arr->Items.size()) return false;
      for (size_t i = 0; i < FData.Arr->Items.size(); ++i)
        if (!FData.Arr->Items[i].SameValue(A.FData.Arr->Items[i])) return false;
      return true;
    }
    case stObject: {
      if (FData.Obj.Intf == A.FData.Obj.Intf) return true;
      IPacket* a = VarPacketRef(*this);
      IPacket* b = VarPacketRef(A);
      return a && b && a->AsString() == b->AsString();
    }
    default:
      switch (FKind) {
        case varEmpty:
        case varNull: return true;
        case varBoolean: return FData.Bool == A.FData.Bool;
        case varSingle: return FData.Sgl == A.FData.Sgl;
        case varDouble:
        case varDate: return FData.Dbl == A.FData.Dbl;
        default: return FData.I64 == A.FData.I64;
      }
  }
}

}  // namespace vexor
