// Headless output as a user's terminal or pipe sees it, against a real node: the script's bytes
// as they are. Tarnwick's output and error go to one file here, as to a terminal: the script then
// writes both into one pipe, and lines written alternately 1 ms apart keep their exact order.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/ProgramFixture.h"
#include "common/FreePort.h"

namespace vexor {
namespace {

using namespace vexor::testing;

class HeadlessOutputTest : public TProgramFixture {
 protected:
  // Runs AScript headless until it finishes (tarnwick then ends with status 0); what tarnwick
  // wrote to its standard output and error (one file), without our own DevTools line and end
  // report.
  std::string RunScript(const std::string& AScript, uint32_t ATimeoutMs = 60000) {
    std::ofstream(FScript, std::ios::trunc) << AScript;
    Start({"--headless", "--no-break", "--port", std::to_string(FreeLoopbackPort()), FScript}, {});
    const bool ended =
        WaitFor([&] { return ReadWholeFile(FOut).find("tarnwick: the script finished") != std::string::npos; },
                ATimeoutMs);
    EXPECT_EQ(WaitExit(), 0);
    std::string text = ReadWholeFile(FOut);
    EXPECT_TRUE(ended) << text.substr(0, 2000);
    for (const char* ours : {"DevTools: ", "tarnwick: "}) {
      const size_t at = text.find(ours);
      if (at != std::string::npos) text.erase(at, text.find('\n', at) + 1 - at);
    }
    return text;
  }
};

TEST_F(HeadlessOutputTest, PartialLinesPassUnchangedAndTheBannerIsLeftOut) {
  EXPECT_EQ(RunScript("process.stdout.write('prompt> ');\n"
                      "setTimeout(() => process.stdout.write('rest\\n'), 500);\n"),
            "prompt> rest\n");
  // Colours and carriage returns are the script's bytes: nothing added, nothing taken.
  EXPECT_EQ(RunScript("process.stderr.write('\\x1b[31mred\\x1b[0m 10%\\r20%\\r');"), "\x1b[31mred\x1b[0m 10%\r20%\r");
}

TEST_F(HeadlessOutputTest, AlternatingStreamsKeepTheirOrder) {
  const std::string script =
      // The streams are made first (the first use of one takes milliseconds), then each line is
      // written at least 1 ms after the one before.
      "process.stdout; process.stderr;\n"
      "let i = 0;\n"
      "const next = () => { (i % 2 ? console.error : console.log)('line ' + i);"
      " if (++i < 10) setTimeout(next, 1); };\n"
      "setTimeout(next, 1);\n";
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "line " + std::to_string(i) + "\n";
  int inOrder = 0;
  for (int run = 0; run < 20; ++run) {
    const std::string got = RunScript(script);
    if (got == expected)
      ++inOrder;
    else
      ADD_FAILURE() << "run " << run << ":\n" << got;
  }
  EXPECT_EQ(inOrder, 20);
}

TEST_F(HeadlessOutputTest, FloodsAndLongLinesArriveIntact) {
  std::string expected;
  for (int i = 0; i < 200000; ++i) expected += "line " + std::to_string(i) + "\n";
  expected += std::string(10 * 1024 * 1024, 'x') + "\n";
  const std::string got = RunScript(
      "let s = '';\n"
      "for (let i = 0; i < 200000; ++i) s += 'line ' + i + '\\n';\n"
      "process.stdout.write(s);\n"
      "process.stdout.write('x'.repeat(10 * 1024 * 1024) + '\\n');\n",
      120000);
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

}  // namespace
}  // namespace vexor
