// Packet values: comparison by text, names read and written on them, operations called by name.
#include <gtest/gtest.h>

#include "common/ErrorText.h"
#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "packets/PacketVariantType.h"

using namespace vexor;
using vexor::testing::ErrorText;

namespace {

class PacketVariantTypeTest : public ::testing::Test {
 protected:
  void SetUp() override { InitPacketConversions(); }
};

TEST_F(PacketVariantTypeTest, PacketValuesConvertAndCompareByTheirText) {
  Variant a(NewPacketOfValues("", {Variant(1), Variant("x")}, false));
  Variant b(NewPacketOfValues("", {Variant(1), Variant("x")}, false));
  Variant c(NewPacketOfValues("", {Variant(2)}, false));
  EXPECT_EQ(TPacketVariantType::CastTo(a, varUString).AsString(), "[1,\"x\"]");
  EXPECT_EQ(TPacketVariantType::CastTo(a, varOleStr).Kind(), varOleStr);
  EXPECT_THROW(TPacketVariantType::CastTo(a, varInteger), Exception);
  EXPECT_EQ(TPacketVariantType::Compare(a, b), 0);  // different packets, equal text
  EXPECT_EQ(TPacketVariantType::Compare(a, c), -1);
  EXPECT_EQ(TPacketVariantType::Compare(c, a), 1);

  // Other kinds become packets; a packet held as a plain interface value becomes varPacket.
  Variant cast = TPacketVariantType::Cast(Variant(5));
  EXPECT_EQ(cast.Kind(), varPacket);
  EXPECT_EQ(cast.AsString(), "[5]");
  IPacketPtr inner = NewPacket();
  Variant arr = Variant::Array(varVariant, {Variant(1), Variant::PacketObject(varUnknown, inner.get())});
  Variant asPacket = TPacketVariantType::AsPacketVariant(arr);
  EXPECT_EQ(VarToPacket(asPacket)->GetCount(), 2);  // the packet element stays one nested value
  Variant plain = Variant::PacketObject(varUnknown, inner.get());
  EXPECT_EQ(TPacketVariantType::AsCustomVariant(plain).Kind(), varPacket);
  EXPECT_EQ(TPacketVariantType::AsCustomVariant(plain).PacketRef(), inner.get());
}

TEST_F(PacketVariantTypeTest, NamesOnAPacketValueAreItsProperties) {
  IPacketPtr p = NewPacket("x");
  Variant v(p);
  PacketVarSet(v, "PortName", Variant("COM1"));
  EXPECT_EQ(p->AsString(), "{\"x\":{\"portname\":\"COM1\"}}");
  EXPECT_EQ(PacketVarGet(v, "PORTNAME").AsString(), "COM1");
  EXPECT_EQ(PacketVarGet(v, "count").AsInt32(), 1);
  EXPECT_EQ(PacketVarGet(v, "TYPENAME").AsString(), "x");  // no such property: the type name
  Variant none;
  EXPECT_FALSE(TPacketVariantType::GetProperty(none, v, "typename"));  // only the exact name
  EXPECT_FALSE(TPacketVariantType::GetProperty(none, v, "missing"));
  PacketVarSet(v, "TypeName", Variant("own"));
  EXPECT_EQ(PacketVarGet(v, "TYPENAME").AsString(), "own");  // a property of that name wins
}

TEST_F(PacketVariantTypeTest, OperationsAreCalledByName) {
  IPacketPtr p = NewPacket();
  Variant v(p);
  PacketVarCall(v, "put", {Variant(static_cast<short>(7))});    // integer-like: Put(Integer)
  PacketVarCall(v, "Put", {Variant("s")});                      // Put(string)
  PacketVarCall(v, "PUT", {Variant(1.5)});                      // no exact overload: Put(Variant)
  PacketVarCall(v, "PutProperty", {Variant("a"), Variant(1)});  // the two-argument overload
  EXPECT_EQ(p->AsString(), "[7,\"s\",1.5,{\"a\":1}]");
  EXPECT_EQ(p->GetVar(0).Kind(), varInteger);
  EXPECT_EQ(PacketVarCall(v, "GetCount").AsInt32(), 4);
  EXPECT_EQ(PacketVarCall(v, "GetAsStr").AsString(), "7");
  EXPECT_EQ(PacketVarCall(v, "ValuesArray").ArrayCount(), 4u);
  EXPECT_EQ(PacketVarCall(v, "GetPacket", {Variant(3)}).Kind(), varPacket);
  EXPECT_TRUE(PacketVarCall(v, "Reset").IsEmpty());

  TVariantArray args{Variant(1), Variant("two")};
  Variant r;
  EXPECT_EQ(ErrorText([&] { TPacketVariantType::DoFunction(r, v, "NoSuchThing", args); }),
            "Attempt to call unknown Packet method NoSuchThing");
  EXPECT_TRUE(args[0].IsEmpty() && args[1].IsEmpty());  // emptied also when the call fails
  TVariantArray bad{Variant("not a number")};
  EXPECT_THROW(TPacketVariantType::DoProcedure(v, "GetPacket", bad), Exception);
  EXPECT_TRUE(bad[0].IsEmpty());
}

}  // namespace
