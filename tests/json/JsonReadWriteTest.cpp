#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/TextUtf.h"
#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "packets/Packets.h"

using namespace vexor;

namespace {

IPacketPtr Read(std::string_view S) { return TPacketConversions::PacketFromJSON(S); }
std::string Write(const IPacketPtr& P, bool Readable = false, bool Types = false) {
  return TPacketConversions::PacketAsJSON(P, Readable, Types);
}

std::string ReadError(std::string_view S) {
  try {
    Read(S);
  } catch (const Exception& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(JsonReadWriteTest, ReadAndWriteBack) {
  struct TCase {
    const char* In;
    const char* Out;
  } cases[] = {
      {R"({"a":[1]})", R"({"a":1})"},
      {R"({"a":[1,2]})", R"({"a":[1,2]})"},
      {R"([{"a":1},{"b":2}])", R"({"a":1,"b":2})"},
      {R"({})", R"([])"},
      {R"({"a":{},"b":1})", R"({"a":[],"b":1})"},
      {R"([[],{}])", R"([[],{}])"},
      {R"([1,"x",true,false,null])", R"([1,"x",true,false,null])"},
      {R"({"a":1,"b":{"c":[1,2.5],"d":{"e":null}}})", R"({"a":1,"b":{"c":[1,2.5],"d":{"e":null}}})"},
      {R"({"a":{"b":{"c":1}}})", R"({"a":{"b":{"c":1}}})"},
      {R"([{"a":1}])", R"({"a":1})"},
      {R"([[{"a":1},2]])", R"([[{"a":1},2]])"},
      {R"({"a":1,"A":2})", R"({"a":2})"},  // names ignore case: the second refills the first
      {R"({"k0":0,"k1":1,"k2":2,"k3":3,"k4":4,"k5":5,"k6":6,"k7":7,"k8":8,"K0":9})",
       R"({"k0":9,"k1":1,"k2":2,"k3":3,"k4":4,"k5":5,"k6":6,"k7":7,"k8":8})"},
      {R"({"x":[[1,2],[3]]})", R"({"x":[[1,2],[3]]})"},
      {R"({"q\"\\/\b\f\n\r\t\u0001\u001f":"é\u00e9\ud83d\ude00"})",
       "{\"q\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001F\":\"\xc3\xa9\xc3\xa9\xf0\x9f\x98\x80\"}"},
      {"[10, -0, 1.0, 1.5e3, 0.1, 1e-7, 1e20, 9223372036854775807, 9223372036854775808]",
       "[10,0,1,1500,0.1,1E-7,1E20,9223372036854775807,9.22337203685478E18]"},
      {"[123456789012345678901234567890, -123456789012345678901]", "[1.23456789012346E29,-1.23456789012346E20]"},
      // Just past the signed range with 19 digits: a double; the smallest 64-bit value stays whole.
      {"[-9223372036854775809, -9223372036854775808]", "[-9.22337203685478E18,-9223372036854775808]"},
      {"[-9999999999999999999, 18446744073709551616]", "[-1E19,1.84467440737096E19]"},
      {"  {\"point\" : 7}  ", R"({"point":7})"},
      // Shapes a naive writer would change on each pass through text.
      {R"({"p":[[1]]})", R"({"p":[[1]]})"},
      {R"({"p":[[{"a":1},{"b":2}]]})", R"({"p":[[{"a":1},{"b":2}]]})"},
      {R"({"p":[{}]})", R"({"p":[{}]})"},
      {R"([{"a":1},{"b":2},{"A":3}])", R"([{"a":1},{"b":2},{"A":3}])"},
      {R"({"p":[{"a":1},{"a":2}]})", R"({"p":[{"a":1},{"a":2}]})"},
      {"[-0.0]", "[0]"},
  };
  for (const TCase& c : cases) {
    IPacketPtr p = Read(c.In);
    ASSERT_TRUE(p) << c.In;
    EXPECT_EQ(Write(p), c.Out) << c.In;
  }
}

TEST(JsonReadWriteTest, ReaderMapsKinds) {
  IPacketPtr a = Read(R"({"a":[1]})");
  EXPECT_EQ(a->GetTypeName(), "a");
  ASSERT_EQ(a->GetCount(), 1);
  EXPECT_EQ(a->GetVar(0).Kind(), varInt64);

  IPacketPtr list = Read(R"([{"a":1},{"b":2}])");
  EXPECT_FALSE(list->IsTyped());
  EXPECT_EQ(list->GetCount(), 2);
  EXPECT_TRUE(list->IsPropertyList());
  EXPECT_EQ(list->GetVar(0).Kind(), varPacket);

  IPacketPtr nums = Read("[10, 1.0, 9223372036854775808, 1e2, \"x\", [1]]");
  const TVarType kinds[] = {varInt64, varDouble, varDouble, varDouble, varUString, varArray | varVariant};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(nums->GetVar(i).Kind(), kinds[i]) << i;

  IPacketPtr obj = Read(R"({"a":1,"b":"s"})");
  EXPECT_FALSE(obj->IsTyped());
  EXPECT_EQ(obj->GetProperty("B", Variant()).AsString(), "s");
  EXPECT_TRUE(obj->GetPacket(0)->IsProperty());

  EXPECT_FALSE(Read("5"));
  EXPECT_FALSE(Read("null"));
  EXPECT_FALSE(Read("\"text\""));
  IPacketPtr empty = Read("");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->Empty());
}

