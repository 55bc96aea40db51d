#include <gtest/gtest.h>

#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "packets/Packets.h"

using namespace vexor;

namespace {

std::string Json(const IPacketPtr& P) { return TPacketConversions::PacketAsJSON(P); }

TEST(PropertiesTest, DottedAndLiteralNames) {
  IPacketPtr p = NewPacket();
  p->PutProperty("a.b", Variant(1));
  EXPECT_EQ(Json(p), R"({"a.b":1})");
  p->PutProperty("a.b", Variant(2), false);
  EXPECT_EQ(Json(p), R"({"a.b":1,"a":{"b":2}})");
  EXPECT_EQ(p->QueryProperty("a.b").AsInt32(), 2);
  EXPECT_EQ(p->GetProperty("A.B", Variant()).AsInt32(), 1);
  EXPECT_TRUE(p->QueryProperty("a.x").IsEmpty());
  EXPECT_EQ(p->QueryProperty("x.y", Variant(9)).AsInt32(), 9);
  p->GetProperties()->AddV("a.c.d", Variant("z"));
  EXPECT_EQ(p->QueryProperty("a.c.d").AsString(), "z");
  // A leading part that names the packet itself is skipped.
  IPacketPtr typed = NewPacket("a");
  typed->PutProperty("b", Variant(3));
  EXPECT_EQ(typed->QueryProperty("A.b").AsInt32(), 3);
}

TEST(PropertiesTest, EmptyValuesKeepOrRemove) {
  IPacketPtr p = NewPacket();
  p->PutProperty("x", Variant(1));
  p->PutProperty("x", Variant());
  ASSERT_TRUE(p->GetProperties()->Exists("x"));
  EXPECT_EQ(p->GetCount(), 1);
  EXPECT_EQ(VarToPacket(p->GetVar(0))->GetCount(), 0);
  p->RemoveProperty("X");
  EXPECT_EQ(p->GetCount(), 0);
  p->PutProperty("y", Variant());
  EXPECT_EQ(p->GetCount(), 0);
  p->PutProperty("a.b", Variant(1), false);
  p->RemoveProperty("a.b");
  EXPECT_EQ(Json(p), R"({"a":[]})");
}

TEST(PropertiesTest, CountAndOwnTypeName) {
  IPacketPtr p = NewPacket();
  p->PutProperty("count", Variant(5));
  p->Put(Variant(1));
  p->Put(Variant(2));
  EXPECT_EQ(p->GetProperty("count", Variant()).AsInt32(), 3);
  EXPECT_TRUE(p->GetProperties()->Exists("COUNT"));

  IPacketPtr point = NewPacketOf("point", Variant(7));
  EXPECT_EQ(point->GetProperties()->GetPropName(0), "point");
  EXPECT_EQ(point->GetProperty("POINT", Variant()).AsInt32(), 7);
  point->MakeUntyped();
  EXPECT_FALSE(point->IsTyped());
  EXPECT_TRUE(point->IsPropertyList());
  EXPECT_EQ(point->GetProperty("point", Variant()).AsInt32(), 7);
  EXPECT_TRUE(point->GetPacket(0)->IsProperty());
  // A name equal to the packet's own type name replaces its values.
  IPacketPtr t = NewPacketOfValues("t", {Variant(1), Variant(2)}, true);
  t->PutProperty("T", Variant(3));
  EXPECT_EQ(t->GetCount(), 1);
  EXPECT_EQ(t->GetVar(0).AsInt32(), 3);
}

TEST(PropertiesTest, ArrayValues) {
  IPacketPtr p = NewPacket();
  p->PutProperty("ints", Variant::Array(varInteger, {Variant(1), Variant(2)}));
  p->PutProperty("strs", Variant::Array(varOleStr, {Variant("a"), Variant("b")}));
  p->PutProperty("one", Variant::Array(varInteger, {Variant(1)}));
  EXPECT_EQ(p->GetPacket(0)->GetCount(), 1);
  EXPECT_EQ(p->GetPacket(1)->GetCount(), 2);
  EXPECT_EQ(p->GetPacket(2)->GetCount(), 1);
  EXPECT_EQ(p->GetProperty("strs", Variant()).Kind(), varArray | varVariant);
}

TEST(PropertiesTest, NestedObjectsAndValueByIndex) {
  IPacketPtr inner = NewPacket();
  inner->PutProperty("x", Variant(1));
  inner->PutProperty("y", Variant(2));
  IPacketPtr p = NewPacket();
  p->PutProperty("pos", Variant(inner));                         // untyped: its properties become pos's values
  p->PutProperty("tag", Variant(NewPacketOf("t", Variant(1))));  // typed: one value
  p->PutProperty("none", Variant::Array(varVariant, {}));
  EXPECT_EQ(Json(p), R"({"pos":{"x":1,"y":2},"tag":{"t":1},"none":[]})");
  IPacketPropertyAccessPtr view = p->GetProperties();
  Variant pos = view->GetPropValueByIndex(0);
  ASSERT_EQ(pos.Kind(), varPacket);
  EXPECT_EQ(VarToPacket(pos)->GetCount(), 2);
  EXPECT_EQ(view->GetPropValueByIndex(2).Kind(), varArray | varVariant);
  EXPECT_EQ(view->GetPropValue("tag").Kind(), varPacket);
  view->DelPropValue("POS");
  EXPECT_FALSE(view->Exists("pos"));
  std::vector<std::string> names;
  p->ForEachProperty([&](const std::string& n, const Variant&) { names.push_back(n); });
  EXPECT_EQ(names, (std::vector<std::string>{"tag", "none"}));
}

TEST(PropertiesTest, ApplyFillsInAndMergeOverwrites) {
  auto make = [] {
    IPacketPtr p = NewPacket();
    p->PutProperty("a", Variant(1));
    p->PutProperty("n.x", Variant(1), false);
    return p;
  };
  IPacketPtr src = NewPacket();
  src->PutProperty("a", Variant(2));
  src->PutProperty("b", Variant(3));
  src->PutProperty("n.y", Variant(2), false);

  EXPECT_EQ(Json(make()->Apply(src, false)), R"({"a":1,"n":{"x":1},"b":3})");
  EXPECT_EQ(Json(make()->Apply(src, true)), R"({"a":1,"n":{"x":1,"y":2},"b":3})");
  EXPECT_EQ(Json(make()->Merge(src, false)), R"({"a":2,"n":{"y":2},"b":3})");
  EXPECT_EQ(Json(make()->Merge(src, true)), R"({"a":2,"n":{"x":1,"y":2},"b":3})");
  // A typed source is taken as a one-property list.
  EXPECT_EQ(Json(make()->Merge(NewPacketOf("a", Variant(5)), false)), R"({"a":5,"n":{"x":1}})");
  EXPECT_EQ(Json(make()->Apply(Variant(), false)), R"({"a":1,"n":{"x":1}})");
  IPacketPtr p = make();
  try {
    p->Apply(Variant(1), false);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error: only packet variants can be applied");
  }
}

TEST(PropertiesTest, BuilderWithConditions) {
  for (bool cond : {false, true}) {
    IPacketPtr p = NewVObj("reply")
                       ->SetProperty("id", Variant(1))
                       ->VrIf(cond)
                       ->SetProperty("a", Variant(2))
                       ->VrEnd()
                       ->VrWith("err")
                       ->SetProperty("message", Variant("m"))
                       ->VrEnd()
                       ->VrRec("rec", {"x", "y"}, {Variant(1)})
                       ->Value();
    EXPECT_EQ(p->GetProperties()->Exists("a"), cond);
    EXPECT_EQ(p->QueryProperty("err.message").AsString(), "m");
    EXPECT_TRUE(p->QueryProperty("rec.y").IsNull());
    EXPECT_EQ(p->QueryProperty("rec.y", Variant(5)).AsInt32(), 5);  // null read gives the default
  }
  IVObjCreatorPtr b = NewVObj();
  b->VrIf(true);
  EXPECT_THROW(b->VrIf(true), Exception);
  IVObjCreatorPtr dotted = NewVObj()->SetProperty("a.b", Variant(1));
  EXPECT_EQ(dotted->Value()->QueryProperty("a.b").AsInt32(), 1);
}

TEST(PropertiesTest, RecordsAppendTypedPackets) {
  IPacketPtr p = NewPacket();
  p->Records("row", {"id", "name"})({Variant(1), Variant("a")})({Variant(2)});
  // Records of one name are written as a list: one object would repeat the key.
  EXPECT_EQ(Json(p), R"([{"row":{"id":1,"name":"a"}},{"row":{"id":2,"name":null}}])");
  EXPECT_EQ(p->GetPacket(1)->QueryProperty("row.id").AsInt32(), 2);
  IPacketPtr rec = NewRecordPacket("r", {"k"}, {Variant(true)});
  EXPECT_EQ(Json(rec), R"({"r":{"k":true}})");
}

TEST(PropertiesTest, StoringAPropertyIntoItselfKeepsItsValues) {
  IPacketPtr p = NewPacket();
  p->PutProperty("a", Variant::Array(varVariant, {Variant(1), Variant(2)}));
  IPacketPtr a = p->GetPacket(0);
  p->PutProperty("a", Variant(a));
  EXPECT_EQ(Json(p), R"({"a":[1,2]})");
}

}  // namespace
