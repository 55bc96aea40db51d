#pragma once
// TJsValue: a JavaScript value as the host sees it. Qt WebEngine runs no native code in the render
// process, so the page's values reach the host as data (see BridgeWire.h) and are rebuilt here as
// a small immutable tree: the host-side conversions (CefConversion.h) work on this model and are
// tested without a browser.
// A value is reference-counted and never changes after it is made, so references may be shared
// and read on any thread.
// A function cannot cross to the host; a function value stands for one page function and carries
// only the page's handle for it (0 when it has none).
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "containers/RefCounted.h"

namespace vexor {

class TJsValue;
using TJsValuePtr = TRef<TJsValue>;
using TJsValueList = std::vector<TJsValuePtr>;

enum class TJsKind : uint8_t {
  jkUndefined,
  jkNull,
  jkBool,
  jkInt,  // a number that is a 32-bit signed integer (not -0)
  jkDouble,
  jkDate,  // milliseconds since 1970-01-01 UTC, as a JavaScript Date holds it
  jkString,
  jkFunction,
  jkArray,
  jkObject,
};

class TJsValue : public TRefCntObject {
 public:
  static TJsValuePtr Undefined();
  static TJsValuePtr Null();
  static TJsValuePtr Bool(bool A);
  static TJsValuePtr Int(int32_t A);
  static TJsValuePtr Double(double A);
  static TJsValuePtr Date(double AUnixMs);
  static TJsValuePtr String(std::string A);
  static TJsValuePtr Function(int32_t AHandle = 0);
  static TJsValuePtr Array(TJsValueList AItems);
  // Members in the order the page reported its keys.
  static TJsValuePtr Object(std::vector<std::pair<std::string, TJsValuePtr>> AMembers);

  TJsKind Kind() const noexcept { return FKind; }
  bool IsUndefined() const noexcept { return FKind == TJsKind::jkUndefined; }
  bool IsNull() const noexcept { return FKind == TJsKind::jkNull; }
  bool IsBool() const noexcept { return FKind == TJsKind::jkBool; }
  bool IsInt() const noexcept { return FKind == TJsKind::jkInt; }
  bool IsDouble() const noexcept { return FKind == TJsKind::jkDouble; }
  bool IsDate() const noexcept { return FKind == TJsKind::jkDate; }
  bool IsString() const noexcept { return FKind == TJsKind::jkString; }
  bool IsFunction() const noexcept { return FKind == TJsKind::jkFunction; }
  bool IsArray() const noexcept { return FKind == TJsKind::jkArray; }
  bool IsObject() const noexcept { return FKind == TJsKind::jkObject; }

  bool BoolValue() const noexcept { return FNumber != 0; }
  int32_t IntValue() const noexcept { return static_cast<int32_t>(FNumber); }
  // The number of an int, double or date (milliseconds for a date), the handle of a function.
  double NumberValue() const noexcept { return FNumber; }
  int32_t FunctionHandle() const noexcept { return static_cast<int32_t>(FNumber); }
  const std::string& StringValue() const noexcept { return FText; }
  const TJsValueList& Items() const noexcept { return FItems; }
  const std::vector<std::string>& Keys() const noexcept { return FKeys; }  // parallel to Items

  // Same kind and same content, recursively (NaN equals NaN); for tests and diagnostics.
  bool Equals(const TJsValue& A) const;

 private:
  explicit TJsValue(TJsKind AKind) : FKind(AKind) {}
  static TJsValuePtr Scalar(TJsKind AKind, double ANumber);

  // Constant after construction.
  TJsKind FKind;
  double FNumber = 0;
  std::string FText;
  TJsValueList FItems;             // array elements, or object member values
  std::vector<std::string> FKeys;  // object member names
};

}  // namespace vexor
