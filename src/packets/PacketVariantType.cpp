#include "packets/PacketVariantType.h"

#include <algorithm>
#include <vector>

#include "platform/Exceptions.h"

namespace vexor {

namespace {

// What a parameter of an operation accepts when overloads share a name.
enum TParamKind : uint8_t {
  pkInt,     // integer-like: every integer kind
  pkStr,     // the string kinds
  pkVar,     // everything
  pkBool,    // booleans
  pkPacket,  // packet values
  pkArray,   // none of the ordinary kinds (arrays are converted)
};

using TCall = Variant (*)(IPacket& P, TVariantArray& A);

struct TPacketOperation {
  const char* Name;
  std::vector<TParamKind> Params;
  TCall Call;
};

// Results as the variant layer hands them back.
Variant Ints(const std::vector<int32_t>& A) {
  TVariantArray items(A.begin(), A.end());
  return Variant::Array(varInteger, std::move(items));
}
Variant Int64s(const std::vector<int64_t>& A) {
  TVariantArray items;
  for (int64_t v : A) items.emplace_back(static_cast<long long>(v));
  return Variant::Array(varVariant, std::move(items));
}
std::vector<int32_t> IntList(const Variant& V) {
  std::vector<int32_t> r;
  for (const Variant& e : VarToValuesArray(V)) r.push_back(e.AsInt32());
  return r;
}
TBytes ByteList(const Variant& V) {
  if (V.Kind() == (varArray | varByte)) {
    std::string_view b = V.BytesRef();
    return TBytes(b.begin(), b.end());
  }
  TBytes r;
  for (const Variant& e : VarToValuesArray(V)) r.push_back(static_cast<uint8_t>(e.AsInt32()));
  return r;
}

const std::vector<TPacketOperation>& Operations() {
  // The operations of IPacket that take and give values (callbacks, streams and raw memory are
  // left out: a name cannot carry them). Overloads share a name, in the interface's order.
  static const std::vector<TPacketOperation> kOps = {
      {"Eof", {}, [](IPacket& P, TVariantArray&) { return Variant(P.Eof()); }},
      {"Pos", {}, [](IPacket& P, TVariantArray&) { return Variant(P.Pos()); }},
      {"GetCount", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetCount()); }},
      {"Empty", {}, [](IPacket& P, TVariantArray&) { return Variant(P.Empty()); }},
      {"IsTyped", {}, [](IPacket& P, TVariantArray&) { return Variant(P.IsTyped()); }},
      {"IsTypeOf", {pkStr}, [](IPacket& P, TVariantArray& A) { return Variant(P.IsTypeOf(A[0].AsString())); }},
      {"IsTypeOfEx", {pkStr}, [](IPacket& P, TVariantArray& A) { return Variant(P.IsTypeOfEx(A[0].AsString())); }},
      {"Reset",
       {},
       [](IPacket& P, TVariantArray&) {
         P.Reset();
         return Variant();
       }},
      {"PeekInt", {}, [](IPacket& P, TVariantArray&) { return Variant(P.PeekInt()); }},
      {"PeekVar", {}, [](IPacket& P, TVariantArray&) { return P.PeekVar(); }},
      {"GetAsInt", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsInt()); }},
      {"GetAsUInt", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsUInt()); }},
      {"GetAsLongWord", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsLongWord()); }},
      {"GetAsInt64", {}, [](IPacket& P, TVariantArray&) { return Variant(static_cast<long long>(P.GetAsInt64())); }},
      {"GetAsUInt64",
       {},
       [](IPacket& P, TVariantArray&) { return Variant(static_cast<unsigned long long>(P.GetAsUInt64())); }},
      {"GetAsStr", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsStr()); }},
      {"GetAsStr_", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsStr_()); }},
      {"GetAsBoolean", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsBoolean()); }},
      {"GetAsByte", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsByte()); }},
      {"GetAsVar", {}, [](IPacket& P, TVariantArray&) { return P.GetAsVar(); }},
      {"GetAsDateTime", {}, [](IPacket& P, TVariantArray&) { return Variant::Date(P.GetAsDateTime()); }},
      {"GetAsDouble", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsDouble()); }},
      {"GetAsByteArray", {}, [](IPacket& P, TVariantArray&) { return Variant::ByteArray(P.GetAsByteArray()); }},
      {"GetAsIntArray", {}, [](IPacket& P, TVariantArray&) { return Ints(P.GetAsIntArray()); }},
      {"GetAsInt64Array", {}, [](IPacket& P, TVariantArray&) { return Int64s(P.GetAsInt64Array()); }},
      {"GetAsPacket", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsPacket()); }},
      {"GetAsPacketClone", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetAsPacketClone()); }},
      {"GetPacket", {pkInt}, [](IPacket& P, TVariantArray& A) { return Variant(P.GetPacket(A[0].AsInt32())); }},
      {"Values", {}, [](IPacket& P, TVariantArray&) { return P.Values(); }},
      {"ValuesArray", {}, [](IPacket& P, TVariantArray&) { return Variant::Array(varVariant, P.ValuesArray()); }},
      {"AsVariant", {}, [](IPacket& P, TVariantArray&) { return P.AsVariant(); }},
      {"AsString", {}, [](IPacket& P, TVariantArray&) { return Variant(P.AsString()); }},
      {"AsUntyped", {}, [](IPacket& P, TVariantArray&) { return Variant(P.AsUntyped()); }},
      {"Clear",
       {},
       [](IPacket& P, TVariantArray&) {
         P.Clear();
         return Variant();
       }},
      {"PutVar",
       {pkVar},
       [](IPacket& P, TVariantArray& A) {
         P.PutVar(A[0]);
         return Variant();
       }},
      {"Put",
       {pkArray},
       [](IPacket& P, TVariantArray& A) {
         P.Put(IntList(A[0]));
         return Variant();
       }},
      {"PutVars",
       {pkArray, pkBool},
       [](IPacket& P, TVariantArray& A) {
         TVariantArray items = VarToValuesArray(A[0]);
         P.PutVars(items, A[1].AsBoolean());
         return Variant();
       }},
      {"PutValues",
       {pkPacket},
       [](IPacket& P, TVariantArray& A) {
         P.PutValues(VarToPacket(A[0]));
         return Variant();
       }},
      {"PutValues",
       {pkVar},
       [](IPacket& P, TVariantArray& A) {
         P.PutValues(A[0]);
         return Variant();
       }},
      {"Put",
       {pkInt},
       [](IPacket& P, TVariantArray& A) {
         P.Put(Variant(A[0].AsInt32()));
         return Variant();
       }},
      {"Put",
       {pkStr},
       [](IPacket& P, TVariantArray& A) {
         P.Put(Variant(A[0].AsString()));
         return Variant();
       }},
      {"Put",
       {pkVar},
       [](IPacket& P, TVariantArray& A) {
         P.Put(A[0]);
         return Variant();
       }},
      {"PutConsts",
       {pkArray},
       [](IPacket& P, TVariantArray& A) {
         TVariantArray items = VarToValuesArray(A[0]);
         P.PutConsts(items);
         return Variant();
       }},
      {"Put",
       {pkArray},
       [](IPacket& P, TVariantArray& A) {
         P.Put(ByteList(A[0]));
         return Variant();
       }},
      {"PutProperty",
       {pkStr, pkVar},
       [](IPacket& P, TVariantArray& A) {
         P.PutProperty(A[0].AsString(), A[1]);
         return Variant();
       }},
      {"PutProperty",
       {pkStr, pkVar, pkBool},
       [](IPacket& P, TVariantArray& A) {
         P.PutProperty(A[0].AsString(), A[1], A[2].AsBoolean());
         return Variant();
       }},
      {"PutProperty",
       {pkStr, pkVar, pkBool, pkBool},
       [](IPacket& P, TVariantArray& A) {
         P.PutProperty(A[0].AsString(), A[1], A[2].AsBoolean(), A[3].AsBoolean());
         return Variant();
       }},
      {"AppendPacket",
       {pkPacket},
       [](IPacket& P, TVariantArray& A) {
         P.AppendPacket(VarToPacket(A[0]));
         return Variant();
       }},
      {"MakeUntyped",
       {},
       [](IPacket& P, TVariantArray&) {
         P.MakeUntyped();
         return Variant();
       }},
      {"GetVar", {pkInt}, [](IPacket& P, TVariantArray& A) { return P.GetVar(A[0].AsInt32()); }},
      {"SetVar",
       {pkInt, pkVar},
       [](IPacket& P, TVariantArray& A) {
         P.SetVar(A[0].AsInt32(), A[1]);
         return Variant();
       }},
      {"DataSize", {}, [](IPacket& P, TVariantArray&) { return Variant(P.DataSize()); }},
      {"GetProperty", {pkStr, pkVar}, [](IPacket& P, TVariantArray& A) { return P.GetProperty(A[0].AsString(), A[1]); }},
      {"QueryProperty",
       {pkStr, pkVar},
       [](IPacket& P, TVariantArray& A) { return P.QueryProperty(A[0].AsString(), A[1]); }},
      {"QueryProperty", {pkStr}, [](IPacket& P, TVariantArray& A) { return P.QueryProperty(A[0].AsString()); }},
      {"RemoveProperty",
       {pkStr},
       [](IPacket& P, TVariantArray& A) {
         P.RemoveProperty(A[0].AsString());
         return Variant();
       }},
      {"GetTypeName", {}, [](IPacket& P, TVariantArray&) { return Variant(P.GetTypeName()); }},
      {"IsPropertyList", {}, [](IPacket& P, TVariantArray&) { return Variant(P.IsPropertyList()); }},
      {"IsProperty", {}, [](IPacket& P, TVariantArray&) { return Variant(P.IsProperty()); }},
      {"Apply", {pkVar, pkBool}, [](IPacket& P, TVariantArray& A) { return Variant(P.Apply(A[0], A[1].AsBoolean())); }},
      {"Apply",
       {pkPacket, pkBool},
       [](IPacket& P, TVariantArray& A) { return Variant(P.Apply(VarToPacket(A[0]), A[1].AsBoolean())); }},
      {"Merge",
       {pkPacket, pkBool},
       [](IPacket& P, TVariantArray& A) { return Variant(P.Merge(VarToPacket(A[0]), A[1].AsBoolean())); }},
      {"SetPos",
       {pkInt},
       [](IPacket& P, TVariantArray& A) {
         P.SetPos(A[0].AsInt32());
         return Variant();
       }},
  };
  return kOps;
}

