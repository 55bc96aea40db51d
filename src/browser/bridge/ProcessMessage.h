#pragma once
// Browser process messages: the messages the page's side and the host exchange (a name and a list
// of typed values), their encoding from and decoding to variant values, and the seam to the
// transport that carries them.
//
// Layout: argument 0 is the id (a positive id names a page-side callback, 0 asks for no answer,
// -1 marks a one-way notice; "dptc" carries its payload text there instead); arguments 1..n are
// the parameters. Values on the wire are null, Boolean, 32-bit integer, double or text; other
// kinds decode as an empty value.
//
// Threads: the types are plain values; SendBrowserRequest builds and sends on the calling thread
// and does no thread switching. A transport states its own thread rules.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "packets/Variant.h"

namespace vexor {

enum TCefProcessId : int32_t { PID_BROWSER = 0, PID_RENDERER = 1 };

// The value kinds a message argument may have (the first seven are produced or read; binary,
// dictionary and list only arrive from foreign senders and decode as empty).
enum class TCefValueType : uint8_t {
  VTYPE_INVALID,
  VTYPE_NULL,
  VTYPE_BOOL,
  VTYPE_INT,
  VTYPE_DOUBLE,
  VTYPE_STRING,
  VTYPE_BINARY,
  VTYPE_DICTIONARY,
  VTYPE_LIST
};

class TCefValue {
 public:
  TCefValue() = default;
  static TCefValue Null() { return TCefValue(TCefValueType::VTYPE_NULL); }
  static TCefValue Bool(bool A) {
    TCefValue v(TCefValueType::VTYPE_BOOL);
    v.FInt = A;
    return v;
  }
  static TCefValue Int(int32_t A) {
    TCefValue v(TCefValueType::VTYPE_INT);
    v.FInt = A;
    return v;
  }
  static TCefValue Double(double A) {
    TCefValue v(TCefValueType::VTYPE_DOUBLE);
    v.FDouble = A;
    return v;
  }
  static TCefValue String(std::string A) {
    TCefValue v(TCefValueType::VTYPE_STRING);
    v.FString = std::move(A);
    return v;
  }
  // A kind this protocol never produces (for decoding tests and foreign senders).
  static TCefValue Of(TCefValueType AType) { return TCefValue(AType); }

  TCefValueType GetType() const { return FType; }
  bool GetBool() const { return FInt != 0; }
  int32_t GetInt() const { return FInt; }
  double GetDouble() const { return FDouble; }
  const std::string& GetString() const { return FString; }

  bool operator==(const TCefValue&) const = default;

 private:
  explicit TCefValue(TCefValueType AType) : FType(AType) {}
  TCefValueType FType = TCefValueType::VTYPE_INVALID;
  int32_t FInt = 0;
  double FDouble = 0;
  std::string FString;  // UTF-8
};

struct TCefProcessMessage {
  std::string Name;
  std::vector<TCefValue> Arguments;
};

// Carries messages to the other side (the browser of a page, or the page's host); null means the
// browser is gone and nothing is sent.
class ICefMessageTransport {
 public:
  virtual ~ICefMessageTransport() = default;
  virtual void SendProcessMessage(TCefProcessId ATarget, const TCefProcessMessage& AMessage) = 0;
};

// The message names (lower-case ASCII) and who sends them.
inline constexpr std::string_view kMsgPid = "pid";      // render -> browser, -1, [pid]; answered by "pid"
inline constexpr std::string_view kMsgDcall = "dcall";  // render -> browser, id or 0, the call's args
inline constexpr std::string_view kMsgReqst = "reqst";  // render -> browser, id or 0, [url, intf, method, json]
inline constexpr std::string_view kMsgRply = "rply";    // browser -> render, the callback id, results
inline constexpr std::string_view kMsgCncl = "cncl";    // browser -> render, the callback id
inline constexpr std::string_view kMsgKill = "kill";    // browser -> render, -1
inline constexpr std::string_view kMsgDptc = "dptc";    // browser -> render, [payload text] (no id)
inline constexpr std::string_view kMsgExcpt = "excpt";  // render -> browser, -1, [message, source line]

enum class TProcessMessageKind { pmkPid, pmkDcall, pmkReqst, pmkRply, pmkCncl, pmkKill, pmkDptc, pmkExcpt, pmkUnknown };

// The message a name stands for (exact, case-sensitive); any other name is pmkUnknown and both
// sides ignore it.
TProcessMessageKind ProcessMessageKind(std::string_view AName);
// Which process receives (and acts on) messages of that kind; pmkUnknown: neither (-1).
int32_t ProcessMessageReceiver(TProcessMessageKind AKind);

class TProcessMessages {
 public:
  TProcessMessages() = delete;

  // One parameter on the wire: Boolean; a packet as its text; any integer kind as a 32-bit
  // integer; any text kind; null/empty as null. Anything else (and an integer outside 32 bits)
  // raises "SenBrowserRequest: Unsupported argument type %d" with the value's kind code.
  static TCefValue EncodeParam(const Variant& AValue);
  static Variant DecodeParam(const TCefValue& AValue);

  // Builds the message (id at 0, the encoded parameters after it) and sends it to AProcessId
  // when ABrowser is present; without one it is built and dropped. An encoding error is raised
  // before anything is sent. Returns the message built.
  static TCefProcessMessage SendBrowserRequest(ICefMessageTransport* ABrowser, TCefProcessId AProcessId, int32_t Id,
                                               std::string_view AName, const TVariantArray& Params);
  // The parameters of a message (arguments 1..n decoded) and its id (argument 0; 0 when missing
  // or not an integer).
  static TVariantArray GetMessageParams(const TCefProcessMessage& AMessage, int32_t& Id);
};

}  // namespace vexor
