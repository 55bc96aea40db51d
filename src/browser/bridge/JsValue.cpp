#include "browser/bridge/JsValue.h"

#include <cmath>

namespace vexor {

TJsValuePtr TJsValue::Scalar(TJsKind AKind, double ANumber) {
  auto v = TJsValuePtr::Adopt(new TJsValue(AKind));
  v->FNumber = ANumber;
  return v;
}

// Values without content are shared: one object each for the life of the process.
TJsValuePtr TJsValue::Undefined() {
  static const TJsValuePtr kValue = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkUndefined));
  return kValue;
}

TJsValuePtr TJsValue::Null() {
  static const TJsValuePtr kValue = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkNull));
  return kValue;
}

TJsValuePtr TJsValue::Bool(bool A) { return Scalar(TJsKind::jkBool, A ? 1 : 0); }

TJsValuePtr TJsValue::Int(int32_t A) { return Scalar(TJsKind::jkInt, A); }

TJsValuePtr TJsValue::Double(double A) { return Scalar(TJsKind::jkDouble, A); }

TJsValuePtr TJsValue::Date(double AUnixMs) { return Scalar(TJsKind::jkDate, AUnixMs); }

TJsValuePtr TJsValue::String(std::string A) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkString));
  v->FText = std::move(A);
  return v;
}

TJsValuePtr TJsValue::Function(int32_t AHandle) { return Scalar(TJsKind::jkFunction, AHandle); }

TJsValuePtr TJsValue::Array(TJsValueList AItems) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkArray));
  v->FItems = std::move(AItems);
  return v;
}

TJsValuePtr TJsValue::Object(std::vector<std::pair<std::string, TJsValuePtr>> AMembers) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkObject));
  v->FKeys.reserve(AMembers.size());
  v->FItems.reserve(AMembers.size());
  for (auto& m : AMembers) {
    v->FKeys.push_back(std::move(m.first));
    v->FItems.push_back(std::move(m.second));
  }
  return v;
}

bool TJsValue::Equals(const TJsValue& A) const {
  if (FKind != A.FKind || FText != A.FText || FKeys != A.FKeys || FItems.size() != A.FItems.size()) return false;
  if (FNumber != A.FNumber && !(std::isnan(FNumber) && std::isnan(A.FNumber))) return false;
  for (size_t i = 0; i < FItems.size(); ++i)
    if (!FItems[i]->Equals(*A.FItems[i])) return false;
  return true;
}

}  // namespace vexor
