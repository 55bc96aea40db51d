#include "browser/bridge/CefConversion.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"

namespace vexor {

// ---- kind 291 ----

namespace {
std::atomic<bool> gJsKindRegistered{false};

bool IsStringKind(TVarType K) { return K == varOleStr || K == varString || K == varUString; }
bool IsFloatKind(TVarType K) { return K == varSingle || K == varDouble || K == varCurrency; }

// Local date-time <-> the milliseconds since the Unix epoch (UTC) that a JavaScript Date holds.
double LocalToJsTime(TDateTime ALocal) { return std::round(DateTimeToUnix(LocalToUTC(ALocal)) * 1000.0); }
TDateTime JsTimeToLocal(double AUnixMs) { return UTCToLocal(UnixToDateTime(AUnixMs / 1000.0)); }
}  // namespace

void TCef8ValueVariantType::Register() { gJsKindRegistered.store(true, std::memory_order_release); }

bool TCef8ValueVariantType::Registered() noexcept { return gJsKindRegistered.load(std::memory_order_acquire); }

Variant TCef8ValueVariantType::Make(const TJsValuePtr& AValue) {
  return Variant::Object(varCefV8Value, TRef<IInterface>(static_cast<IInterface*>(AValue.get())));
}

TJsValuePtr TCef8ValueVariantType::ValueOf(const Variant& V) {
  if (V.Kind() != varCefV8Value) return nullptr;
  return TJsValuePtr(dynamic_cast<TJsValue*>(V.ObjectRef()));
}

// ---- JavaScript value -> variant ----

Variant TCefConversion::CefToVariant(const TJsValuePtr& ACef) {
  if (!ACef) throw Exception("Invalid argument type");
  const TJsValue& c = *ACef;
  switch (c.Kind()) {
    case TJsKind::jkUndefined: return Variant();
    case TJsKind::jkNull: return Variant::Null();
    case TJsKind::jkBool: return Variant(c.BoolValue());
    case TJsKind::jkInt: return Variant(c.IntValue());
    case TJsKind::jkDate: return Variant::Date(JsTimeToLocal(c.NumberValue()));
    case TJsKind::jkDouble: return Variant(c.NumberValue());
    case TJsKind::jkString: return Variant(c.StringValue());
    case TJsKind::jkFunction: return TCef8ValueVariantType::Make(ACef);
    case TJsKind::jkArray: return Variant::Array(varVariant, VarArrayFromCef(c.Items()));
    case TJsKind::jkObject: {
      IPacketPtr p = NewPacket();
      IPacketPropertyAccessPtr props = p->GetProperties();
      for (size_t i = 0; i < c.Items().size(); ++i) props->SetPropValue(c.Keys()[i], CefToVariant(c.Items()[i]));
      return Variant(p);
    }
  }
  throw Exception("Invalid argument type");
}

// ---- variant -> JavaScript value ----

namespace {

TJsValuePtr ValuesToArray(IPacket& P) {
  TJsValueList items;
  items.reserve(static_cast<size_t>(P.GetCount()));
  for (int32_t i = 0; i < P.GetCount(); ++i) items.push_back(TCefConversion::VariantToCef(P.GetVar(i)));
  return TJsValue::Array(std::move(items));
}

// The object of an untyped property list: one member per named property.
TJsValuePtr PropertiesToObject(IPacket& P) {
  IPacketPropertyAccessPtr props = P.GetProperties();
  std::vector<std::pair<std::string, TJsValuePtr>> members;
  const int32_t n = props->GetCount();
  members.reserve(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i)
    members.emplace_back(props->GetPropName(i), TCefConversion::VariantToCef(props->GetPropValueByIndex(i)));
  return TJsValue::Object(std::move(members));
}

TJsValuePtr PacketToCef(IPacket& P) {
  if (P.IsTyped()) {
    std::string name(P.GetTypeName());
    if (P.GetCount() == 1) return TJsValue::Object({{name, TCefConversion::VariantToCef(P.GetVar(0))}});
    if (P.IsPropertyList()) {
      IPacketPtr untyped = NewPacketFromArray({}, P.ValuesArray());
      return TJsValue::Object({{name, PropertiesToObject(*untyped)}});
    }
    return ValuesToArray(P);
  }
  if (P.IsPropertyList()) return PropertiesToObject(P);
  return ValuesToArray(P);
}

}  // namespace

TJsValuePtr TCefConversion::VariantToCef(const Variant& AVal) {
  const TVarType k = AVal.Kind();
  if (k == varEmpty) return TJsValue::Undefined();
  if (k == varNull) return TJsValue::Null();
  if (IsStringKind(k)) return TJsValue::String(std::string(AVal.StrRef()));
  if (k == varBoolean) return TJsValue::Bool(AVal.RawBoolean());
  if (IsFloatKind(k)) return TJsValue::Double(AVal.AsDouble());
  if (AVal.IsOrdinal()) {
    // A JavaScript integer is 32 bits wide; wider values keep their worth as a number.
    if (k == varUInt64) {
      const uint64_t u = AVal.RawUInt64();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        return TJsValue::Int(static_cast<int32_t>(u));
      return TJsValue::Double(static_cast<double>(u));
    }
    const int64_t i = AVal.AsInt64();
    if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max())
      return TJsValue::Int(static_cast<int32_t>(i));
    return TJsValue::Double(static_cast<double>(i));
  }
  if (k == varDate) return TJsValue::Date(LocalToJsTime(AVal.RawDouble()));
  if (AVal.IsArray()) {
    TJsValueList items;
    items.reserve(AVal.ArrayCount());
    for (size_t i = 0; i < AVal.ArrayCount(); ++i) items.push_back(VariantToCef(AVal.ArrayItem(i)));
    return TJsValue::Array(std::move(items));
  }
  if (VarIsPacket(AVal)) {
    IPacket* p = VarPacketRef(AVal);
    return p ? PacketToCef(*p) : TJsValue::Null();
  }
  if (TJsValuePtr held = TCef8ValueVariantType::ValueOf(AVal)) return held;
  if (auto* fp = dynamic_cast<IFormattedPacket*>(AVal.ObjectRef())) {
    std::vector<std::pair<std::string, TJsValuePtr>> members;
    for (auto& [name, value] : fp->NamedValues()) members.emplace_back(name, VariantToCef(value));
    return TJsValue::Object(std::move(members));
  }
  throw Exception("Unsupported variant conversion");
}

