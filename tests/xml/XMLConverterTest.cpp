#include <gtest/gtest.h>

#include <string>

#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "packets/xml/XMLConverter.h"

namespace vexor {
namespace {

std::string Error(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const Exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(XMLWriterTest, WritesTheCompactAndReadableForms) {
  IPacketPtr p = NewPacket();
  p->Put(Variant(5));
  p->Put(Variant(NewPacketOf("p", Variant("a&b"))));
  const std::string compact =
      "<ipacket><integer>5</integer><ipacket name=\"p\"><string>a&amp;b</string></ipacket></ipacket>";
  EXPECT_EQ(TPacketConversions::PacketAsXML(p), compact);
  EXPECT_EQ(TPacketConversions::PacketAsXML(p, true),
            "<ipacket>\r\n  <integer>5</integer>\r\n   <ipacket name=\"p\">\r\n     <string>a&amp;b</string>\r\n"
            "   </ipacket></ipacket>");
  IPacketPtr back = TPacketConversions::PacketFromXML(compact);
  ASSERT_TRUE(back);
  EXPECT_EQ(TPacketConversions::PacketAsXML(back), compact);
  EXPECT_EQ(back->GetVar(0).Kind(), varInteger);
}

TEST(XMLWriterTest, WritesEachKindAsItsElement) {
  struct TCase {
    Variant Value;
    const char* Xml;
  } cases[] = {
      {Variant(static_cast<short>(-7)), "<smallint>-7</smallint>"},
      {Variant(static_cast<unsigned short>(7)), "<word>7</word>"},
      {Variant(static_cast<signed char>(-1)), "<shortint>-1</shortint>"},
      {Variant(static_cast<unsigned char>(255)), "<byte>255</byte>"},
      {Variant(4000000000u), "<longword>4000000000</longword>"},
      {Variant(-9000000000000000000LL), "<int64>-9000000000000000000</int64>"},
      {Variant(18446744073709551615ULL), "<uInt64>18446744073709551615</uInt64>"},
      {Variant(0.1f), "<single>0.100000001490116</single>"},
      {Variant(1.5e-7), "<double>1.5E-7</double>"},
      {Variant(true), "<boolean>true</boolean>"},
      {Variant::Null(), "<null/>"},
      {Variant::CurrencyScaled(12345678), "<currency>\"$1,234.57\"</currency>"},
      {Variant::Date(EncodeDateTime(2024, 2, 29)), "<date>2024-02-29</date>"},
      {Variant::Str(varOleStr, "<'\"> \xC2\xA0"), "<string>&lt;&#39;&quot;&gt; &nbsp;</string>"},
      {Variant::Array(varInteger, {Variant(1), Variant(2)}),
       "<array-integer><integer>1</integer><integer>2</integer></array-integer>"},
      {Variant::ByteArray(std::string_view("\x01\xFF", 2)), "<array-byte><byte>1</byte><byte>255</byte></array-byte>"},
      {Variant::Array(varVariant, {Variant("x"), Variant(NewPacket("t")), Variant::Array(varVariant, {})}),
       "<array-var><string>x</string><ipacket name=\"t\"></ipacket><array-var></array-var></array-var>"},
  };
  for (const TCase& c : cases) {
    IPacketPtr p = NewPacket();
    p->Put(c.Value);
    EXPECT_EQ(TPacketConversions::PacketAsXML(p), std::string("<ipacket>") + c.Xml + "</ipacket>") << c.Xml;
  }
  // A type name is escaped, and the reader decodes it again.
  IPacketPtr named = NewPacket("a\"<b>&c");
  const std::string text = TPacketConversions::PacketAsXML(named);
  EXPECT_EQ(text, "<ipacket name=\"a&quot;&lt;b&gt;&amp;c\"></ipacket>");
  EXPECT_EQ(TPacketConversions::PacketFromXML(text)->GetTypeName(), "a\"<b>&c");
}

TEST(XMLWriterTest, RefusesKindsWithoutARowAndKeepsTheCursor) {
  IPacketPtr p = NewPacket();
  p->Put(Variant(1));
  p->Put(Variant());
  p->GetAsInt();
  EXPECT_EQ(Error([&] { TPacketConversions::PacketAsXML(p); }), "Invalid variant type for XML conversion: $0");
  EXPECT_EQ(p->Pos(), 1);
  IPacketPtr arr = NewPacket();
  arr->Put(Variant::Array(varVariant, {Variant()}));
  EXPECT_EQ(Error([&] { TPacketConversions::PacketAsXML(arr); }), "Invalid variant type for XML conversion: $0");
  EXPECT_EQ(TPacketConversions::PacketAsXML(nullptr), "");
}

TEST(XMLReaderTest, MapsNodesToValues) {
  struct TCase {
    const char* Xml;
    const char* Json;  // the packet read, as JSON with types; "none" for no packet
  } cases[] = {
      {"<ipacket><integer>5</integer></ipacket>", "[{\"integer\":5}]"},
      {"<ipacket>\n  <boolean> false </boolean>\n  <double>2.5</double>\n</ipacket>",
       "[{\"boolean\":false},{\"double\":2.5}]"},
      {"<ipacket name=\"a&amp;b\"><string>  x  </string></ipacket>", "{\"a&b\":{\"string\":\"x\"}}"},
      {"<ipacket><string></string><integer/><string>   </string></ipacket>",
       "[{\"string\":\"\"},{\"string\":\"\"},{\"string\":\"\"}]"},
      // Text, comments and unknown elements inside a packet are nulls.
      {"<ipacket>text<!-- c --><foo>1</foo><mynullish/></ipacket>", "[null,null,null,null]"},
      // Only the first child of a scalar counts: here a comment's text.
      {"<ipacket><integer><!--7-->8</integer></ipacket>", "[{\"integer\":7}]"},
      {"<ipacket><string>a&amp;amp;b&lt;</string></ipacket>", "[{\"string\":\"a&amp;b<\"}]"},
      {"<ipacket><string><![CDATA[<raw>]]></string></ipacket>", "[{\"string\":\"<raw>\"}]"},
      {"<ipacket><array-integer><integer>1</integer><string>2</string></array-integer></ipacket>",
       "[[{\"integer\":1},{\"integer\":2}]]"},
      {"<ipacket><array-bogus><integer>1</integer></array-bogus></ipacket>", "[[null]]"},
      {"<ipacket><array-currency><currency>\"$1.00\"</currency></array-currency></ipacket>",
       "[[{\"string\":\"\\\"$1.00\\\"\"}]]"},
      {"<ipacket><currency>12.5</currency></ipacket>", "[{\"currency\":\"$12.50\"}]"},
      {"<ipacket><uint64>18446744073709551615</uint64></ipacket>", "[{\"uInt64\":18446744073709551615}]"},
      // An unclosed packet still reads; what follows the first top-level node is ignored.
      {"<ipacket><integer>1</integer>", "[{\"integer\":1}]"},
      {"<ipacket/><ipacket><integer>1</integer></ipacket>", "[]"},
      {"<?xml version=\"1.0\"?><ipacket/>", "none"},
      {"<!-- lead --><ipacket/>", "none"},
      {"<integer>5</integer>", "none"},
      {"<array-var><integer>5</integer></array-var>", "[{\"integer\":5}]"},
  };
  for (const TCase& c : cases) {
    IPacketPtr p = TPacketConversions::PacketFromXML(c.Xml);
    EXPECT_EQ(p ? TPacketConversions::PacketAsJSON(p, false, true) : "none", c.Json) << c.Xml;
  }
  IPacketPtr d = TPacketConversions::PacketFromXML("<ipacket><date>2024-02-29</date><date>12:30</date></ipacket>");
  EXPECT_EQ(d->GetVar(0).Kind(), varDate);
  EXPECT_EQ(d->GetVar(0).RawDouble(), EncodeDateTime(2024, 2, 29));
  EXPECT_EQ(d->GetVar(1).Kind(), varDate);
}

TEST(XMLReaderTest, FailsClearlyOnTextItCannotRead) {
  struct TCase {
    std::string Xml;
    const char* Error;
  } cases[] = {
      {"", kErrInvalidXML},
      {"  \r\n ", kErrInvalidXML},
      {"just text", kErrInvalidXML},
      {"<ipacket><integer>abc</integer></ipacket>",
       "Could not convert variant of type (UnicodeString) into type (Integer)"},
      {"<ipacket><byte>300</byte></ipacket>", "Overflow while converting variant of type (Int64) into type (Byte)"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Error([&] { TPacketConversions::PacketFromXML(c.Xml); }), c.Error) << c.Xml;

  // Nesting is limited as in JSON: 1024 levels read, one more is refused.
  auto nested = [](int ALevels) {
    std::string s;
    for (int i = 0; i < ALevels; ++i) s += "<ipacket>";
    for (int i = 0; i < ALevels; ++i) s += "</ipacket>";
    return s;
  };
  EXPECT_TRUE(TPacketConversions::PacketFromXML(nested(1024)));
  EXPECT_EQ(Error([&] { TPacketConversions::PacketFromXML(nested(1025)); }), kErrXMLTooDeep);
  EXPECT_EQ(Error([&] { TPacketConversions::PacketFromXML(std::string(100000, '<') + "ipacket>"); }), "no error");
  std::string deepScalar = "<ipacket><integer>";
  for (int i = 0; i < 5000; ++i) deepScalar += "<x>";
  EXPECT_EQ(Error([&] { TPacketConversions::PacketFromXML(deepScalar); }), kErrXMLTooDeep);
}

}  // namespace
}  // namespace vexor