bool Accepts(TParamKind AParam, const Variant& AArg) {
  switch (AParam) {
    case pkVar: return true;
    case pkInt: return AArg.IsOrdinal();
    case pkStr: return AArg.IsString();
    case pkBool: return AArg.Kind() == varBoolean;
    case pkPacket: return VarIsPacket(AArg);
    default: return false;
  }
}

// The overload for the arguments: the only one, else the first whose parameters all accept their
// arguments, else the first.
const TPacketOperation* FindOperation(std::string_view AName, const TVariantArray& AArgs) {
  const TPacketOperation* first = nullptr;
  for (const TPacketOperation& op : Operations()) {
    if (!SameName(op.Name, AName)) continue;
    if (!first) first = &op;
    if (op.Params.size() != AArgs.size()) continue;
    bool all = true;
    for (size_t i = 0; i < AArgs.size() && all; ++i) all = Accepts(op.Params[i], AArgs[i]);
    if (all) return &op;
  }
  return first;
}

}  // namespace

Variant TPacketVariantType::AsCustomVariant(const Variant& V) {
  if (V.Kind() != varPacket && VarIsPacket(V)) return Variant(VarToPacket(V));
  return V;
}

Variant TPacketVariantType::AsPacketVariant(const Variant& V) {
  if (V.Kind() == varPacket || V.Kind() == varUnknown) return AsCustomVariant(V);
  if (V.IsArray()) {
    IPacketPtr p = NewPacket();
    TVariantArray items = V.ArrayItems();
    p->PutVars(items, false);
    return Variant(p);
  }
  return Variant(NewPacketOf("", V));
}

