#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct TRun {
  int Exit;
  std::string Out, Err;
};

std::string Slurp(const std::string& APath) {
  std::ifstream f(APath, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TRun RunTool(const std::string& AArgs, const std::string& AInput) {
  // Per-process names: ctest may run several cases of this file at once.
  std::string dir = ::testing::TempDir() + "vx" + std::to_string(::getpid()) + "_";
  std::string in = dir + "in", out = dir + "out", err = dir + "err";
  std::ofstream(in, std::ios::binary) << AInput;
  std::string cmd = std::string("'") + VXPACKET_PATH + "' " + AArgs + " <" + in + " >" + out + " 2>" + err;
  int st = std::system(cmd.c_str());
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, Slurp(out), Slurp(err)};
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
  };
  for (const TCase& c : cases) {
    TRun r = RunTool(c.Args, c.Input);
    EXPECT_EQ(r.Exit, c.Exit) << c.Args << " / " << c.Input << ": " << r.Err;
    EXPECT_EQ(r.Out, c.Out) << c.Args << " / " << c.Input;
    if (c.Err)
      EXPECT_EQ(r.Err, c.Err) << c.Args << " / " << c.Input;
    else if (c.Exit == 2)
      EXPECT_EQ(r.Err.rfind("usage: vxpacket", 0), 0u) << r.Err;
    else
      EXPECT_EQ(r.Err.rfind("vxpacket: ", 0), 0u) << r.Err;
  }
}

TEST(VxpacketTest, ReadsANamedFile) {
  std::string path = ::testing::TempDir() + "vx_file" + std::to_string(::getpid()) + ".json";
  std::ofstream(path) << R"([{"a":1},{"b":"x"}])";
  TRun r = RunTool("'" + path + "'", "");
  EXPECT_EQ(r.Exit, 0);
  EXPECT_EQ(r.Out, "{\"a\":1,\"b\":\"x\"}\n");
}

}  // namespace
