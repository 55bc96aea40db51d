// The banner filter over chunks, and terminal lines read as text.
#include <gtest/gtest.h>

#include <thread>

#include "common/Wait.h"
#include "process/LineChunkFilter.h"
#include "process/TerminalText.h"

namespace vexor {
namespace {

TLineChunkFilter BannerFilter(uint32_t AHoldMs = 100) {
  return TLineChunkFilter([](std::string_view l) { return l.rfind("Debugger ", 0) == 0; },
                          [](std::string_view s) {
                            const std::string_view start = "Debugger ";
                            return start.substr(0, std::min(start.size(), s.size())) ==
                                   s.substr(0, std::min(start.size(), s.size()));
                          },
                          AHoldMs);
}

TEST(LineChunkFilter, DropsWholeLinesHoldsOnlyWhatMayBeDropped) {
  struct Case {
    std::vector<std::string> Chunks;
    std::vector<std::string> Passed;  // what each chunk lets through at once
  } cases[] = {
      {{"a\nDebugger listening\r\nb\n"}, {"a\nb\n"}},
      // A banner split across reads is still dropped; its start waits meanwhile.
      {{"Debu", "gger attached.\n", "x"}, {"", "", "x"}},
      // A line that cannot be the banner passes at once, partial or not.
      {{"prompt> ", "rest\n"}, {"prompt> ", "rest\n"}},
      {{"De", "lta\n"}, {"", "Delta\n"}},
      // Inside a line passed already, "Debugger " is text.
      {{"say ", "Debugger x\n"}, {"say ", "Debugger x\n"}},
      {{"\n\n", "Debugger x"}, {"\n\n", ""}},
  };
  for (const Case& c : cases) {
    TLineChunkFilter filter = BannerFilter();
    for (size_t i = 0; i < c.Chunks.size(); ++i) EXPECT_EQ(filter.Take(c.Chunks[i]), c.Passed[i]) << c.Chunks[i];
  }
}

TEST(LineChunkFilter, OnASharedStreamALineDroppedInsideAnotherLeavesIt) {
  // One writer's stream: inside a line, "Debugger " is the line's own text.
  TLineChunkFilter own = BannerFilter();
  EXPECT_EQ(own.Take("prompt> "), "prompt> ");
  EXPECT_EQ(own.Take("Debugger attached.\r\n"), "Debugger attached.\r\n");
  // Two writers on one terminal: the other's whole line after a prompt goes, the prompt's line
  // goes on.
  TLineChunkFilter shared = BannerFilter();
  shared.SetDropAtChunkStart(true);
  EXPECT_EQ(shared.Take("prompt> "), "prompt> ");
  EXPECT_EQ(shared.Take("Debugger attached.\r\nrest\n"), "rest\n");
}

TEST(LineChunkFilter, AHeldLineStartGoesOnAfterTheHoldTime) {
  TLineChunkFilter filter = BannerFilter(30);
  EXPECT_EQ(filter.Take("Debugger"), "");
  EXPECT_EQ(filter.Flush(false), "");
  EXPECT_TRUE(testing::WaitFor([&] { return !filter.Flush(false).empty() || !filter.Holding(); }, 2000));
  // Its rest belongs to a line passed on already.
  EXPECT_EQ(filter.Take(" was here\nDebugger y\n"), " was here\n");
  EXPECT_EQ(filter.Take("Debug"), "");
  EXPECT_EQ(filter.Flush(true), "Debug");
}

TEST(TerminalText, LineReadsAsShown) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain\r", "plain"},
      {"\x1b[31mError:\x1b[39m boom", "Error: boom"},
      {" 10%\r 50%\r100%\r", "100%"},
      {"\x1b]0;title\a\x1b(Bok\x1b[2K\x1b[1G", "ok"},
      {"tab\there\x07", "tab\there"},
      {"ä ✓ 😀", "ä ✓ 😀"},
      {"cut\x1b[", "cut"},
  };
  for (const auto& [line, text] : cases) EXPECT_EQ(TerminalLineText(line), text) << line;
}

}  // namespace
}  // namespace vexor
