#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "platform/Exceptions.h"
#include "packets/Packets.h"

using namespace vexor;

namespace {

std::string ErrorOf(const std::function<void()>& AFn) {
  try {
    AFn();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<no error>";
}

Variant AsInterface(const IPacketPtr& P) { return Variant::Object(varUnknown, TRefPtr<IInterface>(P.get())); }

TEST(PacketTest, EmptyPacket) {
  IPacketPtr p = NewPacket();
  EXPECT_TRUE(p->Empty());
  EXPECT_FALSE(p->IsPropertyList());
  EXPECT_EQ(p->DataSize(), 8);
  EXPECT_TRUE(p->Eof());
  EXPECT_EQ(ErrorOf([&] { p->GetAsInt(); }), "Error Reading Packet");
  EXPECT_EQ(p->Pos(), 0);
  EXPECT_EQ(DefaultPacketToString(p.get()), "<Packet>");
}

TEST(PacketTest, ReadersConvertAndAdvance) {
  IPacketPtr p = NewPacketOfValues("",
                                   {Variant("12"), Variant(-1), Variant(int64_t{1} << 33), Variant::Null(),
                                    Variant(2.75), Variant("true"), Variant(300)},
                                   true);
  EXPECT_EQ(p->PeekInt(), 12);
  EXPECT_EQ(p->GetAsInt(), 12);
  EXPECT_EQ(p->GetAsUInt(), 0xFFFFFFFFu);
  EXPECT_EQ(p->GetAsUInt(), 0u);  // low 32 bits of 2^33
  EXPECT_EQ(p->GetAsStr_(), "");
  p->SetPos(3);
  EXPECT_EQ(ErrorOf([&] { p->GetAsStr(); }), "Could not convert variant of type (Null) into type (UnicodeString)");
  EXPECT_EQ(p->Pos(), 4);  // the cursor moved past the value that failed
  EXPECT_DOUBLE_EQ(p->GetAsDouble(), 2.75);
  EXPECT_TRUE(p->GetAsBoolean());
  EXPECT_EQ(p->GetAsByte(), 44);  // 300, low 8 bits
  EXPECT_TRUE(p->Eof());
}

TEST(PacketTest, ArrayReaders) {
  IPacketPtr p = NewPacket();
  p->Put(Variant(7));
  p->Put(Variant("x"));
  p->Put(std::vector<int32_t>{1, -2});
  p->PutData("abc", 3);
  p->PutData("abc", 3);
  p->Put(std::vector<std::string>{"l1", "l2"});
  EXPECT_EQ(p->GetAsIntArray(), std::vector<int32_t>{7});
  EXPECT_EQ(ErrorOf([&] { p->GetAsIntArray(); }), "Invalid packet data.");
  EXPECT_EQ(p->Pos(), 2);
  EXPECT_EQ(p->GetAsInt64Array(), (std::vector<int64_t>{1, -2}));
  char buf[4] = {};
  p->SetPos(3);
  EXPECT_EQ(ErrorOf([&] { p->GetAsData(buf, 4); }), "Invalid packet data.");
  EXPECT_EQ(ErrorOf([&] { p->GetAsData(nullptr, 3); }), "Invalid Parameter.");
  p->SetPos(3);
  p->GetAsData(buf, 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(p->GetAsByteArray(), (TBytes{'a', 'b', 'c'}));
  std::vector<std::string> lines{"old"};
  p->GetAsStrings(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"l1", "l2"}));
  p->Reset();
  EXPECT_EQ(p->GetAsByteArray(), TBytes{7});
}

TEST(PacketTest, StreamsCarryByteArrays) {
  std::istringstream in("hello world");
  IPacketPtr p = NewPacket();
  EXPECT_EQ(p->PutFromStream(in, 5), 5);
  EXPECT_EQ(p->PutFromStream(in, 100), 6);  // shortened to what was there
  std::ostringstream out;
  p->GetAsStreamData(out);
  p->GetAsStreamData(out);
  EXPECT_EQ(out.str(), "hello world");
}

TEST(PacketTest, PutVarsSplicesOnlyPlainInterfaceValues) {
  IPacketPtr inner = NewPacketOfValues("", {Variant(1), Variant(2)}, true);
  IPacketPtr p = NewPacket();
  Variant plain = AsInterface(inner);
  p->PutVars(std::span<const Variant>(&plain, 1), true);
  EXPECT_EQ(p->GetCount(), 2);
  Variant nested = inner->AsVariant();
  p->PutVars(std::span<const Variant>(&nested, 1), true);
  EXPECT_EQ(p->GetCount(), 3);
  EXPECT_EQ(p->GetPacket(2).get(), inner.get());
  // Not single-level: the plain interface value stays one value.
  p->PutVars(std::span<const Variant>(&plain, 1), false);
  EXPECT_EQ(p->GetCount(), 4);
  // A packet variant with no packet appends a new empty packet.
  p->PutVar(Variant(IPacketPtr()));
  IPacketPtr last = p->GetPacket(4);
  ASSERT_TRUE(last);
  EXPECT_TRUE(last->Empty());
}

TEST(PacketTest, InterfaceValuesAreHandedOutAsPacketVariants) {
  IPacketPtr child = NewPacketOf("c", Variant(1));
  IPacketPtr p = NewPacket();
  p->AppendPacket(child);  // typed: one value of kind 13
  ASSERT_EQ(p->__RawData()[0].Kind(), varUnknown);
  EXPECT_EQ(p->GetVar(0).Kind(), varPacket);
  EXPECT_EQ(p->PeekVar().Kind(), varPacket);
  EXPECT_EQ(p->ValuesArray()[0].Kind(), varPacket);
  p->ForEach([](const Variant& v) { EXPECT_EQ(v.Kind(), varPacket); });
  EXPECT_EQ(p->__RawData()[0].Kind(), varUnknown);
  // Untyped: its values one by one, also when appending a packet to itself.
  p->AppendPacket(p);
  EXPECT_EQ(p->GetCount(), 2);
}

TEST(PacketTest, CloneFromCursorAndDeepClone) {
  IPacketPtr nested = NewPacketOf("n", Variant(1));
  IPacketPtr p = NewPacketOfValues("t", {Variant(1), Variant(2), Variant(3), Variant(4), Variant(nested)}, true);
  p->GetAsInt();
  p->GetAsInt();
  IPacketPtr rest = p->GetAsPacketClone();
  EXPECT_EQ(rest->GetTypeName(), "t");
  EXPECT_EQ(rest->GetCount(), 3);
  EXPECT_EQ(rest->GetAsInt(), 3);
  EXPECT_EQ(rest->GetPacket(2).get(), nested.get());  // shallow

  IPacketPtr deep = ClonePacket(p);
  EXPECT_EQ(deep->Pos(), 0);
  IPacketPtr copy = deep->GetPacket(4);
  EXPECT_NE(copy.get(), nested.get());
  copy->Put(Variant(9));
  EXPECT_EQ(nested->GetCount(), 1);
  EXPECT_EQ(deep->__RawData()[4].Kind(), varUnknown);
  EXPECT_FALSE(ClonePacket(nullptr));
}

TEST(PacketTest, DataSizeEstimatesTheRawEncoding) {
  IPacketPtr ab = NewPacketOfValues("ab", {Variant(7), Variant("xyz")}, true);
  EXPECT_EQ(ab->DataSize(), 23);
  IPacketPtr p = NewPacket();
  p->Put(Variant(ab));                                                // 23 + 1
  p->Put(std::vector<int32_t>{1, 2, 3});                              // 5 + 12
  p->Put(Variant::Array(varVariant, {Variant(true), Variant("é")}));  // 5 + 3 + 6
  p->Put(Variant::Null());                                            // 1
  p->Put(Variant(uint8_t{1}));                                        // 2
  EXPECT_EQ(p->DataSize(), 8 + 24 + 17 + 14 + 1 + 2);
}

TEST(PacketTest, ValuesArrayOfVariants) {
  struct TCase {
    const char* Name;
    Variant V;
    size_t Count;
  };
  IPacketPtr list = NewPacketOfValues("", {Variant(1), Variant(2), Variant(3)}, true);
  IPacketPtr typedOne = NewPacketOf("t", Variant(1));
  IPacketPtr props = NewPacket();
  props->PutProperty("a", Variant(1));
  props->PutProperty("b", Variant(2));
  const TCase cases[] = {
      {"array", Variant::Array(varVariant, {Variant(1), Variant(2)}), 2},
      {"empty array", Variant::Array(varVariant, {}), 0},
      {"plain packet", Variant(list), 3},
      {"typed one-value packet", Variant(typedOne), 1},
      {"property list", Variant(props), 1},
      {"scalar", Variant(5), 1},
  };
  for (const TCase& c : cases) EXPECT_EQ(VarToValuesArray(c.V).size(), c.Count) << c.Name;
}

TEST(PacketTest, VarToPacketOfKinds) {
  EXPECT_FALSE(VarToPacket(Variant(1)));
  EXPECT_FALSE(VarToPacket(Variant::Null()));
  EXPECT_TRUE(VarToPacket(Variant::Object(varUnknown, nullptr))->Empty());
  IPacketPtr fromInts = VarToPacket(Variant::Array(varInteger, {Variant(1), Variant(2)}));
  EXPECT_EQ(fromInts->GetCount(), 2);
  IPacketPtr inner = NewPacketOfValues("", {Variant(1), Variant(2)}, true);
  // Arrays of variants splice plain interface values holding untyped packets.
  IPacketPtr fromVariants = VarToPacket(Variant::Array(varVariant, {AsInterface(inner), Variant(3)}));
  EXPECT_EQ(fromVariants->GetCount(), 3);
}

TEST(PacketTest, SetVarAndWalkers) {
  IPacketPtr p = NewPacketOfValues("", {Variant(1), Variant(2), Variant(3)}, true);
  p->SetVar(1, Variant(20));
  EXPECT_EQ(p->GetVar(1).AsInt32(), 20);
  IPacketPtr even = p->Filter([](const Variant& v) { return v.AsInt32() % 2 == 0; });
  EXPECT_EQ(even->GetCount(), 1);
  IPacketPtr doubled = p->Map([](const Variant& v) { return Variant(v.AsInt32() * 2); });
  EXPECT_EQ(doubled->GetVar(2).AsInt32(), 6);
  int calls = 0;
  p->ForEachPacket([&](const IPacketPtr&) { ++calls; });
  EXPECT_EQ(calls, 0);  // no value is a packet or an array
  IPacketPtr props = NewPacket();
  props->PutProperty("a", Variant(1));
  props->ForEachPacket([&](const IPacketPtr& q) {
    EXPECT_EQ(q.get(), props.get());
    ++calls;
  });
  EXPECT_EQ(calls, 1);
}

TEST(PacketTest, UntypedViewAndClear) {
  IPacketPtr t = NewPacketOf("t", Variant(1));
  IPacketPtr u = t->AsUntyped();
  EXPECT_FALSE(u->IsTyped());
  EXPECT_EQ(u->GetPacket(0).get(), t.get());
  EXPECT_EQ(u->AsUntyped().get(), u.get());
  t->GetAsInt();
  t->Clear();
  EXPECT_EQ(t->Pos(), 0);
  EXPECT_EQ(t->GetTypeName(), "t");
  EXPECT_TRUE(t->IsTypeOf("t"));
  EXPECT_FALSE(t->IsTypeOf("T"));
  EXPECT_TRUE(t->IsTypeOfEx("T"));
}

class TCountedPacket : public TPacket {
 public:
  explicit TCountedPacket(int& ACounter) : FCounter(ACounter) {}
  ~TCountedPacket() override { ++FCounter; }

