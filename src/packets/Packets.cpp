#include <algorithm>
#include <cstring>
#include <istream>
#include <ostream>

#include "platform/Exceptions.h"
#include "containers/ListErrors.h"
#include "platform/TextUtf.h"
#include "packets/PacketBlocks.h"
#include "packets/internal/PacketsInternal.h"
#include "packets/Packets.h"

namespace vexor {

namespace {

const char kErrReading[] = "Error Reading Packet";
const char kErrData[] = "Invalid packet data.";
const char kErrParam[] = "Invalid Parameter.";
const char kErrMissingChild[] = "Packet Error: Missing child packet.";

TPacket* NewTPacket(std::string_view AName = {}) { return new TPacket(AName); }

IPacketPtr Own(TPacket* P) { return IPacketPtr::Adopt(P); }

// A stored kind-13 packet is handed out as varPacket.
Variant HandOut(const Variant& V) {
  if (V.Kind() == varUnknown && VarIsPacket(V)) {
    IPacketPtr p;
    TryVarToPacket(V, p);
    return Variant(p);
  }
  return V;
}

Variant AsKind13(TPacket* P) {
  // Stored as an interface value (kind 13), adopting the creator's reference.
  return Variant::PacketObject(varUnknown, static_cast<IPacket*>(P), true);
}

int32_t ElementRawSize(TVarType AElem) {
  switch (AElem) {
    case varShortInt:
    case varByte: return 1;
    case varSmallint:
    case varWord:
    case varBoolean: return 2;
    case varInteger:
    case varLongWord:
    case varSingle: return 4;
    case varDouble:
    case varDate:
    case varInt64:
    case varUInt64: return 8;
    default: return 0;
  }
}

int32_t ValueDataSize(const Variant& V) {
  switch (V.Kind()) {
    case varShortInt:
    case varByte: return 2;
    case varSmallint:
    case varBoolean:
    case varWord: return 3;
    case varInteger:
    case varLongWord: return 5;
    case varSingle:
    case varDouble:
    case varCurrency:
    case varDate:
    case varInt64:
    case varUInt64: return 9;
    case varOleStr:
    case varString:
    case varUString: return static_cast<int32_t>(Utf16Length(V.StrRef())) + 5;
    default: break;
  }
  if (IPacket* p = VarPacketRef(V)) return p->DataSize() + 1;
  if (V.IsArray()) {
    TVarType e = V.ElementKind();
    if (int32_t sz = ElementRawSize(e)) return 5 + sz * static_cast<int32_t>(V.ArrayCount());
    if (e == varOleStr || e == varVariant) {
      int32_t n = 5;
      for (const Variant& item : V.ArrayRef()) n += ValueDataSize(item);
      return n;
    }
  }
  return 1;
}

bool IsNumericArrayElem(TVarType E) { return ElementRawSize(E) != 0; }

}  // namespace

// ---- names, hook ----

bool SameName(std::string_view A, std::string_view B) noexcept {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(A[i]), b = static_cast<unsigned char>(B[i]);
    if (a != b) {
      if (a >= 'A' && a <= 'Z') a += 32;
      if (b >= 'A' && b <= 'Z') b += 32;
      if (a != b) return false;
    }
  }
  return true;
}

std::string DefaultPacketToString(IPacket*) { return "<Packet>"; }

TPacketToStringHook PacketToStringHook = &DefaultPacketToString;

// ---- unit-level functions ----

bool TryVarToPacket(const Variant& V, IPacketPtr& P) {
  if (!VarIsPacket(V)) return false;
  IPacket* p = VarPacketRef(V);
  P = p ? IPacketPtr(p) : NewPacket();
  return true;
}

IPacketPtr VarToPacket(const Variant& V) {
  if (V.Kind() == varPacket || V.Kind() == varUnknown) {
    IPacket* p = VarPacketRef(V);
    return p ? IPacketPtr(p) : NewPacket();
  }
  if (V.IsArray()) {
    IPacketPtr p = NewPacket();
    if (V.ElementKind() == varVariant) {
      p->PutVars(V.ArrayRef(), true);
    } else {
      for (size_t i = 0, n = V.ArrayCount(); i < n; ++i) p->Put(V.ArrayItem(i));
    }
    return p;
  }
  return nullptr;
}

