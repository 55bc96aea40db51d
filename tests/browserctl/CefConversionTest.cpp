// The host-side conversions between page values, variants, packets and JSON text, without a browser.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>

#include "browser/bridge/BridgeWire.h"
#include "browser/bridge/CefConversion.h"
#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"

using namespace vexor;

namespace {

// Sets the process's time zone for one scope (a POSIX zone text), restoring the previous one.
class TZoneScope {
 public:
  explicit TZoneScope(const char* AZone) {
    if (const char* old = std::getenv("TZ")) FOld = old, FHadOld = true;
    ::setenv("TZ", AZone, 1);
    ::tzset();
  }
  ~TZoneScope() {
    if (FHadOld)
      ::setenv("TZ", FOld.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::string FOld;
  bool FHadOld = false;
};

class TFormatted : public TRefCntObject, public IFormattedPacket {
 public:
  IPacketPtr GetPacket() override { return TPacketConversions::PacketFromJSON(R"({"f":1})"); }
  std::vector<std::pair<std::string, Variant>> NamedValues() override { return {{"f", 1}, {"g", "h"}}; }
};

Variant FormattedValue() {
  return Variant::Object(varUnknown, TRef<IInterface>::Adopt(static_cast<IInterface*>(new TFormatted)));
}

using J = TJsValue;
TJsValuePtr Obj(std::vector<std::pair<std::string, TJsValuePtr>> AMembers) { return J::Object(std::move(AMembers)); }
TJsValuePtr Arr(TJsValueList AItems) { return J::Array(std::move(AItems)); }

// 2017-06-01 12:34:56.007 local time at UTC+2, as a page's Date holds it.
const double kJsDate = 1496313296007.0;

TEST(CefConversion, PageValueToVariant) {
  TZoneScope zone("<+02>-2");
  auto fn = J::Function(4);
  struct TCase {
    const char* Name;
    TJsValuePtr In;
    TVarType Kind;
    std::function<void(const Variant&)> Check;
  } cases[] = {
      {"undefined", J::Undefined(), varEmpty, {}},
      {"null", J::Null(), varNull, {}},
      {"bool", J::Bool(true), varBoolean, [](const Variant& v) { EXPECT_TRUE(v.AsBoolean()); }},
      {"int", J::Int(-7), varInteger, [](const Variant& v) { EXPECT_EQ(v.AsInt32(), -7); }},
      {"date", J::Date(kJsDate), varDate,
       [](const Variant& v) { EXPECT_NEAR(v.RawDouble(), EncodeDateTime(2017, 6, 1, 12, 34, 56, 7), 1e-9); }},
      {"double", J::Double(1.5), varDouble, [](const Variant& v) { EXPECT_EQ(v.AsDouble(), 1.5); }},
      {"string", J::String("x\xC3\xA9"), varUString, [](const Variant& v) { EXPECT_EQ(v.AsString(), "x\xC3\xA9"); }},
      {"function", fn, varCefV8Value,
       [&](const Variant& v) { EXPECT_EQ(TCef8ValueVariantType::ValueOf(v).get(), fn.get()); }},
      {"array", Arr({J::Int(1), J::String("a"), Arr({})}), varArray | varVariant,
       [](const Variant& v) {
         ASSERT_EQ(v.ArrayCount(), 3u);
         EXPECT_EQ(v.ArrayItem(0).Kind(), varInteger);
         EXPECT_EQ(v.ArrayItem(1).AsString(), "a");
         EXPECT_EQ(v.ArrayItem(2).Kind(), varArray | varVariant);
       }},
      {"object", Obj({{"a", J::Int(1)}, {"b", Obj({{"c", J::Bool(true)}})}, {"s", J::String("t")}}), varPacket,
       [](const Variant& v) { EXPECT_EQ(VarPacketRef(v)->AsString(), R"({"a":1,"b":{"c":true},"s":"t"})"); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Variant v = TCefConversion::CefToVariant(c.In);
    EXPECT_EQ(v.Kind(), c.Kind);
    if (c.Check) c.Check(v);
  }
  try {
    TCefConversion::CefToVariant(nullptr);
    FAIL() << "no error for a missing value";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Invalid argument type");
  }
  // A kind-291 value keeps its page value alive by a counted reference and shares it on copy.
  const int32_t before = fn->RefCount();
  {
    Variant a = TCef8ValueVariantType::Make(fn);
    Variant b = a;
    EXPECT_EQ(fn->RefCount(), before + 2);
    b.Clear();
    EXPECT_EQ(fn->RefCount(), before + 1);
  }
  EXPECT_EQ(fn->RefCount(), before);
}

TEST(CefConversion, VariantToPageValue) {
  TZoneScope zone("<+02>-2");
  IPacketPtr typedOne = NewPacketOf("n", 5);
  IPacketPtr typedProps = NewPacket("t");
  typedProps->PutProperty("a", 1);
  typedProps->PutProperty("b", "x");
  IPacketPtr typedValues = NewPacketOfValues("v", {1, 2}, true);
  IPacketPtr untypedProps = TPacketConversions::PacketFromJSON(R"({"a":1,"b":{"c":true,"d":"e"},"l":[1,2]})");
  IPacketPtr untypedValues = NewPacketOfValues("", {1, "y"}, true);
  auto fn = J::Function(9);
  struct TCase {
    const char* Name;
    Variant In;
    TJsValuePtr Out;
  } cases[] = {
      {"empty", Variant(), J::Undefined()},
      {"null", Variant::Null(), J::Null()},
      {"ole string", Variant::Str(varOleStr, "o"), J::String("o")},
      {"ansi string", Variant::Str(varString, "a"), J::String("a")},
      {"string", Variant("u/\""), J::String("u/\"")},
      {"bool", Variant(false), J::Bool(false)},
      {"single", Variant(0.5f), J::Double(0.5)},
      {"double", Variant(2.25), J::Double(2.25)},
      {"currency", Variant::FromCurrency(1.25), J::Double(1.25)},
      {"byte", Variant(static_cast<unsigned char>(200)), J::Int(200)},
      {"smallint", Variant(static_cast<short>(-5)), J::Int(-5)},
      {"integer", Variant(-70000), J::Int(-70000)},
      {"int64 in range", Variant(static_cast<long long>(42)), J::Int(42)},
      {"int64 beyond 32 bits keeps its worth", Variant(static_cast<long long>(5000000000)), J::Double(5e9)},
      {"uint64 beyond 32 bits", Variant(static_cast<unsigned long long>(1) << 40), J::Double(1099511627776.0)},
      {"date", Variant::Date(EncodeDateTime(2017, 6, 1, 12, 34, 56, 7)), J::Date(kJsDate)},
      {"array", Variant::Array(varVariant, {1, "a", Variant::Array(varVariant, {true})}),
       Arr({J::Int(1), J::String("a"), Arr({J::Bool(true)})})},
      {"typed, one value", Variant(typedOne), Obj({{"n", J::Int(5)}})},
      {"typed property list", Variant(typedProps), Obj({{"t", Obj({{"a", J::Int(1)}, {"b", J::String("x")}})}})},
      {"typed values", Variant(typedValues), Arr({J::Int(1), J::Int(2)})},
      {"untyped property list", Variant(untypedProps),
       Obj({{"a", J::Int(1)},
            {"b", Obj({{"c", J::Bool(true)}, {"d", J::String("e")}})},
            {"l", Arr({J::Int(1), J::Int(2)})}})},
      {"untyped values", Variant(untypedValues), Arr({J::Int(1), J::String("y")})},
      {"no packet", Variant(IPacketPtr()), J::Null()},
      {"page value", TCef8ValueVariantType::Make(fn), fn},
      {"formatted packet", FormattedValue(), Obj({{"f", J::Int(1)}, {"g", J::String("h")}})},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TJsValuePtr v = TCefConversion::VariantToCef(c.In);
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->Equals(*c.Out)) << TBridgeWire::ArgumentsText({v}) << " expected "
                                   << TBridgeWire::ArgumentsText({c.Out});
  }
  // An object that is neither a packet nor a formatted packet has no page form.
  class TPlain : public TRefCntObject {};
  Variant plain = Variant::Object(varUnknown, TRef<IInterface>::Adopt(static_cast<IInterface*>(new TPlain)));
  try {
    TCefConversion::VariantToCef(plain);
    FAIL() << "no error for a plain object";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Unsupported variant conversion");
  }
}

TEST(CefConversion, ListsConvertElementWiseAndClearInPlace) {
  TVariantArray vars = TCefConversion::VarArrayFromCef({J::Int(1), J::String("x"), J::Undefined()});
  ASSERT_EQ(vars.size(), 3u);
  EXPECT_EQ(vars[1].AsString(), "x");
  EXPECT_TRUE(vars[2].IsEmpty());
  TJsValueList back = TCefConversion::VarArrayToCefs(vars);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_TRUE(back[0]->Equals(*J::Int(1)));
  TCefConversion::ClearVarArray(vars);
  TCefConversion::ClearCefArray(back);
  ASSERT_EQ(vars.size(), 3u);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_TRUE(vars[1].IsEmpty());
  EXPECT_FALSE(back[0]);
}

TEST(CefConversion, JsonText) {
  TZoneScope zone("<+02>-2");
  struct TCase {
    const char* Name;
    Variant In;
    const char* Out;
  } cases[] = {
      {"quote and slash", Variant("a\"b/c\\d"), R"("a\"b\/c\\d")"},
      {"control characters", Variant(std::string("\b\t\n\f\r\x01\x1f", 7)), R"("\b\t\n\f\r\u0001\u001F")"},
      {"non-ASCII unchanged", Variant("\xC3\xA9\xE2\x82\xAC"), "\"\xC3\xA9\xE2\x82\xAC\""},
      {"ole string", Variant::Str(varOleStr, "o"), R"("o")"},
      {"date", Variant::Date(EncodeDateTime(2017, 6, 1, 12, 34, 56, 7)), R"("2017-06-01T12:34:56,7+02:00")"},
      {"true", Variant(true), "true"},
      {"false", Variant(false), "false"},
      {"double", Variant(1.5), "1.5"},
      {"15 digits", Variant(0.1 + 0.2), "0.3"},
      {"large double", Variant(1e20), "1E20"},
      {"single", Variant(0.25f), "0.25"},
      {"currency", Variant::FromCurrency(1.25), "1.25"},
      {"integer", Variant(-3), "-3"},
      {"int64", Variant(static_cast<long long>(-5000000000)), "-5000000000"},
      {"uint64 stays unsigned", Variant(std::numeric_limits<unsigned long long>::max()), "18446744073709551615"},
      {"null", Variant::Null(), "null"},
      {"array", Variant::Array(varVariant, {1, "x", true, Variant::Null()}), R"([1,"x",true,null])"},
      {"empty array", Variant::Array(varVariant, {}), "[]"},
      {"packet unquoted", Variant(TPacketConversions::PacketFromJSON(R"({"a":1})")), R"({"a":1})"},
      {"formatted packet", FormattedValue(), R"({"f":1})"},
      {"empty", Variant(), ""},
      {"page value", TCef8ValueVariantType::Make(J::Function()), ""},
  };
  for (auto& c : cases) EXPECT_EQ(TCefConversion::VarToJSONStr(c.In), c.Out) << c.Name;

  const Variant args[] = {1, "x", true};
  EXPECT_EQ(TCefConversion::AsJSON(args), R"(1,"x",true)");
  EXPECT_EQ(TCefConversion::AsJSON(std::span<const Variant>()), "");
  EXPECT_EQ(TCefConversion::VarArrayToJSON(Variant::Array(varVariant, {2, "y"})), R"([2,"y"])");
  try {
    TCefConversion::VarArrayToJSON(Variant(1));
    FAIL() << "no error for a non-array";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Invalid variant type");
  }
  EXPECT_EQ(TCefConversion::AsJSON(IFormattedPacketPtr::Adopt(new TFormatted)), R"({"f":1})");
}

TEST(CefConversion, DateTextCarriesTheMachinesCurrentOffset) {
  const TDateTime d = EncodeDateTime(2017, 6, 1, 12, 34, 56, 7);
  struct TCase {
    const char* Zone;
    const char* Text;
  } cases[] = {
      {"<+02>-2", "2017-06-01T12:34:56,7+02:00"},
      {"UTC0", "2017-06-01T12:34:56,7+00:00"},
      {"<-0530>5:30", "2017-06-01T12:34:56,7-05:30"},
      {"<+0545>-5:45", "2017-06-01T12:34:56,7+05:45"},
  };
  for (auto& c : cases) {
    TZoneScope zone(c.Zone);
    EXPECT_EQ(TCefConversion::DateToText(d), c.Text) << c.Zone;
  }
  TZoneScope zone("UTC0");
  EXPECT_EQ(TCefConversion::DateToText(EncodeDateTime(2001, 2, 3, 4, 5, 6, 120)), "2001-02-03T04:05:06,120+00:00");
}

TEST(CefConversion, GuardedCallScript) {
  EXPECT_EQ(TCefConversion::GuardedCallScript("__dispatchEvents", R"({"a":1},2)"),
            "(function() {try {if (typeof __dispatchEvents === 'function') { __dispatchEvents({\"a\":1},2) }} "
            "catch(e) {console.error('error calling __dispatchEvents', e)}})();");
}

}  // namespace

// Packets write themselves as JSON once the program's conversions have started.
class TConversions : public ::testing::Environment {
  void SetUp() override { InitPacketConversions(); }
};
const auto* const kConversions = ::testing::AddGlobalTestEnvironment(new TConversions);