 private:
  int& FCounter;
};

TEST(PacketTest, LastReferenceFreesThePacketAndItsValues) {
  int freed = 0;
  {
    IPacketPtr parent = IPacketPtr::Adopt(new TCountedPacket(freed));
    {
      IPacketPtr child = IPacketPtr::Adopt(new TCountedPacket(freed));
      parent->Put(Variant(child));
      IPacketPropertyAccessPtr view = child->GetProperties();
      Variant copy(child);
    }
    EXPECT_EQ(freed, 0);
  }
  EXPECT_EQ(freed, 2);
}

// Indices outside the values raise the lists' index error; nothing is read past the values.
TEST(PacketTest, IndexOutsideTheValuesRaisesTheListIndexError) {
  IPacketPtr p = NewPacketOfValues("", {Variant(1), Variant(2)}, true);
  IPacketPtr props = NewPacket();
  props->PutProperty("a", Variant(1));
  const std::function<void(int32_t)> ops[] = {
      [&](int32_t i) { p->GetVar(i); },
      [&](int32_t i) { p->SetVar(i, Variant(0)); },
      [&](int32_t i) { p->GetPacket(i); },
      [&](int32_t i) { props->GetProperties()->GetPropValueByIndex(i); },
      [&](int32_t i) { props->GetProperties()->GetPropName(i); },
  };
  for (size_t op = 0; op < std::size(ops); ++op) {
    for (int32_t index : {-1, 2, 1000000}) {
      if (op >= 3 && index == 2) index = 1;  // the property packet holds one value
      try {
        ops[op](index);
        ADD_FAILURE() << "operation " << op << " index " << index;
      } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "List index out of bounds (" + std::to_string(index) + ")") << op;
      }
    }
  }
  EXPECT_EQ(p->GetVar(1).AsInt32(), 2);
}

}  // namespace
