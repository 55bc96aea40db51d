#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "process/LineProtocol.h"

namespace vexor {
namespace {

TEST(LineProtocol, RequestLinesCarryUpperCaseHexIds) {
  struct Case {
    int32_t Id;
    const char* Hex;
  } cases[] = {{1, "1"}, {10, "A"}, {26, "1A"}, {255, "FF"}, {256, "100"}, {0x7FFFFFFF, "7FFFFFFF"}};
  for (const auto& c : cases) {
    EXPECT_EQ(FormatRequestLine(c.Id, R"({"a":1})"), std::string(c.Hex) +
                                                         "\x01"
                                                         R"({"a":1})"
                                                         "\n")
        << c.Id;
  }
}

TEST(LineProtocol, LinesAreClassifiedByTheirFirstCharacter) {
  EXPECT_EQ(ClassifyLine(""), lkEmpty);
  EXPECT_EQ(ClassifyLine("\x02{}"), lkReply);
  EXPECT_EQ(ClassifyLine("\x07ready"), lkNotify);
  EXPECT_EQ(ClassifyLine("\x06"), lkKeepAlive);
  EXPECT_EQ(ClassifyLine("plain \x02"), lkOutput);
  EXPECT_EQ(ClassifyLine("\r"), lkOutput);
}

// Each step feeds one chunk and names the lines handed out by it.
TEST(LineProtocol, SplitLinesHandsOutEachLineOnceItsLineFeedArrives) {
  struct Step {
    std::string Chunk;
    std::vector<std::string> Lines;
  };
  struct Case {
    const char* Name;
    std::vector<Step> Steps;
    std::string Rest;  // left in the buffer
  } cases[] = {
      {"joined across chunks", {{"abc", {}}, {"def\n", {"abcdef"}}}, ""},
      // Complete lines do not wait behind an unfinished one.
      {"complete lines go at once, the partial third waits",
       {{"l1\nl2\npar", {"l1", "l2"}}, {"t", {}}, {"3\n", {"part3"}}},
       ""},
      {"a prompt stays buffered", {{"line1\nline2\nprompt> ", {"line1", "line2"}}}, "prompt> "},
      {"blank lines are lines", {{"\n", {""}}, {"a\n\n\nb\n", {"a", "", "", "b"}}}, ""},
      {"carriage return stays in its line", {{"a\r\nb\r\n", {"a\r", "b\r"}}}, ""},
      {"empty chunk changes nothing", {{"x", {}}, {"", {}}, {"\n", {"x"}}}, ""},
  };
  for (const auto& c : cases) {
    std::string buffer;
    for (const auto& s : c.Steps) {
      std::vector<std::string> got;
      SplitLines(buffer, s.Chunk, [&](const std::string& l) { got.push_back(l); });
      EXPECT_EQ(got, s.Lines) << c.Name << " / chunk '" << s.Chunk << "'";
    }
    EXPECT_EQ(buffer, c.Rest) << c.Name;
  }
}

TEST(LineProtocol, AFailingLineNeitherRepeatsNorBlocksOtherLines) {
  std::string buffer = "held ";
  std::vector<std::string> got;
  auto handler = [&](const std::string& l) {
    got.push_back(l);
    if (l.rfind("bad", 0) == 0) throw std::runtime_error("cannot handle " + l);
  };

  // The first failure is reported after the rest of the chunk was handed out.
  try {
    SplitLines(buffer, "one\nbad1\ntwo\n", handler);
    FAIL() << "expected the failure to be reported";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "cannot handle bad1");
  }
  EXPECT_EQ(got, (std::vector<std::string>{"held one", "bad1", "two"}));
  EXPECT_TRUE(buffer.empty());

  // Several failures in one chunk: one report that counts the others.
  got.clear();
  try {
    SplitLines(buffer, "bad2\nbad3\nbad4\nthree\nrest", handler);
    FAIL() << "expected the failure to be reported";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "cannot handle bad2 (and 2 more failing lines in the same chunk)");
  }
  EXPECT_EQ(got, (std::vector<std::string>{"bad2", "bad3", "bad4", "three"}));
  EXPECT_EQ(buffer, "rest");  // the unfinished line survives the failures

  // Later chunks go on as before.
  got.clear();
  SplitLines(buffer, "four\n", handler);
  EXPECT_EQ(got, (std::vector<std::string>{"restfour"}));
}

TEST(LineProtocol, BatchesStopOnceTheLimitInUtf16UnitsIsReached) {
  struct Case {
    const char* Name;
    std::vector<std::string> Lines;
    int32_t Limit;
    std::vector<std::string> Batches;
  } cases[] = {
      {"last line may pass the limit", {"aaa\n", "bbb\n", "ccc\n", "ddd\n"}, 10, {"aaa\nbbb\nccc\n", "ddd\n"}},
      {"a line longer than the limit goes alone", {"aaaaaaaa\n", "b\n"}, 4, {"aaaaaaaa\n", "b\n"}},
      // Two-byte characters count one unit: a byte count would stop after two lines.
      {"counted in UTF-16 units, not bytes",
       {"\xC3\xA9\n", "\xC3\xA9\n", "\xC3\xA9\n", "x\n"},
       5,
       {"\xC3\xA9\n\xC3\xA9\n\xC3\xA9\n", "x\n"}},
      // A character outside the basic plane counts two units.
      {"astral characters count two", {"\xF0\x9F\x98\x80\n", "y\n", "z\n"}, 4, {"\xF0\x9F\x98\x80\ny\n", "z\n"}},
  };
  for (const auto& c : cases) {
    TInputBatchQueue q;
    for (const auto& l : c.Lines) q.Push(l);
    std::vector<std::string> batches;
    while (!q.Empty()) batches.push_back(q.TakeBatch(c.Limit));
    EXPECT_EQ(batches, c.Batches) << c.Name;
  }
}

}  // namespace
}  // namespace vexor