Variant TPacketVariantType::Cast(const Variant& Source) {
  if (Source.Kind() == (varArray | varVariant) || Source.Kind() == varUnknown) return AsPacketVariant(Source);
  return Variant(NewPacketOf("", Source));
}

Variant TPacketVariantType::CastTo(const Variant& Source, TVarType AVarType) {
  IPacketPtr p = VarToPacket(Source);
  Variant text = Variant::Str(varUString, p ? p->AsString() : std::string());
  if (AVarType == varOleStr || AVarType == varString || AVarType == varUString)
    return Variant::Str(AVarType, text.AsString());
  return text.ChangeType(AVarType);
}

int TPacketVariantType::Compare(const Variant& Left, const Variant& Right) {
  const int c = Left.AsString().compare(Right.AsString());
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool TPacketVariantType::GetProperty(Variant& Dest, const Variant& V, std::string_view AName) {
  IPacketPtr p = VarToPacket(V);
  if (!p) return false;
  if (p->GetProperty(AName, Variant::Null(), Dest)) return true;
  if (AName == "TYPENAME") {
    Dest = Variant(p->GetTypeName());
    return true;
  }
  return false;
}

bool TPacketVariantType::SetProperty(const Variant& V, std::string_view AName, const Variant& Value) {
  std::string name(AName);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (IPacketPtr p = VarToPacket(V)) p->PutProperty(name, Value);
  return true;
}

bool TPacketVariantType::DoFunction(Variant& Dest, const Variant& V, std::string_view Name, TVariantArray& Arguments) {
  struct TClearArgs {  // the arguments are emptied afterwards, also when the call fails
    TVariantArray& A;
    ~TClearArgs() {
      for (Variant& a : A) a.Clear();
    }
  } clear{Arguments};
  const TPacketOperation* op = FindOperation(Name, Arguments);
  if (!op) throw Exception("Attempt to call unknown Packet method " + std::string(Name));
  IPacketPtr p = VarToPacket(V);
  if (!p) p = NewPacket();
  // Missing arguments are empty values; surplus ones are ignored.
  TVariantArray args(Arguments);
  args.resize(std::max(args.size(), op->Params.size()));
  for (Variant& a : args)
    if (a.Kind() == varPacket) a = a.ChangeType(varUnknown);
  Variant r = op->Call(*p, args);
  if (!r.IsEmpty()) Dest = std::move(r);
  return true;
}

bool TPacketVariantType::DoProcedure(const Variant& V, std::string_view Name, TVariantArray& Arguments) {
  Variant ignored;
  return DoFunction(ignored, V, Name, Arguments);
}

Variant PacketVarGet(const Variant& V, std::string_view AName) {
  Variant r;
  if (!TPacketVariantType::GetProperty(r, V, AName))
    throw Exception("Property '" + std::string(AName) + "' does not exist");
  return r;
}

void PacketVarSet(const Variant& V, std::string_view AName, const Variant& Value) {
  TPacketVariantType::SetProperty(V, AName, Value);
}

Variant PacketVarCall(const Variant& V, std::string_view AName, TVariantArray Arguments) {
  Variant r;
  TPacketVariantType::DoFunction(r, V, AName, Arguments);
  return r;
}

}  // namespace vexor
