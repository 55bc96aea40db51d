#include "JsValue.h"

#include <cmath>

namespace vexor {

// Values without content are shared: one object each for the life of the process.
TJsValuePtr TJsValue::Undefined() {
  static const TJsValuePtr kValue = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkUndefined));
  return kValue;
}

TJsValuePtr TJsValue::Null() {
  static const TJsValuePtr kValue = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkNull));
  return kValue;
}

TJsValuePtr TJsValue::Bool(bool A) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkBool));
  v->FNumber = A ? 1 : 0;
  return v;
}

TJsValuePtr TJsValue::Int(int32_t A) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkInt));
  v->FNumber = A;
  return v;
}

TJsValuePtr TJsValue::Double(double A) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkDouble));
  v->FNumber = A;
  return v;
}

TJsValuePtr TJsValue::Date(double AUnixMs) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkDate));
  v->FNumber = AUnixMs;
  return v;
}

TJsValuePtr TJsValue::String(std::string A) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkString));
  v->FText = std::move(A);
  return v;
}

TJsValuePtr TJsValue::Function(int32_t AHandle) {
  auto v = TJsValuePtr::Adopt(new TJsValue(TJsKind::jkFunction));
  v->FNumber = AHandle;
  return v;
}

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
  if (FKind != A.FKind || FText != A.FText || FKeys != A.FKeys || FItems.size() != A.FItems.size())
    return false;
  if (FNumber != A.FNumber && !(std::isnan(FNumber) && std::isnan(A.FNumber))) return false;
  for (size_t i = 0; i < FItems.size(); ++i)
    if (!FItems[i]->Equals(*A.FItems[i])) return false;
  return true;
}

}  // namespace vexor
