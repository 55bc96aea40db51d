#pragma once
// TBridgeWire: the text forms in which page values and message parameters cross between the page
// script (bridge.js) and the host over Qt WebChannel.
//
// Page -> host: the arguments of a page call as a JSON array of tagged values, each an array whose
// first element is the variant kind the value converts to:
//   [0] undefined, [1] null, [11,b] Boolean, [3,n] 32-bit integer, [5,n] double (or the text
//   "NaN", "Infinity", "-Infinity"), [7,ms] date (ms since 1970 UTC), [258,"s"] string,
//   [291] function, [8204,[v...]] array, [13,["key",v,"key",v...]] object.
// Host -> page: message parameters as a plain JSON array (null, true/false, numbers, strings).
//
// Pure functions; any thread. The parser is the reader of outside input: malformed text, an
// unknown tag or nesting deeper than kMaxDepth raises "Invalid page message".
#include <string>
#include <cstdint>
#include <string>
#include <string_view>

#include "browser/bridge/JsValue.h"
#include "packets/Variant.h"

namespace vexor {

// One message the page wrote to the bridge's inbox.
struct TInboxMessage {
  std::string Token, Name;
  int32_t Id = 0;  // 0 when the id is not a number
  std::string Args;
};

class TBridgeWire {
 public:
  TBridgeWire() = delete;
  static constexpr int kMaxDepth = 256;

  // Splits "<token>\n<name>\n<id>\n<arguments>"; false when a line break is missing.
  static bool SplitInbox(std::string_view AText, TInboxMessage& AMessage);

  static TJsValueList ParseArguments(std::string_view AJson);
  // The tagged text of values (the inverse of ParseArguments; tests and benchmarks).
  static std::string ArgumentsText(const TJsValueList& AValues);
  // Parameters for the page: empty values and numbers JSON cannot hold become null.
  static std::string ParamsText(const TVariantArray& AParams);
};

}  // namespace vexor
