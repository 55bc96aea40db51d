// The text forms between the page script and the host.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "browser/bridge/BridgeWire.h"
#include "platform/Exceptions.h"

using namespace vexor;

namespace {

using J = TJsValue;

TEST(BridgeWire, PageValuesSurviveTheirText) {
  TJsValueList values = {J::Undefined(),
                         J::Null(),
                         J::Bool(false),
                         J::Int(-2147483647 - 1),
                         J::Double(0.1 + 0.2),
                         J::Double(-1e300),
                         J::Double(std::numeric_limits<double>::quiet_NaN()),
                         J::Double(-std::numeric_limits<double>::infinity()),
                         J::Date(1496313296007.0),
                         J::String("q\"/\\\n\xC3\xA9"),
                         J::Function(),
                         J::Array({J::Int(1), J::Array({})}),
                         J::Object({{"a", J::Int(1)}, {"", J::Object({})}, {"\xC3\xA9", J::Array({J::Null()})}})};
  const std::string text = TBridgeWire::ArgumentsText(values);
  TJsValueList back = TBridgeWire::ParseArguments(text);
  ASSERT_EQ(back.size(), values.size()) << text;
  for (size_t i = 0; i < values.size(); ++i) EXPECT_TRUE(back[i]->Equals(*values[i])) << i << ": " << text;
  // What the page script writes for callDelphi(1, "x").
  TJsValueList call = TBridgeWire::ParseArguments(R"([[3,1],[258,"x"]])");
  ASSERT_EQ(call.size(), 2u);
  EXPECT_TRUE(call[0]->Equals(*J::Int(1)));
  EXPECT_TRUE(call[1]->Equals(*J::String("x")));
}

TEST(BridgeWire, MalformedPageTextIsRefused) {
  std::string deep;
  for (int i = 0; i <= TBridgeWire::kMaxDepth + 1; ++i) deep += "[8204,[";
  deep += "[1]";
  for (int i = 0; i <= TBridgeWire::kMaxDepth + 1; ++i) deep += "]]";
  const std::string cases[] = {
      "",
      "{}",
      "[",
      "[1]",
      "[[]]",
      "[[3]]",
      "[[3,1.5]]",
      "[[3,4294967296]]",
      "[[11,1]]",
      "[[258,2]]",
      "[[5,\"x\"]]",
      "[[13,[\"a\"]]]",
      "[[13,[1,[1]]]]",
      "[[8204,1]]",
      "[[99,1]]",
      "[[1,2,3]]",
      "[\"x\"]",
      "[" + deep + "]",
  };
  for (const std::string& c : cases) {
    try {
      TBridgeWire::ParseArguments(c);
      ADD_FAILURE() << "accepted: " << c.substr(0, 40);
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Invalid page message") << c.substr(0, 40);
    }
  }
}

TEST(BridgeWire, ParamsForThePageArePlainJson) {
  EXPECT_EQ(TBridgeWire::ParamsText({}), "[]");
  EXPECT_EQ(TBridgeWire::ParamsText({Variant(), Variant::Null(), true, 7, "a/\"b", 1.5,
                                     std::numeric_limits<double>::infinity()}),
            R"([null,null,true,7,"a\/\"b",1.5,null])");
}

}  // namespace
