#include <gtest/gtest.h>

#include <string>

#include "common/ToolRun.h"

namespace {

using vexor::testing::TToolRun;

TToolRun RunTool(const std::string& AArgs, const std::string& AInput) {
  return vexor::testing::RunTool(VXPACKET_PATH, AArgs, AInput);
}

const char kExample[] = "<ipacket><integer>5</integer><ipacket name=\"p\"><string>a&amp;b</string></ipacket></ipacket>";

TEST(VxpacketXmlTest, ConvertsBetweenJsonAndXml) {
  struct TCase {
    const char* Args;
    std::string Input;
    int Exit;
    std::string Out;
    const char* Err;
  } cases[] = {
      {"--from xml --to xml", kExample, 0, std::string(kExample) + "\n", ""},
      {"--from xml", kExample, 0, "[5,{\"p\":\"a&b\"}]\n", ""},
      {"--from xml --types", kExample, 0, "[{\"integer\":5},{\"p\":{\"string\":\"a&b\"}}]\n", ""},
      {"--to xml", "[5,{\"p\":\"a&b\"}]", 0,
       "<ipacket><int64>5</int64><ipacket name=\"p\"><string>a&amp;b</string></ipacket></ipacket>\n", ""},
      {"--to XML --readable", "{\"point\":7}", 0, "<ipacket name=\"point\">\r\n  <int64>7</int64></ipacket>\n", ""},
      {"--from xml --to json", "<?xml version=\"1.0\"?>\n<ipacket/>", 0, "", "vxpacket: no packet\n"},
      {"--from xml", "", 1, "", "vxpacket: Invalid XML string.\n"},
      {"--from xml", "<ipacket><integer>x</integer></ipacket>", 1, "",
       "vxpacket: Could not convert variant of type (UnicodeString) into type (Integer)\n"},
      {"--to xml", "[null,[]]", 0, "<ipacket><null/><array-var></array-var></ipacket>\n", ""},
      {"--from raw --to json", "", 1, "", nullptr},
      {"--from raw --compressed zlib --to xml", "", 1, "", nullptr},
      {"--to xml --compress zlib", "[1]", 2, "", nullptr},
      {"--from json --compressed snappy", "[1]", 2, "", nullptr},
      {"--to raw --compress gzip", "[1]", 2, "", nullptr},
      {"--to raw --compress", "[1]", 2, "", nullptr},
      {"--from yaml", "[1]", 2, "", nullptr},
  };
  for (const TCase& c : cases) {
    TToolRun r = RunTool(c.Args, c.Input);
    EXPECT_EQ(r.Exit, c.Exit) << c.Args << ": " << r.Err;
    EXPECT_EQ(r.Out, c.Out) << c.Args;
    if (c.Err)
      EXPECT_EQ(r.Err, c.Err) << c.Args;
    else if (c.Exit == 2)
      EXPECT_EQ(r.Err.rfind("usage: vxpacket", 0), 0u) << r.Err;
    else
      EXPECT_EQ(r.Err.rfind("vxpacket: ", 0), 0u) << r.Err;
  }
}

// Raw bytes, plain and in either compressed block, read back to the text they were made from; a
// block read with the wrong compression is refused, not misread.
TEST(VxpacketXmlTest, JsonThroughRawAndBackKeepsTheText) {
  const std::string text = "[1,\"caf\u00e9\",{\"p\":[2.5,true,null]},{\"q\":{}}]";
  const std::string expected = RunTool("--from json", text).Out;
  ASSERT_FALSE(expected.empty());
  for (const char* compression : {"", "zlib", "snappy"}) {
    std::string to = "--to raw", from = "--from raw";
    if (*compression) {
      to += std::string(" --compress ") + compression;
      from += std::string(" --compressed ") + compression;
    }
    TToolRun raw = RunTool(to, text);
    ASSERT_EQ(raw.Exit, 0) << to << ": " << raw.Err;
    TToolRun back = RunTool(from, raw.Out);
    EXPECT_EQ(back.Exit, 0) << from << ": " << back.Err;
    EXPECT_EQ(back.Out, expected) << from;
  }
  TToolRun zlib = RunTool("--to raw --compress zlib", text);
  TToolRun wrong = RunTool("--from raw --compressed snappy", zlib.Out);
  EXPECT_EQ(wrong.Exit, 1) << wrong.Out;
  EXPECT_EQ(wrong.Err.rfind("vxpacket: ", 0), 0u) << wrong.Err;
}

TEST(VxpacketXmlTest, JsonThroughXmlAndBackKeepsTheText) {
  const char* texts[] = {
      R"({"id":1042,"type":"reply","result":{"status":"ok","value":42.5,"items":[1,2,3],"error":null}})",
      R"([{"a":1},{"b":"x \"q\" <tag> & more"}])",
      R"({"when":"2024-02-29","list":[[1,2],[]],"flag":true,"big":1E300})",
  };
  for (const char* t : texts) {
    TToolRun xml = RunTool("--to xml", t);
    ASSERT_EQ(xml.Exit, 0) << xml.Err;
    TToolRun json = RunTool("--from xml --to json", xml.Out);
    ASSERT_EQ(json.Exit, 0) << json.Err;
    TToolRun direct = RunTool("", t);
    EXPECT_EQ(json.Out, direct.Out) << xml.Out;
  }
}

}  // namespace