TEST(JsonReadWriteTest, MalformedTextIsRejected) {
  const char* bad[] = {"{",        "[1,]", "{\"a\" 1}", "[1] x",   "tru", "[\"\\x\"]",
                       "\"\xff\"", "[01]", "{'a':1}",   "[1e400]", " "};
  for (const char* b : bad) EXPECT_EQ(ReadError(b), "Invalid JSON string.") << b;
  EXPECT_EQ(ReadError(std::string_view("[1]\0", 4)), "Invalid JSON string.");
  // Deep nesting is refused, never a stack overflow.
  std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(ReadError(deep), "Invalid JSON string.");
  std::string deepObj;
  for (int i = 0; i < 100000; ++i) deepObj += "{\"a\":";
  deepObj += '1';
  deepObj.append(100000, '}');
  EXPECT_EQ(ReadError(deepObj), "Invalid JSON string.");
  std::string fine = std::string(500, '[') + std::string(500, ']');
  EXPECT_EQ(Write(Read(fine)).size(), 1000u);

  IPacketPtr def = NewPacket("default");
  EXPECT_EQ(TPacketConversions::TryPacketFromJSON("{", def).get(), def.get());
  EXPECT_NE(TPacketConversions::TryPacketFromJSON("[1]", def).get(), def.get());
}

TEST(JsonReadWriteTest, WriterKinds) {
  struct TCase {
    const char* Name;
    Variant V;
    const char* Plain;
    const char* Typed;
  } cases[] = {
      {"integer", Variant(5), "[5]", R"([{"integer":5}])"},
      {"smallint", Variant(short(-3)), "[-3]", R"([{"smallint":-3}])"},
      {"word", Variant((unsigned short)65535), "[65535]", R"([{"word":65535}])"},
      {"uint64 max", Variant(std::numeric_limits<uint64_t>::max()), "[18446744073709551615]",
       R"([{"uInt64":18446744073709551615}])"},
      {"int64 min", Variant(std::numeric_limits<int64_t>::min()), "[-9223372036854775808]",
       R"([{"int64":-9223372036854775808}])"},
      {"single", Variant(0.1f), "[0.100000001490116]", R"([{"single":0.100000001490116}])"},
      {"nan", Variant(std::nan("")), "[null]", R"([{"double":null}])"},
      {"infinity", Variant(std::numeric_limits<double>::infinity()), "[null]", R"([{"double":null}])"},
      {"boolean", Variant(false), "[false]", R"([{"boolean":false}])"},
      {"null", Variant::Null(), "[null]", "[null]"},
      {"empty", Variant(), "[null]", "[null]"},
      {"currency", Variant::CurrencyScaled(-12345678), R"(["-$1,234.57"])", R"([{"currency":"-$1,234.57"}])"},
      {"ole string", Variant::Str(varOleStr, "q\"\\\t\x01/"), R"(["q\"\\\t\u0001/"])",
       R"([{"string":"q\"\\\t\u0001/"}])"},
      {"date zero", Variant::Date(0), "[null]", R"([{"date":null}])"},
      {"date before 1899-12-30", Variant::Date(-5), "[null]", R"([{"date":null}])"},
      {"date", Variant::Date(EncodeDateTime(2020, 1, 5)), R"(["2020-01-05"])", R"([{"date":"2020-01-05"}])"},
      {"byte array", Variant::ByteArray(std::string_view("\x01\x02", 2)), "[[1,2]]", R"([[{"byte":1},{"byte":2}]])"},
      {"string array", Variant::Array(varOleStr, {Variant("a")}), R"([["a"]])", R"([[{"string":"a"}]])"},
  };
  for (const TCase& c : cases) {
    IPacketPtr p = NewPacket();
    p->Put(c.V);
    EXPECT_EQ(Write(p), c.Plain) << c.Name;
    EXPECT_EQ(Write(p, false, true), c.Typed) << c.Name;
  }
}

