#include "packets/internal/RawEncoder.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "packets/raw/RawPacket.h"
#include "platform/StrFormat.h"

namespace vexor {

namespace {

std::string ClassNameOf(IInterface* AObj) {
  const char* mangled = typeid(*AObj).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string s = status == 0 && name ? name.get() : mangled;
  if (s.starts_with("vexor::")) s.erase(0, 7);
  return s;
}

TVarType MinimizedKind(TVarType AKind, int64_t V) {
  if (V >= 0 && V <= 254) return varByte;
  if (V >= 255 && V <= 65534) return varWord;
  if (V >= -126 && V <= -1) return varShortInt;
  if (AKind == varInt64 && V >= 65535 && V <= 2147483646) return varInteger;
  return AKind;
}

}  // namespace

void TEncoder::Grow(int64_t ACount) {
  FBase = FStream.WritableUpTo(FPos + ACount);
  FLimit = FStream.Capacity();
}

// The narrowest kind the minimizing writer stores an integer in (the bounds are part of the

void TEncoder::Integer(TVarType AKind, int64_t V) {
  if (FMinimize && (AKind == varInteger || AKind == varWord || AKind == varInt64)) AKind = MinimizedKind(AKind, V);
  if (V == 0) return Byte(tgZero);
  if (V == -1 && (AKind == varInteger || AKind == varShortInt || AKind == varInt64)) return Byte(tgMinusOne);
  switch (AKind) {
    case varSmallint: return Tagged(tgSmallint, static_cast<int16_t>(V));
    case varInteger: return Tagged(tgInteger, static_cast<int32_t>(V));
    case varShortInt: return Tagged(tgShortInt, static_cast<int8_t>(V));
    case varByte: return Tagged(tgByte, static_cast<uint8_t>(V));
    case varWord: return Tagged(tgWord, static_cast<uint16_t>(V));
    case varLongWord: return Tagged(tgLongWord, static_cast<uint32_t>(V));
    case varInt64: return Tagged(tgInt64, V);
    default: return Tagged(tgUInt64, V);  // varUInt64
  }
}

void TEncoder::Text(TVarType AKind, std::string_view A) {
  if (A.empty()) return Byte(tgEmptyText);
  if (A.size() <= 255) {
    uint8_t* o = Room(2 + static_cast<int64_t>(A.size()));
    o[0] = tgShortText;
    o[1] = static_cast<uint8_t>(A.size());
    std::memcpy(o + 2, A.data(), A.size());
    FPos += 2 + static_cast<int64_t>(A.size());
    return;
  }
  if (A.size() > static_cast<size_t>(kMaxStreamSize)) throw Exception(kErrOutOfMemory);
  Byte(AKind == varOleStr ? tgOleStr : AKind == varString ? tgAnsiString : tgString);
  LongText(A);
}

void TEncoder::Packet(IPacket* P) {
  Byte(tgPacket);
  if (!P) {  // a null packet reference stands for an empty untyped packet
    Fixed<int64_t>(0);
    return;
  }
  // A plain packet is read directly, not through its interface.
  const std::type_info* t = &typeid(*P);
  TPacket* known = t == &typeid(TPacket) || t == &typeid(TPropertyPacket) ? static_cast<TPacket*>(P) : nullptr;
  LongText(known ? known->TPacket::GetTypeName() : P->GetTypeName());
  const TPacketValues& values = known ? known->TPacket::__RawData() : P->__RawData();
  const size_t n = values.size();
  Fixed(static_cast<int32_t>(n));
  // Children live apart in memory: ask for the next ones while this one is written.
  constexpr size_t kAhead = 4;
  for (size_t i = 0; i < n && i < kAhead; ++i) TPacketValues::PrefetchObject(values[i].ObjectRef());
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) TPacketValues::PrefetchObject(values[i + kAhead].ObjectRef());
    Value(values[i]);
  }
}

void TEncoder::Reference(const Variant& V) {
  IInterface* obj = V.ObjectRef();
  if (auto* raw = dynamic_cast<IRawPacket*>(obj)) {
    if (raw->Pos() > 0) raw->SetSize(raw->Pos());
    Byte(tgReference);
    int32_t n = raw->GetSize();
    Fixed(n);
    Bytes(raw->RawData(), n);
    return;
  }
  std::string what = obj ? ClassNameOf(obj) : "Unknown";
  throw Exception(Format(kErrInvalidVariant, what.c_str()));
}

void TEncoder::Array(const Variant& V) {
  const TVarType elem = V.ElementKind();
  const int64_t n = static_cast<int64_t>(V.ArrayCount());
  if (elem == varVariant || elem == varOleStr) {
    uint8_t* o = Room(5);
    o[0] = elem == varVariant ? tgVariantArray : tgOleStrArray;
    Store(o + 1, static_cast<int32_t>(n));
    FPos += 5;
    for (const Variant& e : V.ArrayRef()) Value(e);
    return;
  }
  const TArrayRow* row = ArrayRowByElem(elem);
  if (!row) {
    Byte(tgUnsupported);
    throw Exception(Format(kErrUnsupported, static_cast<unsigned>(V.Kind())));
  }
  uint8_t* o = Room(5 + n * row->Width);
  o[0] = row->Tag;
  Store(o + 1, static_cast<int32_t>(n));
  o += 5;
  if (elem == varByte) {
    std::string_view b = V.BytesRef();
    if (!b.empty()) std::memcpy(o, b.data(), b.size());
  } else {
    for (const Variant& e : V.ArrayRef()) {
      switch (elem) {
        case varSingle: Store(o, e.RawSingle()); break;
        case varDouble:
        case varDate: Store(o, e.RawDouble()); break;
        case varBoolean: Store<uint16_t>(o, e.RawBoolean() ? 0xFFFF : 0); break;
        default: {
          // Integer elements: the low Width bytes of the value, little-endian.
          const int64_t x = e.RawInt64();
          std::memcpy(o, &x, row->Width);
          break;
        }
      }
      o += row->Width;
    }
  }
  FPos += 5 + n * row->Width;
}

void TEncoder::Value(const Variant& V) {
  const TVarType k = V.Kind();
  // The integer kinds: 2, 3 and 16 to 21.
  if (k == varSmallint || k == varInteger || (k >= varShortInt && k <= varUInt64)) return Integer(k, V.RawInt64());
  switch (k) {
    case varEmpty: return Byte(tgEmpty);
    case varNull: return Byte(tgNull);
    case varSingle: {
      if (V.RawSingle() == 0) return Byte(tgZero);
      return Tagged(tgSingle, static_cast<double>(V.RawSingle()));
    }
    case varDouble: {
      double d = V.RawDouble();
      if (d == 0) return Byte(tgZero);
      return Tagged(tgDouble, d);
    }
    case varCurrency: {
      if (V.RawInt64() == 0) return Byte(tgZero);
      return Tagged(tgCurrency, static_cast<double>(V.RawInt64()) / 10000.0);
    }
    case varDate: return Tagged(tgDate, V.RawDouble());
    case varBoolean: {
      return Tagged(tgBoolean, static_cast<uint8_t>(V.RawBoolean() ? 1 : 0));
    }
    case varOleStr:
    case varString:
    case varUString: return Text(k, V.StrRef());
    default: break;
  }
  if (VarIsPacket(V)) return Packet(V.PacketRef());
  if (k == varUnknown) return Reference(V);
  if (V.IsArray()) return Array(V);
  Byte(tgUnsupported);
  throw Exception(Format(kErrUnsupported, static_cast<unsigned>(k)));
}

}  // namespace vexor
