#include "browser/bridge/BridgeWire.h"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "browser/bridge/CefConversion.h"
#include "platform/Exceptions.h"

namespace vexor {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

[[noreturn]] void Invalid() { throw Exception("Invalid page message"); }

double NumberOf(const element& E) {
  switch (E.type()) {
    case element_type::INT64: return static_cast<double>(E.get_int64().value_unsafe());
    case element_type::UINT64: return static_cast<double>(E.get_uint64().value_unsafe());
    case element_type::DOUBLE: return E.get_double().value_unsafe();
    case element_type::STRING: {
      std::string_view s = E.get_string().value_unsafe();
      if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
      if (s == "Infinity") return std::numeric_limits<double>::infinity();
      if (s == "-Infinity") return -std::numeric_limits<double>::infinity();
      Invalid();
    }
    default: Invalid();
  }
}

TJsValuePtr Value(const element& E, int ADepth);

TJsValueList List(const element& E, int ADepth) {
  simdjson::dom::array a;
  if (E.get_array().get(a)) Invalid();
  TJsValueList r;
  r.reserve(a.size());
  for (element item : a) r.push_back(Value(item, ADepth + 1));
  return r;
}

TJsValuePtr Value(const element& E, int ADepth) {
  if (ADepth > TBridgeWire::kMaxDepth) Invalid();
  simdjson::dom::array a;
  if (E.get_array().get(a) || a.size() == 0 || a.size() > 2) Invalid();
  auto it = a.begin();
  int64_t tag;
  if ((*it).get_int64().get(tag)) Invalid();
  const bool hasPayload = a.size() == 2;
  element payload;
  if (hasPayload) payload = *++it;
  switch (tag) {
    case varEmpty: return TJsValue::Undefined();
    case varNull: return TJsValue::Null();
    case varCefV8Value: return TJsValue::Function();
    default: break;
  }
  if (!hasPayload) Invalid();
  switch (tag) {
    case varBoolean: {
      bool b;
      if (payload.get_bool().get(b)) Invalid();
      return TJsValue::Bool(b);
    }
    case varInteger: {
      int64_t i;
      if (payload.get_int64().get(i) || i < std::numeric_limits<int32_t>::min() ||
          i > std::numeric_limits<int32_t>::max())
        Invalid();
      return TJsValue::Int(static_cast<int32_t>(i));
    }
    case varDouble: return TJsValue::Double(NumberOf(payload));
    case varDate: return TJsValue::Date(NumberOf(payload));
    case varUString: {
      std::string_view s;
      if (payload.get_string().get(s)) Invalid();
      return TJsValue::String(std::string(s));
    }
    case varArray | varVariant: return TJsValue::Array(List(payload, ADepth));
    case varUnknown: {
      simdjson::dom::array m;
      if (payload.get_array().get(m) || m.size() % 2) Invalid();
      std::vector<std::pair<std::string, TJsValuePtr>> members;
      members.reserve(m.size() / 2);
      for (auto p = m.begin(); p != m.end(); ++p) {
        std::string_view key;
        if ((*p).get_string().get(key)) Invalid();
        ++p;
        members.emplace_back(std::string(key), Value(*p, ADepth + 1));
      }
      return TJsValue::Object(std::move(members));
    }
    default: Invalid();
  }
}

// The shortest text that reads back as the same double.
void AppendNumber(std::string& ADest, double A) {
  if (std::isfinite(A)) {
    char buf[32];
    ADest.append(buf, std::to_chars(buf, buf + sizeof buf, A).ptr);
  } else
    ADest += std::isnan(A) ? "\"NaN\"" : A > 0 ? "\"Infinity\"" : "\"-Infinity\"";
}

void AppendTagged(std::string& ADest, const TJsValue& V) {
  ADest += '[';
  switch (V.Kind()) {
    case TJsKind::jkUndefined: ADest += "0"; break;
    case TJsKind::jkNull: ADest += "1"; break;
    case TJsKind::jkBool: ADest += V.BoolValue() ? "11,true" : "11,false"; break;
    case TJsKind::jkInt: ADest += "3," + std::to_string(V.IntValue()); break;
    case TJsKind::jkDouble:
      ADest += "5,";
      AppendNumber(ADest, V.NumberValue());
      break;
    case TJsKind::jkDate:
      ADest += "7,";
      AppendNumber(ADest, V.NumberValue());
      break;
    case TJsKind::jkString: ADest += "258," + TCefConversion::VarToJSONStr(Variant(V.StringValue())); break;
    case TJsKind::jkFunction: ADest += "291"; break;
    case TJsKind::jkArray:
      ADest += "8204,[";
      for (size_t i = 0; i < V.Items().size(); ++i) {
        if (i) ADest += ',';
        AppendTagged(ADest, *V.Items()[i]);
      }
      ADest += ']';
      break;
    case TJsKind::jkObject:
      ADest += "13,[";
      for (size_t i = 0; i < V.Items().size(); ++i) {
        if (i) ADest += ',';
        ADest += TCefConversion::VarToJSONStr(Variant(V.Keys()[i]));
        ADest += ',';
        AppendTagged(ADest, *V.Items()[i]);
      }
      ADest += ']';
      break;
  }
  ADest += ']';
}

}  // namespace

TJsValueList TBridgeWire::ParseArguments(std::string_view AJson) {
  // One parser (and its buffers) per thread, reused from call to call.
  thread_local simdjson::dom::parser parser;
  element root;
  if (parser.parse(AJson.data(), AJson.size(), true).get(root)) Invalid();
  return List(root, 0);
}

std::string TBridgeWire::ArgumentsText(const TJsValueList& AValues) {
  std::string r = "[";
  for (size_t i = 0; i < AValues.size(); ++i) {
    if (i) r += ',';
    AppendTagged(r, *AValues[i]);
  }
  r += ']';
  return r;
}

std::string TBridgeWire::ParamsText(const TVariantArray& AParams) {
  std::string r = "[";
  for (size_t i = 0; i < AParams.size(); ++i) {
    if (i) r += ',';
    const Variant& p = AParams[i];
    if (p.IsEmptyOrNull() || ((p.Kind() == varDouble || p.Kind() == varSingle) && !std::isfinite(p.AsDouble())))
      r += "null";
    else
      r += TCefConversion::VarToJSONStr(p);
  }
  r += ']';
  return r;
}

bool TBridgeWire::SplitInbox(std::string_view AText, TInboxMessage& AMessage) {
  const size_t a = AText.find('\n');
  const size_t b = a == std::string_view::npos ? a : AText.find('\n', a + 1);
  const size_t c = b == std::string_view::npos ? b : AText.find('\n', b + 1);
  if (c == std::string_view::npos) return false;
  AMessage.Token = std::string(AText.substr(0, a));
  AMessage.Name = std::string(AText.substr(a + 1, b - a - 1));
  const std::string_view id = AText.substr(b + 1, c - b - 1);
  int32_t value = 0;
  const auto [ptr, ec] = std::from_chars(id.data(), id.data() + id.size(), value);
  AMessage.Id = ec == std::errc() && ptr == id.data() + id.size() ? value : 0;
  AMessage.Args = std::string(AText.substr(c + 1));
  return true;
}

}  // namespace vexor
