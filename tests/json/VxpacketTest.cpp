#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/ToolRun.h"

namespace {

using vexor::testing::TToolRun;

TToolRun RunTool(const std::string& AArgs, const std::string& AInput) {
  return vexor::testing::RunTool(VXPACKET_PATH, AArgs, AInput);
}

TEST(VxpacketTest, ConvertsReportsAndRefuses) {
  struct TCase {
    const char* Args;
    const char* Input;
    int Exit;
    const char* Out;
    const char* Err;
  } cases[] = {
      {"", R"({"a":[1]})", 0, "{\"a\":1}\n", ""},
      {"--from json --to JSON", "[1,2]", 0, "[1,2]\n", ""},
      {"--readable", R"({"point":7})", 0, "{\r\n  \"point\":7}\n", ""},
      {"--types", "[5]", 0, "[{\"int64\":5}]\n", ""},
      {"-", "[5]", 0, "[5]\n", ""},
      {"", "5", 0, "", "vxpacket: no packet\n"},
      {"", "null", 0, "", "vxpacket: no packet\n"},
      {"", "[1,", 1, "", "vxpacket: Invalid JSON string.\n"},
      {"", "", 1, "", "vxpacket: Invalid JSON string.\n"},
      {"--bogus", "[]", 2, "", nullptr},
      {"--from xml2", "[]", 2, "", nullptr},
      {"--to", "[]", 2, "", nullptr},
      {"a b", "[]", 2, "", nullptr},
      {"/nonexistent/file.json", "", 1, "", nullptr},
      {"--max-input 5", "[1,2]", 0, "[1,2]\n", ""},
      {"--max-input 4", "[1,2]", 1, "", "vxpacket: the input is larger than 4 bytes (--max-input)\n"},
      {"--max-input x", "[1,2]", 2, "", nullptr},
      {"--max-input 0", "[1,2]", 2, "", nullptr},
      // Invalid UTF-8 from XML is written replaced, as JSON the reader takes back.
      {"--from xml", "<ipacket><string>a\xff</string></ipacket>", 0, nullptr, ""},
  };
  for (const TCase& c : cases) {
    TToolRun r = RunTool(c.Args, c.Input);
    EXPECT_EQ(r.Exit, c.Exit) << c.Args << " / " << c.Input << ": " << r.Err;
    if (c.Out) {
      EXPECT_EQ(r.Out, c.Out) << c.Args << " / " << c.Input;
    } else {
      EXPECT_NE(r.Out.find("\xEF\xBF\xBD"), std::string::npos) << r.Out;
      EXPECT_EQ(RunTool("", r.Out).Exit, 0) << r.Out;
    }
    if (c.Err) {
      EXPECT_EQ(r.Err, c.Err) << c.Args << " / " << c.Input;
    } else if (c.Exit == 2) {
      EXPECT_EQ(r.Err.rfind("usage: vxpacket", 0), 0u) << r.Err;
    } else {
      EXPECT_EQ(r.Err.rfind("vxpacket: ", 0), 0u) << r.Err;
    }
  }
}

TEST(VxpacketTest, ReadsANamedFile) {
  std::string path = ::testing::TempDir() + "vx_file" + std::to_string(::getpid()) + ".json";
  std::ofstream(path) << R"([{"a":1},{"b":"x"}])";
  TToolRun r = RunTool("'" + path + "'", "");
  EXPECT_EQ(r.Exit, 0);
  EXPECT_EQ(r.Out, "{\"a\":1,\"b\":\"x\"}\n");
}

}  // namespace
