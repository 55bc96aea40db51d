#include "browser/bridge/ProcessMessage.h"

#include <limits>

#include "platform/Exceptions.h"
#include "packets/Packets.h"
#include "platform/StrFormat.h"

namespace vexor {
namespace {

[[noreturn]] void Unsupported(TVarType AKind) {
  throw Exception(Format("SenBrowserRequest: Unsupported argument type %d", static_cast<int>(AKind)));
}

}  // namespace

TProcessMessageKind ProcessMessageKind(std::string_view AName) {
  static constexpr std::pair<std::string_view, TProcessMessageKind> kNames[] = {
      {kMsgPid, TProcessMessageKind::pmkPid},     {kMsgDcall, TProcessMessageKind::pmkDcall},
      {kMsgReqst, TProcessMessageKind::pmkReqst}, {kMsgRply, TProcessMessageKind::pmkRply},
      {kMsgCncl, TProcessMessageKind::pmkCncl},   {kMsgKill, TProcessMessageKind::pmkKill},
      {kMsgDptc, TProcessMessageKind::pmkDptc},   {kMsgExcpt, TProcessMessageKind::pmkExcpt}};
  for (const auto& [name, kind] : kNames)
    if (name == AName) return kind;
  return TProcessMessageKind::pmkUnknown;
}

int32_t ProcessMessageReceiver(TProcessMessageKind AKind) {
  switch (AKind) {
    case TProcessMessageKind::pmkPid:  // the browser records it; its answer goes back, ignored
    case TProcessMessageKind::pmkDcall:
    case TProcessMessageKind::pmkReqst:
    case TProcessMessageKind::pmkExcpt: return PID_BROWSER;
    case TProcessMessageKind::pmkRply:
    case TProcessMessageKind::pmkCncl:
    case TProcessMessageKind::pmkKill:
    case TProcessMessageKind::pmkDptc: return PID_RENDERER;
    case TProcessMessageKind::pmkUnknown: break;
  }
  return -1;
}

TCefValue TProcessMessages::EncodeParam(const Variant& AValue) {
  const TVarType kind = AValue.Kind();
  if (kind == varBoolean) return TCefValue::Bool(AValue.RawBoolean());
  if (kind == varPacket || (kind == varUnknown && AValue.PacketRef())) {
    IPacket* packet = VarPacketRef(AValue);
    return packet ? TCefValue::String(packet->AsString()) : TCefValue::Null();
  }
  if (AValue.IsOrdinal()) {
    // Wider values have no form on the wire; cutting them would send a different number.
    if (kind == varUInt64) {
      if (AValue.RawUInt64() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) Unsupported(kind);
    } else if (AValue.RawInt64() < std::numeric_limits<int32_t>::min() ||
               AValue.RawInt64() > std::numeric_limits<int32_t>::max()) {
      Unsupported(kind);
    }
    return TCefValue::Int(static_cast<int32_t>(AValue.RawInt64()));
  }
  if (AValue.IsString()) return TCefValue::String(std::string(AValue.StrRef()));
  if (AValue.IsEmptyOrNull()) return TCefValue::Null();
  Unsupported(kind);
}

Variant TProcessMessages::DecodeParam(const TCefValue& AValue) {
  switch (AValue.GetType()) {
    case TCefValueType::VTYPE_NULL: return Variant::Null();
    case TCefValueType::VTYPE_BOOL: return Variant(AValue.GetBool());
    case TCefValueType::VTYPE_INT: return Variant(AValue.GetInt());
    case TCefValueType::VTYPE_DOUBLE: return Variant(AValue.GetDouble());
    case TCefValueType::VTYPE_STRING: return Variant(AValue.GetString());
    default: return Variant();
  }
}

TCefProcessMessage TProcessMessages::SendBrowserRequest(ICefMessageTransport* ABrowser, TCefProcessId AProcessId,
                                                        int32_t Id, std::string_view AName,
                                                        const TVariantArray& Params) {
  TCefProcessMessage msg;
  msg.Name = AName;
  msg.Arguments.reserve(Params.size() + 1);
  msg.Arguments.push_back(TCefValue::Int(Id));
  for (const Variant& param : Params) msg.Arguments.push_back(EncodeParam(param));
  if (ABrowser) ABrowser->SendProcessMessage(AProcessId, msg);
  return msg;
}

TVariantArray TProcessMessages::GetMessageParams(const TCefProcessMessage& AMessage, int32_t& Id) {
  Id = 0;
  TVariantArray params;
  if (AMessage.Arguments.empty()) return params;
  if (AMessage.Arguments[0].GetType() == TCefValueType::VTYPE_INT) Id = AMessage.Arguments[0].GetInt();
  params.reserve(AMessage.Arguments.size() - 1);
  for (size_t i = 1; i < AMessage.Arguments.size(); ++i) params.push_back(DecodeParam(AMessage.Arguments[i]));
  return params;
}

}  // namespace vexor
