#include <gtest/gtest.h>

#include <thread>

#include <cmath>
#include <limits>

#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "packets/Packets.h"

using namespace vexor;

namespace {

struct TConvCase {
  const char* Name;
  Variant From;
  TVarType To;
  const char* Text;   // expected AsString of the result, or null when an error is expected
  const char* Error;  // expected message start when failing
};

TEST(VariantTest, ConversionsBetweenKinds) {
  const TConvCase cases[] = {
      {"int to text", Variant(42), varUString, "42", nullptr},
      {"text to int", Variant(" 17 "), varInteger, "17", nullptr},
      {"float text rounds half to even", Variant("2.5"), varInteger, "2", nullptr},
      {"double rounds half to even", Variant(3.5), varInt64, "4", nullptr},
      {"double to text", Variant(0.1), varUString, "0.1", nullptr},
      {"uint64 max stays unsigned", Variant(std::numeric_limits<uint64_t>::max()), varUString, "18446744073709551615",
       nullptr},
      {"bool to text", Variant(true), varUString, "True", nullptr},
      {"text to bool", Variant("FALSE"), varBoolean, "False", nullptr},
      {"number text to bool", Variant("2"), varBoolean, "True", nullptr},
      {"bool to int", Variant(true), varInteger, "1", nullptr},
      {"empty to int", Variant(), varInteger, "0", nullptr},
      {"empty to text", Variant(), varUString, "", nullptr},
      {"date to text", Variant::Date(EncodeDateTime(2021, 3, 4, 5, 6, 7)), varUString, "2021-03-04 05:06:07.000",
       nullptr},
      {"text to date", Variant("2021-03-04"), varDate, "2021-03-04", nullptr},
      {"currency to text", Variant::CurrencyScaled(12345), varUString, "1.2345", nullptr},
      {"text to currency", Variant("1.5"), varCurrency, "1.5", nullptr},
      {"text to byte", Variant("255"), varByte, "255", nullptr},
      {"null to text", Variant::Null(), varUString, nullptr,
       "Could not convert variant of type (Null) into type (UnicodeString)"},
      {"null to int", Variant::Null(), varInteger, nullptr,
       "Could not convert variant of type (Null) into type (Integer)"},
      {"null to double", Variant::Null(), varDouble, nullptr, "Could not convert variant of type (Null)"},
      {"word text to int", Variant("abc"), varInteger, nullptr,
       "Could not convert variant of type (UnicodeString) into type (Integer)"},
      {"int overflow", Variant(300), varByte, nullptr, "Overflow while converting"},
      {"int64 to int overflow", Variant(int64_t{1} << 40), varInteger, nullptr, "Overflow while converting"},
      {"negative to uint64", Variant(-1), varUInt64, nullptr, "Overflow while converting"},
      {"text to int overflow", Variant("1e40"), varInteger, nullptr,
       "Overflow while converting variant of type (UnicodeString) into type (Integer)"},
      {"array to text", Variant::Array(varVariant, {Variant(1)}), varUString, nullptr,
       "Could not convert variant of type (Array Variant)"},
  };
  for (const TConvCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Text) {
      Variant r = c.From.ChangeType(c.To);
      EXPECT_EQ(r.Kind(), c.To);
      EXPECT_EQ(r.AsString(), c.Text);
    } else {
      try {
        c.From.ChangeType(c.To);
        ADD_FAILURE() << "no error";
      } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind(c.Error, 0), 0u) << e.what();
        // Told apart by type: only range errors are overflow errors.
        bool overflow = dynamic_cast<const EVariantOverflowError*>(&e) != nullptr;
        EXPECT_EQ(overflow, std::string(c.Error).rfind("Overflow", 0) == 0);
      }
    }
  }
}

