// Runs with TZ=Europe/Berlin: UTC+1 in winter, UTC+2 in summer.
#include <gtest/gtest.h>

#include "packets/json/PacketConversions.h"
#include "packets/Packets.h"

using namespace vexor;

namespace {

TEST(JsonDateTest, DateTextIsWrittenInUTC) {
  const std::pair<TDateTime, const char*> cases[] = {
      {0, "00:00:00.000"},
      {EncodeDateTime(2020, 1, 5), "2020-01-05"},
      {EncodeDateTime(2020, 1, 5, 11, 11, 12, 345), "2020-01-05T10:11:12.345Z"},
      {EncodeDateTime(2020, 7, 1, 0, 30), "2020-06-30T22:30:00.000Z"},
      {EncodeDateTime(2020, 1, 1, 0, 30), "2019-12-31T23:30:00.000Z"},
  };
  for (auto& [v, text] : cases) EXPECT_EQ(TCustomConverter::FixedDateTimeToISOStr(v), text) << text;
  // A time of day alone: whole minutes lose their seconds part.
  std::string t = TCustomConverter::FixedDateTimeToISOStr(EncodeDateTime(1899, 12, 30, 12, 0, 1));
  EXPECT_EQ(t.size(), 13u) << t;
  EXPECT_EQ(t.back(), 'Z');
  TDateTime back = TCustomConverter::FixedISOStrToDateTime(t);
  EXPECT_EQ(TCustomConverter::FixedDateTimeToISOStr(back), t);
}

TEST(JsonDateTest, ReaderRecognisesOnlyExactDateTexts) {
  struct TCase {
    const char* Text;
    bool IsDate;
    TDateTime Value;
  } cases[] = {
      {"2020-01-05", true, EncodeDateTime(2020, 1, 5)},
      {"2020-01-05T00:00:00.000Z", true, EncodeDateTime(2020, 1, 5)},
      {"2020-01-05T10:11:12.345Z", true, EncodeDateTime(2020, 1, 5, 11, 11, 12, 345)},
      {"2020-07-01T10:00:00.000Z", true, EncodeDateTime(2020, 7, 1, 12)},
      {"2020-07-01T10:00:00.000", true, EncodeDateTime(2020, 7, 1, 12)},
      {"2020-1-5", false, 0},
      {"2020-01-05T10:11", false, 0},
      {"2020-01-05T00:00:00.000", false, 0},
      {"2020-02-30", false, 0},
      {"2020-01-05 10:11:12.345", false, 0},
      {"1899-12-30", false, 0},
      {"12-34", false, 0},
      {"a2020-01-05", false, 0},
      {"2020-01-05ZZ", false, 0},
  };
  for (const TCase& c : cases) {
    std::string json = "[\"" + std::string(c.Text) + "\"]";
    Variant v = TPacketConversions::PacketFromJSON(json)->GetVar(0);
    EXPECT_EQ(v.Kind(), c.IsDate ? varDate : varUString) << c.Text;
    if (c.IsDate) {
      EXPECT_DOUBLE_EQ(v.RawDouble(), c.Value) << c.Text;
    }
  }
}

TEST(JsonDateTest, DateTextsSurviveARoundTrip) {
  const char* in =
      R"(["2020-01-05","2020-01-05T00:00:00.000Z","2020-03-29T01:30:00.000Z","10:30:00.000","00:00:00.000"])";
  std::string once = TPacketConversions::PacketAsJSON(TPacketConversions::PacketFromJSON(in));
  EXPECT_EQ(once, R"(["2020-01-05","2020-01-05","2020-03-29T01:30:00.000Z","10:30",null])");
  EXPECT_EQ(TPacketConversions::PacketAsJSON(TPacketConversions::PacketFromJSON(once)), once);
}

}  // namespace