TVariantArray VarToValuesArray(const Variant& V) {
  if (V.IsArray()) return V.ArrayItems();
  if (VarIsPacket(V)) {
    IPacketPtr p = VarToPacket(V);
    if ((p->IsTyped() && p->GetCount() < 2) || p->IsPropertyList()) return {V};
    return p->ValuesArray();
  }
  return {V};
}

IPacketPtr NewPacket(std::string TypeName) { return Own(NewTPacket(TypeName)); }

IPacketPtr NewPacketOf(std::string TypeName, const Variant& Value) {
  IPacketPtr p = NewPacket(std::move(TypeName));
  p->PutVars(std::span<const Variant>(&Value, 1), true);
  return p;
}

IPacketPtr NewPacketOfValues(std::string TypeName, std::span<const Variant> Values, bool SingleLevel) {
  IPacketPtr p = NewPacket(std::move(TypeName));
  p->PutVars(Values, SingleLevel);
  return p;
}

IPacketPtr NewPacketOfValues(std::string TypeName, std::initializer_list<Variant> Values, bool SingleLevel) {
  return NewPacketOfValues(std::move(TypeName), std::span<const Variant>(Values.begin(), Values.size()), SingleLevel);
}

IPacketPtr NewPacketFromArray(std::string TypeName, TVariantArray Values) {
  return Own(new TPacket(TypeName, std::move(Values)));
}

namespace {

Variant CloneValue(const Variant& V) {
  IPacketPtr p;
  if (TryVarToPacket(V, p)) {
    IPacketPtr c = ClonePacket(p);
    return Variant::PacketObject(varUnknown, c.get());
  }
  if (V.Kind() == (varArray | varVariant)) {
    TVariantArray items;
    items.reserve(V.ArrayCount());
    for (const Variant& e : V.ArrayRef()) items.push_back(CloneValue(e));
    return Variant::Array(varVariant, std::move(items));
  }
  return V;
}

}  // namespace

IPacketPtr ClonePacket(const IPacketPtr& P) {
  if (!P) return nullptr;
  TPacket* c = P->IsProperty() ? new TPropertyPacket(P->GetTypeName()) : NewTPacket(P->GetTypeName());
  IPacketPtr result = Own(c);
  const TPacketValues& src = P->__RawData();
  TPacketValues& dst = c->__RawData();
  dst.reserve(src.size());
  for (const Variant& v : src) dst.push_back(CloneValue(v));
  return result;
}

// ---- packet blocks ----

static_assert(alignof(TPacket) <= 8, "packet blocks are 8-byte aligned");

void* TPacket::operator new(size_t ASize) { return AllocatePacketBlock(ASize); }

void TPacket::operator delete(void* APtr, size_t ASize) noexcept { FreePacketBlock(APtr, ASize); }

// ---- TReadablePacket ----

TReadablePacket::TReadablePacket(std::string_view AName, TVariantArray&& AValues)
    : FData(std::move(AValues)), FTypeName(AName) {}

TReadablePacket::TReadablePacket(IPacket* APacket, int32_t FromPos) {
  FTypeName = TSharedText(APacket->GetTypeName());
  const TPacketValues& src = APacket->__RawData();
  if (FromPos < 0) FromPos = APacket->Pos();
  size_t from = std::min(static_cast<size_t>(std::max(FromPos, 0)), src.size());
  FData.assign(src.begin() + static_cast<ptrdiff_t>(from), src.end());
}

const Variant& TReadablePacket::NextValue() {
  if (FPos < 0 || static_cast<size_t>(FPos) >= FData.size()) throw Exception(kErrReading);
  return FData[static_cast<size_t>(FPos++)];
}

// ---- TPacket: reading ----

bool TPacket::Eof() { return FPos >= static_cast<int32_t>(FData.size()); }
int32_t TPacket::GetCount() { return static_cast<int32_t>(FData.size()); }
bool TPacket::Empty() { return FData.empty(); }
bool TPacket::IsTypeOf(std::string_view ATypeName) { return FTypeName == ATypeName; }
bool TPacket::IsTypeOfEx(std::string_view ATypeName) { return SameName(FTypeName, ATypeName); }
void TPacket::SetPos(int32_t NewPos) { FPos = NewPos; }
bool TPacket::IsProperty() { return FIsProperty; }

