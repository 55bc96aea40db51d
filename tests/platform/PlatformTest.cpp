#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "platform/AppPaths.h"
#include "platform/CommandLine.h"
#include "platform/DateTime.h"
#include "platform/DebugOutput.h"
#include "platform/SysError.h"
#include "common/TempDir.h"
#include "platform/TextUtf.h"
#include "platform/Ticks.h"

namespace vexor {
namespace {

using testing::TScopedEnv;
using testing::TTempDir;

TEST(CommandLine, SplitsLikeWindows) {
  struct Case {
    const char* Line;
    std::vector<std::string> Args;
  } cases[] = {
      {"node --inspect-brk=127.0.0.1:5678 app.js", {"node", "--inspect-brk=127.0.0.1:5678", "app.js"}},
      {"node \"/tmp/my folder/app.js\"", {"node", "/tmp/my folder/app.js"}},
      {"  a\t\tb  ", {"a", "b"}},
      {"\"\"", {""}},
      {"a\"b c\"d", {"ab cd"}},
      {"a\\\"b", {"a\"b"}},
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"C:\\dir\\x.exe", {"C:\\dir\\x.exe"}},
      {"\"unterminated arg", {"unterminated arg"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.Line), c.Args) << c.Line;
}

// Whatever an argument holds, quoting it and splitting the line gives it back as one argument:
// hand-picked texts around quotes and backslashes, then random bytes of every value.
TEST(CommandLine, QuotedArgumentsSplitBackUnchanged) {
  std::vector<std::string> texts = {"",
                                    " ",
                                    "plain",
                                    "a b",
                                    "dq\"x.js",
                                    "x\" \"--require=/tmp/evil.js\" \"y.js",
                                    "\\",
                                    "a\\",
                                    "a\\\\ b\\",
                                    "\\\"",
                                    "\"\"",
                                    "\"a b.js\"",
                                    "$HOME `id` 'q' \t tab",
                                    "caf\xc3\xa9 \xe2\x82\xac.js",
                                    std::string("nul\0in", 6)};
  std::srand(12345);
  for (int i = 0; i < 2000; ++i) {
    std::string t(static_cast<size_t>(std::rand() % 12), ' ');
    // Mostly the characters that matter to the splitter, some of any value.
    const char kSpecial[] = {' ', '\t', '"', '\\', 'a'};
    for (char& c : t) c = std::rand() % 3 ? kSpecial[std::rand() % 5] : static_cast<char>(std::rand() % 256);
    texts.push_back(t);
  }
  for (const std::string& t : texts) {
    std::vector<std::string> args = SplitCommandLine("node --inspect " + QuoteArgument(t) + " " + QuoteArgument(t));
    ASSERT_EQ(args, (std::vector<std::string>{"node", "--inspect", t, t})) << ::testing::PrintToString(t);
  }
  EXPECT_EQ(QuoteArgument("/tmp/plain/app.js"), "/tmp/plain/app.js");
  EXPECT_EQ(QuoteArgument("/tmp/a b/app.js"), "\"/tmp/a b/app.js\"");
}

TEST(CommandLine, FindsSwitchAfterDashOrSlashInAnyCase) {
  struct Case {
    std::vector<std::string> Args;
    bool Found;
  } cases[] = {
      {{"prog", "-t"}, true},   {{"prog", "/T"}, true},   {{"prog", "script.js", "-T"}, true},
      {{"prog", "t"}, false},   {{"prog", "-tt"}, false}, {{"-t"}, false},  // argv[0] is not a switch
      {{"prog", "--t"}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(FindCmdLineSwitch(c.Args, "t"), c.Found) << ::testing::PrintToString(c.Args);
}

TEST(CommandLine, FindsBareProgramOnPath) {
  EXPECT_EQ(FindProgramOnPath("sh").back(), 'h');
  EXPECT_EQ(FindProgramOnPath("sh").find('/'), 0u);
  EXPECT_EQ(FindProgramOnPath("./relative/prog"), "./relative/prog");
  EXPECT_EQ(FindProgramOnPath("no-such-program-anywhere-42"), "");
}

TEST(TextUtf, CountsUtf16Units) {
  struct Case {
    std::string Text;
    size_t Units;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"\xC3\xA9", 1},
      {"\xE2\x82\xAC", 1},
      {"\xF0\x9F\x98\x80", 2},
      {"a\xF0\x9F\x98\x80z", 4},
      {"\xFF", 1},
      {"\xE2\x82", 2},  // malformed bytes count one each
  };
  for (const auto& c : cases) EXPECT_EQ(Utf16Length(c.Text), c.Units) << c.Text;
}

TEST(TextUtf, FindsIncompleteTail) {
  struct Case {
    std::string Text;
    size_t Tail;
  } cases[] = {
      {"abc", 0},      {"a\xC3", 1},        {"a\xC3\xA9", 0},    {"\xE2", 1},
      {"\xE2\x82", 2}, {"\xE2\x82\xAC", 0}, {"\xF0\x9F\x98", 3}, {"\xF0\x9F\x98\x80", 0},
      {"\xFF", 0},     {"\x80\x80\x80", 0}, {"\xE0\x80", 0},  // overlong: never completes
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8IncompleteTail(c.Text), c.Tail) << ::testing::PrintToString(c.Text);
}

TEST(TextUtf, SanitizesAndCuts) {
  EXPECT_EQ(Utf8Sanitize("a\xFF"
                         "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf8Sanitize("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(Utf8Sanitize("ok \xE2\x82\xAC"), "ok \xE2\x82\xAC");
  EXPECT_EQ(Utf8PrefixByUtf16Units("ab\xF0\x9F\x98\x80"
                                   "c",
                                   3),
            "ab");
  EXPECT_EQ(Utf8PrefixByUtf16Units("ab\xF0\x9F\x98\x80"
                                   "c",
                                   4),
            "ab\xF0\x9F\x98\x80");
  std::string s;
  AppendUtf8(s, U'\u20AC');
  AppendUtf8(s, 0xD800);
  EXPECT_EQ(s, "\xE2\x82\xAC\xEF\xBF\xBD");
}

uint32_t gFakeTick = 0;
uint32_t FakeTicks() { return gFakeTick; }

TEST(Ticks, ElapsedCountsAcrossTheWrap) {
  SetTickSource(&FakeTicks);
  gFakeTick = 0xFFFFFFF0u;
  uint32_t start = GetTickCount32();
  gFakeTick = 0x10;  // 0x20 ms later, after the wrap
  EXPECT_EQ(TicksSince(start), 0x20u);
  EXPECT_TRUE(TickElapsed(start, 0x20));
  EXPECT_FALSE(TickElapsed(start, 0x21));
  gFakeTick = start;
  EXPECT_EQ(TicksSince(start), 0u);
  SetTickSource(nullptr);
  uint32_t a = GetTickCount32();
  EXPECT_LT(TicksSince(a), 1000u);
}

TEST(DateTime, EncodesAndDecodesCalendarDates) {
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1970, 1, 1), 25569.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2024, 3, 7, 12), 45358.5);
  struct Case {
    int Y, M, D, h, m, s, ms;
  } cases[] = {{2024, 3, 7, 21, 5, 7, 0},
               {2000, 2, 29, 23, 59, 59, 999},
               {1899, 12, 29, 6, 0, 0, 0},
               {1600, 1, 1, 0, 0, 0, 1},
               {9999, 12, 31, 12, 30, 0, 500}};
  for (const auto& c : cases) {
    TDecodedDateTime d = DecodeDateTime(EncodeDateTime(c.Y, c.M, c.D, c.h, c.m, c.s, c.ms));
    EXPECT_EQ((std::vector<int>{d.Year, d.Month, d.Day, d.Hour, d.Minute, d.Second, d.MilliSecond}),
              (std::vector<int>{c.Y, c.M, c.D, c.h, c.m, c.s, c.ms}));
  }
  EXPECT_EQ(DecodeDateTime(EncodeDateTime(2024, 3, 7)).DayOfWeek, 4);  // a Thursday
}

TEST(DateTime, ConvertsBetweenLocalAndUtcWithTheZoneRules) {
  TScopedEnv tz("TZ", "America/New_York");
  tzset();
  TDateTime winterUtc = EncodeDateTime(2024, 1, 15, 12);
  TDateTime summerUtc = EncodeDateTime(2024, 7, 15, 12);
  EXPECT_NEAR(UTCToLocal(winterUtc), EncodeDateTime(2024, 1, 15, 7), 1e-9);
  EXPECT_NEAR(UTCToLocal(summerUtc), EncodeDateTime(2024, 7, 15, 8), 1e-9);
  EXPECT_NEAR(LocalToUTC(EncodeDateTime(2024, 7, 15, 8)), summerUtc, 1e-9);
  EXPECT_EQ(LocalUTCOffsetMinutes(EncodeDateTime(2024, 1, 15, 7)), -300);
  EXPECT_NEAR(DateTimeToUnix(UnixToDateTime(1700000000.25)), 1700000000.25, 1e-6);
  EXPECT_NEAR(LocalToUTC(Now()), NowUTC(), 2.0 / 86400);
  ::unsetenv("TZ");
  tzset();
}

TEST(AppPaths, SplitsPathsAndFollowsXdgVariables) {
  EXPECT_EQ(ExtractFilePath("/a/b/c.js"), "/a/b/");
  EXPECT_EQ(ExtractFilePath("node"), "");
  EXPECT_EQ(ExtractFileName("/a/b/c.js"), "c.js");
  EXPECT_EQ(ChangeFileExt("/a/b.c/prog", ".msg"), "/a/b.c/prog.msg");
  EXPECT_EQ(ChangeFileExt("/a/prog.exe", ".msg"), "/a/prog.msg");
  EXPECT_FALSE(ProgramFileName().empty());
  EXPECT_EQ(ProgramFolder() + ProgramFileName(), ProgramPath());

  TTempDir home;
  TScopedEnv h("HOME", home.Path());
  {
    TScopedEnv a("XDG_CONFIG_HOME", "");
    TScopedEnv b("XDG_CONFIG_DIRS", "relative:/x/y:/z");
    TScopedEnv c("XDG_STATE_HOME", "not/absolute");
    TScopedEnv d("XDG_CACHE_HOME", "/cache");
    EXPECT_EQ(XdgConfigHome(), home.Path() + "/.config");
    EXPECT_EQ(XdgConfigDirs(), (std::vector<std::string>{"/x/y", "/z"}));
    EXPECT_EQ(XdgStateHome(), home.Path() + "/.local/state");
    EXPECT_EQ(XdgCacheHome(), "/cache");
  }
  std::string deep = home / "one/two/three";
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_FALSE(FileExists(deep));
}

TEST(SysError, GivesTheSystemText) {
  EXPECT_EQ(SysErrorMessage(2), "No such file or directory");
  EXPECT_EQ(SysErrorMessage(95), "Operation not supported");
}

TEST(DebugOutput, SinkReceivesEachLine) {
  std::vector<std::string> lines;
  SetDebugOutputSink([&](std::string_view s) { lines.emplace_back(s); });
  OutputDebugString("first");
  OutputDebugString("second");
  SetDebugOutputSink(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "second"}));
}

TEST(TextUtf, StripControlsLeavesNoLineBreakOrEscapeSequence) {
  EXPECT_EQ(Utf8StripControls("a\nb\r\x1b[31mc\td\x7f\xc2\x9b"
                              "e\xff"),
            "ab[31mc\tde\xEF\xBF\xBD");
  EXPECT_EQ(Utf8StripControls("tarnwick: \xc3\xa9t\xc3\xa9"), "tarnwick: \xc3\xa9t\xc3\xa9");
}

}  // namespace
}  // namespace vexor