TEST(JsonReadWriteTest, WriterShapes) {
  IPacketPtr nestedEmpty = NewPacket();
  nestedEmpty->Put(Variant(NewPacket()));
  nestedEmpty->Put(Variant(1));
  EXPECT_EQ(Write(nestedEmpty), "[{},1]");
  EXPECT_EQ(Write(NewPacket("t")), R"({"t":[]})");
  EXPECT_EQ(Write(NewPacketOfValues("t", {Variant(1), Variant(2)}, true)), R"({"t":[1,2]})");
  IPacketPtr typedChild = NewPacketOf("outer", Variant(NewPacketOf("inner", Variant(1))));
  EXPECT_EQ(Write(typedChild), R"({"outer":{"inner":1}})");
  IPacketPtr untypedChild = NewPacketOf("outer", Variant(NewPacketOfValues("", {Variant(1), Variant(2)}, true)));
  EXPECT_EQ(Write(untypedChild), R"({"outer":[[1,2]]})");
  IPacketPtr one = NewPacket();
  one->Put(Variant(7));
  EXPECT_EQ(Write(one), "[7]");
  // Values that are typed packets, in a packet that is no property list.
  IPacketPtr mixed = NewPacket();
  mixed->Put(Variant(NewPacketOf("a", Variant(1))));
  mixed->Put(Variant(2));
  EXPECT_EQ(Write(mixed), R"([{"a":1},2])");
}

TEST(JsonReadWriteTest, ReadableOutput) {
  EXPECT_EQ(Write(NewPacketOf("point", Variant(7)), true), "{\r\n  \"point\":7}");
  IPacketPtr p = Read(R"({"a":1,"b":{"c":2,"d":3}})");
  EXPECT_EQ(Write(p, true), "{\r\n     \"a\":1,\r\n     \"b\":{\r\n        \"c\":2,\r\n        \"d\":3}}");
  EXPECT_EQ(Write(Read(Write(p, true))), Write(p));
}

TEST(JsonReadWriteTest, UnwritableKindsFailAndTheCursorIsRestored) {
  class TThing : public TRefCntObject {};
  TRefPtr<IInterface> thing = TRefPtr<IInterface>::Adopt(new TThing);
  struct TCase {
    Variant V;
    const char* Message;
  } cases[] = {
      {Variant::Object(varUnknown, thing), "Invalid variant type for JSON conversion: $D"},
      {Variant::Object(291, thing), "Invalid variant type for JSON conversion: $123"},
      {Variant::Array(varUnknown, {Variant::Object(varUnknown, thing)}),
       "Invalid variant type for JSON conversion: $200D"},
  };
  for (const TCase& c : cases) {
    IPacketPtr p = NewPacketOfValues("", {Variant(1), c.V}, true);
    p->GetAsInt();
    try {
      Write(p);
      ADD_FAILURE() << c.Message;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), c.Message);
    }
    EXPECT_EQ(p->Pos(), 1);
  }
  IPacketPtr ok = NewPacketOfValues("", {Variant(1), Variant(2)}, true);
  ok->GetAsInt();
  Write(ok);
  EXPECT_EQ(ok->Pos(), 1);
}

TEST(JsonReadWriteTest, WrittenTextReadsBackToTheSameText) {
  const char* texts[] = {
      R"({"a":[1]})",
      R"([{"a":1},{"b":2},{"a":3}])",
      R"({"a":{"b":[{"c":1},{"d":[1,{}]}]},"e":[[[]]]})",
      R"([{"x":[]},[],{},null,"2020-02-29","2020-02-29T12:00:00.000Z","10:30:00.000","00:00:00.000"])",
      R"({"a":{"a":{"a":1}}})",
      R"({"count":[1,2],"COUNT":3})",
      R"([0.1,1e-300,-1.7976931348623157e308,4.9e-324,1e15,123456789012345678])",
      R"({"":1,"b":[{"":2}]})",
      R"([{"":1}])",
      R"([{"a":"x","A":"y"},1])",
      R"({"":[{"id":"x"}],"i":"y"})",
      R"({"p":{"":1,"b":2}})",
      R"([{"":{"a":1}},{"":1}])",
      R"([[{"a":1},{"b":[2,3]}]])",
  };
  for (const char* t : texts) {
    IPacketPtr first = Read(t);
    ASSERT_TRUE(first) << t;
    std::string once = Write(first);
    IPacketPtr second = Read(once);
    ASSERT_TRUE(second) << once;
    EXPECT_EQ(Write(second), once) << t;
  }
}