int32_t TPacket::PeekInt() {
  int32_t v = GetAsInt();
  --FPos;
  return v;
}

Variant TPacket::PeekVar() {
  Variant v = GetAsVar();
  --FPos;
  return v;
}

int32_t TPacket::GetAsInt() { return NextValue().AsInt32(); }
uint32_t TPacket::GetAsUInt() { return static_cast<uint32_t>(NextValue().AsInt64()); }
uint32_t TPacket::GetAsLongWord() { return GetAsUInt(); }
int64_t TPacket::GetAsInt64() { return NextValue().AsInt64(); }
uint64_t TPacket::GetAsUInt64() { return NextValue().AsUInt64(); }
std::string TPacket::GetAsStr() { return NextValue().AsString(); }

std::string TPacket::GetAsStr_() {
  const Variant& v = NextValue();
  if (v.IsString()) return std::string(v.StrRef());
  if (v.IsNumeric()) return v.AsString();
  return {};
}

bool TPacket::GetAsBoolean() { return NextValue().AsBoolean(); }
uint8_t TPacket::GetAsByte() { return static_cast<uint8_t>(NextValue().AsInt32()); }
Variant TPacket::GetAsVar() { return HandOut(NextValue()); }
void TPacket::GetAsVar(Variant& Value) { Value = GetAsVar(); }
TDateTime TPacket::GetAsDateTime() { return NextValue().AsDateTime(); }
double TPacket::GetAsDouble() { return NextValue().AsDouble(); }

void TPacket::GetAsData(void* Buffer, int32_t Size) {
  const Variant& v = NextValue();
  if (v.Kind() != (varArray | varByte) || Size < 0 || v.ArrayCount() != static_cast<size_t>(Size))
    throw Exception(kErrData);
  if (!Buffer) throw Exception(kErrParam);
  std::string_view b = v.BytesRef();
  if (!b.empty()) std::memcpy(Buffer, b.data(), b.size());
}

TBytes TPacket::GetAsByteArray() {
  const Variant& v = NextValue();
  if (v.Kind() == (varArray | varByte)) {
    std::string_view b = v.BytesRef();
    return TBytes(b.begin(), b.end());
  }
  if (v.IsNumeric()) return {static_cast<uint8_t>(v.AsInt64())};
  throw Exception(kErrData);
}

std::vector<int32_t> TPacket::GetAsIntArray() {
  const Variant& v = NextValue();
  if (v.Kind() == (varArray | varInteger)) {
    std::vector<int32_t> r;
    r.reserve(v.ArrayCount());
    for (const Variant& e : v.ArrayRef()) r.push_back(static_cast<int32_t>(e.RawInt64()));
    return r;
  }
  if (v.IsNumeric()) return {v.AsInt32()};
  throw Exception(kErrData);
}

std::vector<int64_t> TPacket::GetAsInt64Array() {
  const Variant& v = NextValue();
  if (v.Kind() == (varArray | varInteger)) {
    std::vector<int64_t> r;
    r.reserve(v.ArrayCount());
    for (const Variant& e : v.ArrayRef()) r.push_back(e.RawInt64());
    return r;
  }
  if (v.IsNumeric()) return {v.AsInt64()};
  throw Exception(kErrData);
}

IPacketPtr TPacket::GetAsPacket() {
  IPacketPtr p = VarToPacket(NextValue());
  if (!p) throw Exception(kErrMissingChild);
  p->Reset();
  return p;
}

IPacketPtr TPacket::GetAsPacketClone() { return Own(new TPacket(static_cast<IPacket*>(this), FPos)); }

// Indices are checked: a bad one raises the lists' index error instead of reading past the values.
const Variant& TPacket::ValueAt(int32_t Index) const {
  CheckListIndex(Index, static_cast<int>(FData.size()));
  return FData[static_cast<size_t>(Index)];
}

IPacketPtr TPacket::GetPacket(int32_t Index) { return VarToPacket(ValueAt(Index)); }

void TPacket::GetAsStrings(std::vector<std::string>& L) {
  L.clear();
  const Variant& v = NextValue();
  if (!v.IsArray()) throw Exception(kErrData);
  for (size_t i = 0, n = v.ArrayCount(); i < n; ++i) L.push_back(v.ArrayItem(i).AsString());
}

Variant TPacket::Values() { return Variant::Array(varVariant, ValuesArray()); }