TEST(VariantTest, FloatTextUsesFifteenDigitsAndTheGeneralForm) {
  const std::pair<double, const char*> cases[] = {
      {0, "0"},
      {1, "1"},
      {-2.5, "-2.5"},
      {0.00001, "0.00001"},
      {0.000001, "1E-6"},
      {1.5e-7, "1.5E-7"},
      {1e20, "1E20"},
      {1e15, "1E15"},
      {123456789012345.0, "123456789012345"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {-1.25e-300, "-1.25E-300"},
      {static_cast<double>(0.1f), "0.100000001490116"},
      {123.456789, "123.456789"},
      {-0.000123, "-0.000123"},
      {100, "100"},
      {0.1 + 0.2, "0.3"},
      {1.7976931348623157e308, "1.79769313486231E308"},
      // Subnormals hold fewer digits than their shortest text suggests.
      {7.3713030335399493e-311, "7.37130303353995E-311"},
  };
  for (auto& [v, text] : cases) EXPECT_EQ(FormatFloatG(v), text) << v;
}

TEST(VariantTest, CopiesOfPacketVariantsShareThePacket) {
  IPacketPtr p = NewPacket();
  Variant a(p);
  Variant b = a;
  VarToPacket(b)->Put(Variant(5));
  EXPECT_EQ(p->GetCount(), 1);
  EXPECT_EQ(VarPacketRef(a), p.get());
  Variant moved = std::move(b);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(VarPacketRef(moved), p.get());
}

TEST(VariantTest, PacketVariantConvertsThroughItsText) {
  InitPacketConversions();
  IPacketPtr seven = NewPacketOf("", Variant(7));
  IPacketPtr point = NewPacketOf("point", Variant(7));
  EXPECT_EQ(Variant(point).AsString(), R"({"point":7})");
  EXPECT_THROW(Variant(point).AsInt32(), Exception);
  EXPECT_EQ(Variant(seven).AsString(), "[7]");
  // Different packets with equal text compare equal.
  EXPECT_TRUE(Variant(point).SameValue(Variant(NewPacketOf("point", Variant(7)))));
  // Anything but an array or an object becomes a one-value packet.
  Variant pv = Variant(3).ChangeType(varPacket);
  ASSERT_EQ(pv.Kind(), varPacket);
  EXPECT_EQ(VarPacketRef(pv)->GetAsInt(), 3);
}

TEST(VariantTest, ArraysConvertTheirElementsAndKeepBytes) {
  Variant ints = Variant::Array(varInteger, {Variant("1"), Variant(2.0)});
  EXPECT_EQ(ints.Kind(), varArray | varInteger);
  EXPECT_EQ(ints.ArrayItem(0).Kind(), varInteger);
  EXPECT_EQ(ints.ArrayItem(1).AsInt32(), 2);
  Variant bytes = Variant::ByteArray(std::string_view("\x00\xff", 2));
  EXPECT_EQ(bytes.ArrayCount(), 2u);
  EXPECT_EQ(bytes.ArrayItem(1).AsInt32(), 255);
  EXPECT_THROW(Variant::Array(varByte, {Variant(256)}), Exception);
}

}  // namespace

// Texts live inside the value up to 15 bytes and in a shared block beyond: every way of copying,
// moving and dropping them keeps each holder's text whole, also across threads.
TEST(VariantTest, TextsOfEveryLengthSurviveCopiesMovesAndOtherThreads) {
  for (size_t len : {0u, 1u, 14u, 15u, 16u, 17u, 4096u}) {
    SCOPED_TRACE(len);
    std::string text;
    for (size_t i = 0; i < len; ++i) text += static_cast<char>('a' + i % 26);
    Variant a(text);
    Variant copy(a);
    Variant assigned;
    assigned = copy;
    const Variant& self = assigned;
    assigned = self;  // self-assignment keeps the text
    Variant moved(std::move(copy));
    EXPECT_EQ(a.StrRef(), text);
    EXPECT_EQ(assigned.StrRef(), text);
    EXPECT_EQ(moved.StrRef(), text);
    EXPECT_TRUE(moved.SameValue(a));
    EXPECT_EQ(a.AsString(), text);
    // The other holders drop their share while a thread reads its copy.
    std::string seen;
    std::thread reader([held = Variant(a), &seen] { seen = std::string(held.StrRef()); });
    a.Clear();
    assigned = Variant(1);
    reader.join();
    EXPECT_EQ(seen, text);
    EXPECT_EQ(moved.StrRef(), text);
    // Packet type names use the same storage.
    IPacketPtr p = NewPacket(text);
    IPacketPtr clone = ClonePacket(p);
    p = nullptr;
    EXPECT_EQ(clone->GetTypeName(), text);
  }
}
