// The process-message layout, its parameter encoding and decoding, and the message names.
#include <gtest/gtest.h>

#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "packets/Packets.h"
#include "browser/bridge/ProcessMessage.h"

namespace vexor {
namespace {

class TRecordingTransport : public ICefMessageTransport {
 public:
  void SendProcessMessage(TCefProcessId ATarget, const TCefProcessMessage& AMessage) override {
    Targets.push_back(ATarget);
    Sent.push_back(AMessage);
  }
  std::vector<TCefProcessId> Targets;
  std::vector<TCefProcessMessage> Sent;
};

class ProcessMessage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitPacketConversions(); }
};

TEST_F(ProcessMessage, EncodesEachSupportedKindAndRoundTrips) {
  IPacketPtr packet = NewPacket();
  packet->PutProperty("a", 1);
  struct TCase {
    Variant In;
    TCefValue Wire;
    Variant Back;
  } cases[] = {
      {Variant(true), TCefValue::Bool(true), Variant(true)},
      {Variant(packet), TCefValue::String(R"({"a":1})"), Variant(R"({"a":1})")},
      {Variant(static_cast<unsigned char>(200)), TCefValue::Int(200), Variant(200)},
      {Variant(static_cast<long long>(-2147483648LL)), TCefValue::Int(-2147483647 - 1), Variant(-2147483647 - 1)},
      {Variant(4000000000u - 2000000000u), TCefValue::Int(2000000000), Variant(2000000000)},
      {Variant::Str(varString, "ansi"), TCefValue::String("ansi"), Variant("ansi")},
      {Variant("Grüße"), TCefValue::String("Grüße"), Variant("Grüße")},
      {Variant(), TCefValue::Null(), Variant::Null()},
      {Variant::Null(), TCefValue::Null(), Variant::Null()},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(Variant::KindName(c.In.Kind()));
    TCefValue wire = TProcessMessages::EncodeParam(c.In);
    EXPECT_EQ(wire, c.Wire);
    Variant back = TProcessMessages::DecodeParam(wire);
    EXPECT_EQ(back.Kind(), c.Back.Kind());
    EXPECT_TRUE(back.SameValue(c.Back));
  }
  EXPECT_EQ(TProcessMessages::DecodeParam(TCefValue::Double(1.5)).Kind(), varDouble);
  for (TCefValueType foreign : {TCefValueType::VTYPE_BINARY, TCefValueType::VTYPE_DICTIONARY, TCefValueType::VTYPE_LIST,
                                TCefValueType::VTYPE_INVALID})
    EXPECT_TRUE(TProcessMessages::DecodeParam(TCefValue::Of(foreign)).IsEmpty());
}

TEST_F(ProcessMessage, UnsupportedKindsRaiseWithTheirCodeAndSendNothing) {
  struct TCase {
    Variant Value;
    int Code;
  } cases[] = {
      {Variant(1.5), 5},
      {Variant::Date(45000.5), 7},
      {Variant::FromCurrency(2.5), 6},
      {Variant::Array(varVariant, TVariantArray{Variant(1), Variant(2)}), 8204},
      {Variant(static_cast<long long>(1) << 40), 20},  // no 32-bit form: refused, not cut
      {Variant(static_cast<unsigned long long>(3000000000ULL)), 21},
  };
  for (const TCase& c : cases) {
    TRecordingTransport transport;
    try {
      TProcessMessages::SendBrowserRequest(&transport, PID_RENDERER, 3, kMsgRply, {Variant(1), c.Value});
      ADD_FAILURE() << "no error for kind " << c.Code;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "SenBrowserRequest: Unsupported argument type " + std::to_string(c.Code));
    }
    EXPECT_TRUE(transport.Sent.empty());
  }
}

TEST_F(ProcessMessage, SendPutsTheIdFirstAndGetMessageParamsReadsItBack) {
  TRecordingTransport transport;
  TProcessMessages::SendBrowserRequest(&transport, PID_BROWSER, 7, kMsgDcall, {Variant(1), Variant("x")});
  ASSERT_EQ(transport.Sent.size(), 1u);
  EXPECT_EQ(transport.Targets[0], PID_BROWSER);
  const TCefProcessMessage& msg = transport.Sent[0];
  EXPECT_EQ(msg.Name, "dcall");
  ASSERT_EQ(msg.Arguments.size(), 3u);
  EXPECT_EQ(msg.Arguments[0], TCefValue::Int(7));
  int32_t id = -5;
  TVariantArray params = TProcessMessages::GetMessageParams(msg, id);
  EXPECT_EQ(id, 7);
  ASSERT_EQ(params.size(), 2u);
  EXPECT_EQ(params[0].AsInt32(), 1);
  EXPECT_EQ(params[1].AsString(), "x");

  // Without a browser the message is built and dropped.
  TCefProcessMessage dropped = TProcessMessages::SendBrowserRequest(nullptr, PID_RENDERER, -1, kMsgKill, {});
  EXPECT_EQ(dropped.Arguments.size(), 1u);

  // A "dptc" carries text at index 0: no id, no parameters.
  TCefProcessMessage dptc{"dptc", {TCefValue::String("[1]")}};
  EXPECT_TRUE(TProcessMessages::GetMessageParams(dptc, id).empty());
  EXPECT_EQ(id, 0);
}

TEST_F(ProcessMessage, NamesAndReceivers) {
  struct TCase {
    const char* Name;
    TProcessMessageKind Kind;
    int32_t Receiver;
  } cases[] = {
      {"pid", TProcessMessageKind::pmkPid, PID_BROWSER},     {"dcall", TProcessMessageKind::pmkDcall, PID_BROWSER},
      {"reqst", TProcessMessageKind::pmkReqst, PID_BROWSER}, {"excpt", TProcessMessageKind::pmkExcpt, PID_BROWSER},
      {"rply", TProcessMessageKind::pmkRply, PID_RENDERER},  {"cncl", TProcessMessageKind::pmkCncl, PID_RENDERER},
      {"kill", TProcessMessageKind::pmkKill, PID_RENDERER},  {"dptc", TProcessMessageKind::pmkDptc, PID_RENDERER},
      {"DCALL", TProcessMessageKind::pmkUnknown, -1},        {"", TProcessMessageKind::pmkUnknown, -1},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ProcessMessageKind(c.Name), c.Kind) << c.Name;
    EXPECT_EQ(ProcessMessageReceiver(c.Kind), c.Receiver) << c.Name;
  }
}

}  // namespace
}  // namespace vexor