TVariantArray TPacket::ValuesArray() {
  TVariantArray r;
  r.reserve(FData.size());
  for (const Variant& v : FData) r.push_back(HandOut(v));
  return r;
}

Variant TPacket::AsVariant() { return Variant(IPacketPtr(this)); }

std::string TPacket::AsString() { return PacketToStringHook ? PacketToStringHook(this) : std::string(); }

IPacketPtr TPacket::AsUntyped() {
  if (!IsTyped()) return IPacketPtr(this);
  IPacketPtr p = NewPacket();
  p->Put(AsVariant());
  return p;
}

Variant TPacket::GetVar(int32_t Index) { return HandOut(ValueAt(Index)); }

void TPacket::SetVar(int32_t Index, const Variant& Value) {
  CheckListIndex(Index, static_cast<int>(FData.size()));
  Variant& stored = FData[static_cast<size_t>(Index)];
  if (!VarIsPacket(Value) && stored.SameValue(Value)) return;
  stored = Value;
}

int32_t TPacket::DataSize() {
  int32_t n = static_cast<int32_t>(Utf16Length(FTypeName)) + 8;
  for (const Variant& v : FData) n += ValueDataSize(v);
  return n;
}

bool TPacket::IsPropertyList() {
  if (FData.empty()) return false;
  if (IsTyped() && FData.size() == 1) return true;
  for (const Variant& v : FData) {
    IPacket* p = VarPacketRef(v);
    if (!p || !p->IsTyped()) return false;
  }
  return true;
}

// ---- TPacket: writing ----

void TPacket::Clear() {
  FData.clear();
  FPos = 0;
}

void TPacket::PutVar(const Variant& Value) {
  if (VarIsPacket(Value) && !VarPacketRef(Value)) {
    FData.emplace_back(NewPacket());
    return;
  }
  FData.push_back(Value);
}

void TPacket::Put(std::initializer_list<int32_t> Args) {
  for (int32_t a : Args) FData.emplace_back(a);
}

void TPacket::PutVars(std::span<const Variant> Args, bool SingleLevel) {
  for (const Variant& a : Args) {
    if (SingleLevel && a.Kind() != varPacket && VarIsPacket(a)) {
      IPacket* p = VarPacketRef(a);
      if (!p) continue;  // a null reference stands for an empty packet
      if (!p->IsTyped()) {
        AppendPacket(IPacketPtr(p));
        continue;
      }
    }
    PutVar(a);
  }
}

void TPacket::PutValues(const IPacketPtr& Values) {
  if (!Values) return;
  TVariantArray vals = Values->ValuesArray();  // a copy: Values may be this packet
  for (const Variant& v : vals) PutVar(v);
}

void TPacket::PutValues(const Variant& Values) {
  if (Values.IsEmpty()) return;
  if (Values.IsArray()) {
    if (Values.ElementKind() == varVariant) {
      Variant keep(Values);  // keeps the element store alive if Values lives in this packet
      PutVars(keep.ArrayRef(), false);
    } else {
      TVariantArray items = Values.ArrayItems();
      PutVars(items, false);
    }
    return;
  }
  if (VarIsPacket(Values)) {
    IPacket* p = VarPacketRef(Values);
    if (!p) return;
    if (!p->IsTyped()) {
      TVariantArray vals = p->ValuesArray();
      FData.reserve(FData.size() + vals.size());
      PutVars(vals, false);
      return;
    }
  }
  FData.push_back(Values);
}

void TPacket::Put(const Variant& Value) { FData.push_back(Value); }
void TPacket::PutConsts(std::span<const Variant> Args) { PutVars(Args, true); }
void TPacket::Put(const TBytes& Value) { FData.push_back(Variant::ByteArray(Value)); }

void TPacket::Put(const std::vector<int32_t>& Value) {
  TVariantArray items(Value.begin(), Value.end());
  FData.push_back(Variant::Array(varInteger, std::move(items)));
}

void TPacket::Put(const std::vector<uint32_t>& Value) {
  TVariantArray items(Value.begin(), Value.end());
  FData.push_back(Variant::Array(varLongWord, std::move(items)));
}

void TPacket::Put(const std::vector<std::string>& Values) {
  TVariantArray items;
  items.reserve(Values.size());
  for (const std::string& s : Values) items.push_back(Variant::Str(varOleStr, s));
  FData.push_back(Variant::Array(varOleStr, std::move(items)));
}

