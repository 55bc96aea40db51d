#pragma once
// TCefConversion: the conversions between JavaScript values (TJsValue), variant values, packets
// and JSON text that the page bridge and the browser control share, and the guarded call script.
// Class operations only; each is a pure function of its arguments (the date text reads the
// machine's time-zone offset at the moment of the call) and may run on any thread.
//
// TCef8ValueVariantType: the variant kind 291 that carries one JavaScript value (a page function,
// typically) inside a variant: copying shares the value, clearing drops the reference.
#include <span>
#include <string>
#include <string_view>

#include "browser/bridge/FormattedPacket.h"
#include "browser/bridge/JsValue.h"
#include "packets/Packets.h"

namespace vexor {

inline constexpr TVarType varCefV8Value = 291;

class TCef8ValueVariantType {
 public:
  TCef8ValueVariantType() = delete;
  // Start-up step of the browser: makes the kind known (idempotent; main thread, before the
  // browser runtime starts).
  static void Register();
  static bool Registered() noexcept;
  static Variant Make(const TJsValuePtr& AValue);
  // The JavaScript value a kind-291 variant holds, or null for any other value.
  static TJsValuePtr ValueOf(const Variant& V);
};

class TCefConversion {
 public:
  TCefConversion() = delete;

  // JavaScript value -> variant: undefined empty, null null, Boolean, int varInteger, date varDate
  // (local time), double, string varUString, function kind 291, array a varVariant array,
  // object an untyped packet (varPacket) with one property per key in key order.
  // A missing value raises "Invalid argument type".
  static Variant CefToVariant(const TJsValuePtr& ACef);
  // Variant -> JavaScript value (see the rules in the source). Raises "Unsupported variant
  // conversion" for kinds that have no JavaScript form.
  static TJsValuePtr VariantToCef(const Variant& AVal);
  static TVariantArray VarArrayFromCef(const TJsValueList& AArguments);
  static TJsValueList VarArrayToCefs(const TVariantArray& AValues);
  // Release every element in place (the lists keep their length).
  static void ClearCefArray(TJsValueList& AValues) noexcept;
  static void ClearVarArray(TVariantArray& AValues) noexcept;

  // JSON text of one value; empty text for values JSON has no form for (empty included).
  static std::string VarToJSONStr(const Variant& V);
  // "[" + the elements' JSON texts joined with "," + "]"; a non-array raises "Invalid variant type".
  static std::string VarArrayToJSON(const Variant& V);
  // The elements' JSON texts joined with "," (no brackets): an argument list for a script call.
  static std::string AsJSON(std::span<const Variant> AArgs);
  static std::string AsJSON(const IFormattedPacketPtr& AData);

  // A text escaped for a JSON string: \b \t \n \f \r, a backslash before '"', '/' and '\', \u00XX
  // for other control characters; everything else unchanged.
  static std::string JSONEscape(std::string_view AText);
  // A local date-time as "yyyy-mm-ddThh:nn:ss,z+hh:mm" with the machine's current UTC offset.
  static std::string DateToText(TDateTime ADate);
  // The script that calls the global function AFunction with AArgs only when it exists and logs
  // what it throws to the page console.
  static std::string GuardedCallScript(std::string_view AFunction, std::string_view AArgs);
};

}  // namespace vexor