TVariantArray TCefConversion::VarArrayFromCef(const TJsValueList& AArguments) {
  TVariantArray r;
  r.reserve(AArguments.size());
  for (const TJsValuePtr& a : AArguments) r.push_back(CefToVariant(a));
  return r;
}

TJsValueList TCefConversion::VarArrayToCefs(const TVariantArray& AValues) {
  TJsValueList r;
  r.reserve(AValues.size());
  for (const Variant& v : AValues) r.push_back(VariantToCef(v));
  return r;
}

void TCefConversion::ClearCefArray(TJsValueList& AValues) noexcept {
  for (TJsValuePtr& v : AValues) v = nullptr;
}

void TCefConversion::ClearVarArray(TVariantArray& AValues) noexcept {
  for (Variant& v : AValues) v.Clear();
}

// ---- JSON text ----

std::string TCefConversion::JSONEscape(std::string_view AText) {
  // The packets' escaper leaves '/' alone; script texts built here escape it too.
  std::string r;
  r.reserve(AText.size() + 8);
  for (;;) {
    const size_t slash = AText.find('/');
    AppendJSONEscaped(r, AText.substr(0, slash));
    if (slash == std::string_view::npos) return r;
    r += "\\/";
    AText.remove_prefix(slash + 1);
  }
}

std::string TCefConversion::DateToText(TDateTime ADate) {
  const TDecodedDateTime d = DecodeDateTime(ADate);
  // The bias (UTC minus local time, minutes) in force now, not at the date itself.
  const int bias = -LocalUTCOffsetMinutes(Now());
  char buf[80];
  std::snprintf(buf, sizeof buf, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d,%d%s%.2d:%.2d", d.Year, d.Month, d.Day, d.Hour,
                d.Minute, d.Second, d.MilliSecond, bias > 0 ? "-" : "+", std::abs(bias) / 60, std::abs(bias) % 60);
  return buf;
}

namespace {
std::string Quoted(const std::string& AText) {
  std::string r;
  r.reserve(AText.size() + 2);
  r += '"';
  r += AText;
  r += '"';
  return r;
}
}  // namespace

std::string TCefConversion::VarToJSONStr(const Variant& V) {
  const TVarType k = V.Kind();
  if (IsStringKind(k)) return Quoted(JSONEscape(V.StrRef()));
  if (k == varDate) return Quoted(DateToText(V.RawDouble()));
  if (k == varBoolean) return V.RawBoolean() ? "true" : "false";
  if (IsFloatKind(k)) return FormatFloatG(V.AsDouble());
  if (k == varUInt64) return std::to_string(V.RawUInt64());
  if (V.IsOrdinal()) return std::to_string(V.AsInt64());
  if (k == varNull) return "null";
  if (V.IsArray()) return VarArrayToJSON(V);
  if (VarIsPacket(V)) {
    IPacket* p = VarPacketRef(V);
    return p ? p->AsString() : "null";
  }
  if (auto* fp = dynamic_cast<IFormattedPacket*>(V.ObjectRef())) return AsJSON(IFormattedPacketPtr(fp));
  return {};
}

std::string TCefConversion::VarArrayToJSON(const Variant& V) {
  if (!V.IsArray()) throw Exception("Invalid variant type");
  std::string r = "[";
  for (size_t i = 0; i < V.ArrayCount(); ++i) {
    if (i) r += ',';
    r += VarToJSONStr(V.ArrayItem(i));
  }
  r += ']';
  return r;
}

std::string TCefConversion::AsJSON(std::span<const Variant> AArgs) {
  std::string r;
  for (size_t i = 0; i < AArgs.size(); ++i) {
    if (i) r += ',';
    r += VarToJSONStr(AArgs[i]);
  }
  return r;
}

std::string TCefConversion::AsJSON(const IFormattedPacketPtr& AData) {
  IPacketPtr p = AData ? AData->GetPacket() : nullptr;
  return p ? p->AsString() : std::string();
}

std::string TCefConversion::GuardedCallScript(std::string_view AFunction, std::string_view AArgs) {
  std::string f(AFunction);
  std::string r;
  r.reserve(120 + 3 * f.size() + AArgs.size());
  r += "(function() {try {if (typeof ";
  r += f;
  r += " === 'function') { ";
  r += f;
  r += '(';
  r += AArgs;
  r += ") }} catch(e) {console.error('error calling ";
  r += f;
  r += "', e)}})();";
  return r;
}

}  // namespace vexor