int32_t TPacket::PutFromStream(std::istream& AStream, int32_t Size) {
  std::string buf(static_cast<size_t>(std::max(Size, 0)), '\0');
  AStream.read(buf.data(), static_cast<std::streamsize>(buf.size()));
  buf.resize(static_cast<size_t>(AStream.gcount()));
  if (AStream.eof()) AStream.clear(AStream.rdstate() & ~(std::ios::failbit | std::ios::eofbit));
  FData.push_back(Variant::ByteArray(buf));
  return static_cast<int32_t>(buf.size());
}

void TPacket::GetAsStreamData(std::ostream& AStream) {
  const Variant& v = NextValue();
  if (v.Kind() != (varArray | varByte)) throw Exception(kErrData);
  std::string_view b = v.BytesRef();
  AStream.write(b.data(), static_cast<std::streamsize>(b.size()));
}

void TPacket::PutData(const void* Data, int32_t Len) {
  if (Len < 0 || (!Data && Len > 0)) throw Exception(kErrParam);
  FData.push_back(Variant::ByteArray(std::string_view(static_cast<const char*>(Data), static_cast<size_t>(Len))));
}

void TPacket::AppendPacket(const IPacketPtr& Value) {
  if (!Value) return;
  if (Value->IsTyped()) {
    FData.push_back(Variant::PacketObject(varUnknown, Value.get()));
    return;
  }
  TPacketValues vals = Value->__RawData();  // a copy: Value may be this packet
  FData.insert(FData.end(), std::make_move_iterator(vals.begin()), std::make_move_iterator(vals.end()));
}

// ---- TPacket: walking ----

void TPacket::ForEach(const TPacketValueProc& EnumMethod) {
  for (size_t i = 0; i < FData.size(); ++i) EnumMethod(HandOut(FData[i]));
}

void TPacket::ForEachPacket(const TPacketProc& EnumMethod) {
  if (IsPropertyList()) {
    EnumMethod(IPacketPtr(this));
    return;
  }
  for (size_t i = 0; i < FData.size(); ++i)
    if (IPacketPtr p = VarToPacket(FData[i])) EnumMethod(p);
}

void TPacket::ForEachProperty(const TPacketPropertyProc& EnumMethod) {
  for (int32_t i = 0; i < GetCount(); ++i) EnumMethod(GetPropName(i), GetPropValueByIndex(i));
}

IPacketPtr TPacket::Filter(const TPacketFilterFunc& FilterMethod) {
  IPacketPtr r = NewPacket();
  for (size_t i = 0; i < FData.size(); ++i) {
    Variant v = HandOut(FData[i]);
    if (FilterMethod(v)) r->Put(v);
  }
  return r;
}

IPacketPtr TPacket::Map(const TPacketMapFunc& MapMethod) {
  IPacketPtr r = NewPacket();
  for (size_t i = 0; i < FData.size(); ++i) r->Put(MapMethod(HandOut(FData[i])));
  return r;
}

// ---- TPropertyPacket ----

TPropertyPacket::TPropertyPacket(std::string_view AName, const Variant& PropValue) : TPacket(AName) {
  FIsProperty = true;
  if (PropValue.IsArray() && IsNumericArrayElem(PropValue.ElementKind()) && PropValue.ArrayCount() >= 2)
    FData.push_back(PropValue);
  else
    PutValues(PropValue);
}

// ---- record adder ----

TPacketRecordAdder::TPacketRecordAdder(TPacket* ATarget, std::string AName, std::vector<std::string> AColumns)
    : FTarget(ATarget), FName(std::move(AName)), FColumns(std::move(AColumns)) {}

TPacketRecordAdder& TPacketRecordAdder::operator()(const TVariantArray& AValues) {
  FTarget->Put(Variant(NewRecordPacket(FName, FColumns, AValues)));
  return *this;
}

TPacketRecordAdder TPacket::Records(std::string_view AName, std::vector<std::string> Columns) {
  return TPacketRecordAdder(this, std::string(AName), std::move(Columns));
}

Variant AdoptAsInterfaceValue(TPacket* ANew) { return AsKind13(ANew); }
Variant HandOutValue(const Variant& V) { return HandOut(V); }

}  // namespace vexor