// The escaper skips plain bytes a word at a time: every byte that needs escaping is found at
// every offset of a long run, next to bytes above 0x7F and at the very end.
TEST(JsonReadWriteTest, EscapesEveryByteAtEveryOffset) {
  auto expected = [](std::string_view S) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string r;
    for (unsigned char c : S) {
      switch (c) {
        case '"': r += "\\\""; break;
        case '\\': r += "\\\\"; break;
        case '\b': r += "\\b"; break;
        case '\t': r += "\\t"; break;
        case '\n': r += "\\n"; break;
        case '\f': r += "\\f"; break;
        case '\r': r += "\\r"; break;
        default:
          if (c < 0x20) {
            r += "\\u00";
            r.push_back(kHex[c >> 4]);
            r.push_back(kHex[c & 15]);
          } else {
            r.push_back(static_cast<char>(c));
          }
      }
    }
    return r;
  };
  // Every length up to 19 puts the byte in the word-wise part and in each length of tail.
  for (int special = 0; special < 0x100; ++special) {
    for (size_t len = 1; len <= 19; ++len) {
      for (size_t at = 0; at < len; ++at) {
        std::string s(len, 'a');
        s[at] = static_cast<char>(special);
        if (at > 0) s[at - 1] = static_cast<char>(0xC3);  // high bytes beside it must not hide it
        std::string out;
        AppendJSONEscaped(out, s);
        // A lone lead byte is written as U+FFFD, so that the text reads back.
        ASSERT_EQ(out, expected(Utf8Sanitize(s))) << "byte " << special << " at " << at << " of " << len;
      }
    }
  }
}

TEST(JsonReadWriteTest, ConfigDataAndTheTextHook) {
  IPacketPtr data = Read(R"({"x":1,"y":[1,2]})");
  std::string text = TPacketConversions::SaveConfigDataAsJSON(data, "version", "data", 2.5);
  EXPECT_EQ(text, R"({"version":2.5,"data":{"x":1,"y":[1,2]}})");
  IPacketPtr back = TPacketConversions::LoadConfigDataFromJSON(text, "version", "data", 2);
  ASSERT_TRUE(back);
  EXPECT_EQ(Write(back), R"({"x":1,"y":[1,2]})");
  EXPECT_FALSE(TPacketConversions::LoadConfigDataFromJSON(text, "version", "data", 3));
  EXPECT_FALSE(TPacketConversions::LoadConfigDataFromJSON(R"({"data":{"x":1}})", "version", "data", 0));
  EXPECT_FALSE(TPacketConversions::LoadConfigDataFromJSON("5", "version", "data", 0));

  InitPacketConversions();
  EXPECT_EQ(data->AsString(), R"({"x":1,"y":[1,2]})");
  EXPECT_EQ(Variant(data).AsString(), R"({"x":1,"y":[1,2]})");
}

}  // namespace

// The writers size a text by the thread's previous one; a short text after a long one must not
// keep the long one's room, nor a long text after a short one lose anything. Also across large
// texts read one after another (the reader gives its large buffers back in between).
TEST(JsonReadWriteTest, TextsSizedByTheirPredecessorKeepNoSpareRoomAndLoseNothing) {
  std::string big = "[";
  for (int i = 0; i < 500000; ++i) {
    if (i) big += ',';
    big += '"';
    big += std::to_string(i);
    big += '"';
  }
  big += "]";
  for (int round = 0; round < 2; ++round) {
    IPacketPtr large = Read(big);
    ASSERT_TRUE(large);
    EXPECT_EQ(Write(large), big);
    const std::string xml = TPacketConversions::PacketAsXML(large);
    EXPECT_EQ(Write(TPacketConversions::PacketFromXML(xml)), big);
    const std::string small = Write(Read(R"({"a":1})"));
    EXPECT_EQ(small, R"({"a":1})");
    EXPECT_LT(small.capacity(), 8192u);
    const std::string smallXml = TPacketConversions::PacketAsXML(Read(R"({"a":1})"));
    EXPECT_LT(smallXml.capacity(), 8192u);
    EXPECT_EQ(Write(TPacketConversions::PacketFromXML(smallXml)), R"({"a":1})");
  }
}
