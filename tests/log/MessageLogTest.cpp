#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "platform/AppPaths.h"
#include "platform/CommandLine.h"
#include "platform/DebugOutput.h"
#include "platform/Registry.h"
#include "common/TempDir.h"
#include "diagnostics/MessageLog.h"

namespace vexor {
namespace {

using testing::TScopedEnv;
using testing::TTempDir;

std::string ReadFile(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t CountLines(const std::string& AText) { return std::count(AText.begin(), AText.end(), '\n'); }

// Every test runs with both registry hives and the state folder in temporary folders, and with
// the debug-output channel captured.
class MessageLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugOutputSink([this](std::string_view s) { FConsole.emplace_back(s); });
    SetArgs({});
  }
  void TearDown() override {
    StopMessageLog();
    SetDebugOutputSink(nullptr);
    SetArgs({});
  }
  static void SetArgs(std::vector<const char*> AExtra) {
    AExtra.insert(AExtra.begin(), "message_log_test");
    SetProcessArgs(static_cast<int>(AExtra.size()), AExtra.data());
  }
  static std::string Key() { return "Software\\Vexor\\MessageLog\\" + ProgramFileName(); }
  void Configure(TRegistryHive AHive, const std::map<std::string, uint32_t>& ADwords) {
    TRegistry reg(AHive);
    ASSERT_TRUE(reg.OpenKey(Key(), true));
    for (const auto& [name, value] : ADwords) reg.WriteInteger(name, value);
  }
  std::string DefaultLog() const { return FState / ("Vexor/Logs/" + ChangeFileExt(ProgramFileName(), ".msg")); }

  TTempDir FUser, FMachine, FState;
  TScopedEnv FUserEnv{"XDG_CONFIG_HOME", FUser.Path()};
  TScopedEnv FMachineEnv{"XDG_CONFIG_DIRS", FMachine.Path()};
  TScopedEnv FStateEnv{"XDG_STATE_HOME", FState.Path()};
  std::vector<std::string> FConsole;
};


// Whether AText starts with a log line's time stamp ("3/7/24 9:05:07 pm ") followed by ARest.
bool StartsWithStampThen(std::string_view AText, std::string_view ARest) {
  size_t i = 0;
  auto digits = [&](size_t AMin, size_t AMax) {
    size_t n = 0;
    while (i < AText.size() && n < AMax && std::isdigit(static_cast<unsigned char>(AText[i]))) ++i, ++n;
    return n >= AMin;
  };
  auto text = [&](std::string_view AWhat) {
    if (AText.substr(i, AWhat.size()) != AWhat) return false;
    i += AWhat.size();
    return true;
  };
  auto oneOf = [&](std::string_view AChars) {
    if (i >= AText.size() || AChars.find(AText[i]) == std::string_view::npos) return false;
    ++i;
    return true;
  };
  return digits(1, 2) && text("/") && digits(1, 2) && text("/") && digits(2, 2) && text(" ") && digits(1, 2) &&
         text(":") && digits(2, 2) && text(":") && digits(2, 2) && text(" ") && oneOf("ap") && text("m ") &&
         text(ARest);
}

// A line of the concurrent test, whole: "... Trace -> T<n>: " and 100 times the thread's letter.
bool IsWholeTraceLine(std::string_view ALine) {
  const std::string_view kHead = " Trace -> T";
  const size_t at = ALine.find(kHead);
  if (at == std::string_view::npos) return false;
  const std::string_view rest = ALine.substr(at + kHead.size());
  if (rest.size() != 1 + 2 + 100 + 1 || rest[0] < '0' || rest[0] > '3' || rest.substr(1, 2) != ": " ||
      rest.back() != '\r')
    return false;
  return rest.substr(3, 100) == std::string(100, static_cast<char>('a' + (rest[0] - '0')));
}

TEST_F(MessageLogTest, DefaultsKeepWarningsInMemoryOnly) {
  StartMessageLog();
  LogMessage(tmsWarning, "Src", "kept");
  LogMessage(tmsMessage, "Src", "dropped");
  LogMessage("trace shortcut dropped");
  auto items = MessagesList()->Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Msg(), "kept");
  EXPECT_FALSE(MessagesList()->WriteToFile());
  EXPECT_FALSE(std::filesystem::exists(FState / "Vexor"));
}

TEST_F(MessageLogTest, SwitchTWritesEveryAcceptedMessageToTheDefaultFile) {
  for (const char* sw : {"-t", "/T"}) {
    SetArgs({"script.js", sw});
    StartMessageLog();
    EXPECT_TRUE(MessagesList()->WriteToFile()) << sw;
    EXPECT_EQ(MessagesList()->LogFile(), DefaultLog());
    EXPECT_NE(std::find(FConsole.begin(), FConsole.end(), DefaultLog()), FConsole.end());
    LogMessage(tmsError, "Src", std::string("with ") + sw);
    StopMessageLog();
  }
  std::string text = ReadFile(DefaultLog());
  EXPECT_EQ(CountLines(text), 2u);
  EXPECT_TRUE(StartsWithStampThen(text, "Error -> Src: with -t\r\n")) << text;
  EXPECT_EQ(text.substr(0, 3).find("\xEF\xBB\xBF"), std::string::npos);
}

TEST_F(MessageLogTest, RegistryConfiguresLevelAndFile) {
  struct Case {
    uint32_t Level;
    std::vector<TMessageLevel> Accepted, Rejected;
  } cases[] = {
      {8, {tmsFatalError, tmsWarning, tmsTrace, tmsProgress}, {}},
      {0, {tmsFatalError}, {tmsException, tmsError, tmsWarning}},
      {5, {tmsMessage, tmsTrace2}, {tmsTrace1, tmsTrace}},
  };
  for (const auto& c : cases) {
    Configure(TRegistryHive::rhCurrentUser, {{"LogLevel", c.Level}});
    StartMessageLog();
    for (auto level : c.Accepted) LogMessage(level, "S", "yes");
    for (auto level : c.Rejected) LogMessage(level, "S", "no");
    EXPECT_EQ(MessagesList()->Count(), c.Accepted.size()) << "LogLevel " << c.Level;
    StopMessageLog();
  }
  std::string custom = FState / "custom/dir/my.log";
  {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Key(), true));
    reg.WriteBool("WriteToFile", true);
    reg.WriteString("FileName", custom);
  }
  StartMessageLog();
  LogMessage(tmsWarning, "S", "to custom file");
  EXPECT_NE(ReadFile(custom).find("Warning -> S: to custom file\r\n"), std::string::npos);
}

TEST_F(MessageLogTest, MachineKeyWinsEvenWithoutWriteToFile) {
  Configure(TRegistryHive::rhLocalMachine, {{"LogLevel", 3}});
  Configure(TRegistryHive::rhCurrentUser, {{"WriteToFile", 1}, {"LogLevel", 8}});
  StartMessageLog();
  EXPECT_FALSE(MessagesList()->WriteToFile());
  EXPECT_EQ(MessagesList()->LogLevel(), tmsWarning);
  StopMessageLog();
  SetArgs({"-t"});
  StartMessageLog();
  EXPECT_TRUE(MessagesList()->WriteToFile());
}

TEST_F(MessageLogTest, MemoryKeepsTheLast100WhileTheFileKeepsAll) {
  SetArgs({"-t"});
  StartMessageLog();
  for (int i = 1; i <= 101; ++i) LogMessage(tmsWarning, "S", std::to_string(i));
  auto items = MessagesList()->Items();
  ASSERT_EQ(items.size(), 100u);
  EXPECT_EQ(items.front().Msg(), "2");
  EXPECT_EQ(items.back().Msg(), "101");
  EXPECT_EQ(CountLines(ReadFile(DefaultLog())), 101u);
}

// An unusable state folder: the log goes beside the program, and the console says once which
// folder was refused and where the log goes instead.
TEST_F(MessageLogTest, ARefusedLogFolderIsNamedWithTheFallback) {
  std::string blocker = FState / "file";
  std::ofstream(blocker) << "x";
  TScopedEnv state("XDG_STATE_HOME", blocker);
  SetArgs({"script.js", "-t"});
  StartMessageLog();
  std::string fallback = ChangeFileExt(ProgramPath(), ".msg");
  EXPECT_EQ(MessagesList()->LogFile(), fallback);
  int told = 0;
  for (const std::string& line : FConsole)
    told += line.find("The log folder " + blocker + "/Vexor/Logs/ cannot be used") == 0 &&
            line.find("written to " + fallback + " instead") != std::string::npos;
  EXPECT_EQ(told, 1) << ::testing::PrintToString(FConsole);
  LogMessage(tmsError, "Src", "x");  // no second word about it
  StopMessageLog();
  told = 0;
  for (const std::string& line : FConsole) told += line.find("The log folder ") == 0;
  EXPECT_EQ(told, 1);
  std::remove(fallback.c_str());
}

TEST_F(MessageLogTest, UnwritableFileKeepsTheMessageAndReportsOnce) {
  StartMessageLog();
  std::string blocker = FState / "not-a-folder";
  std::ofstream(blocker) << "x";
  MessagesList()->SetLogFile(blocker + "/log.msg");
  MessagesList()->SetWriteToFile(true);
  FConsole.clear();
  LogMessage(tmsError, "S", "still in memory");
  EXPECT_EQ(MessagesList()->Count(), 1u);
  ASSERT_EQ(FConsole.size(), 1u);
  EXPECT_EQ(FConsole[0].rfind("TMessagesList: ", 0), 0u) << FConsole[0];
}

TEST_F(MessageLogTest, APlantedLinkIsNotFollowed) {
  StartMessageLog();
  const std::string victim = FState / "victim.txt";
  std::ofstream(victim) << "precious\n";
  const std::string log = FState / "log.msg";
  std::filesystem::create_symlink(victim, log);
  MessagesList()->SetLogFile(log);
  MessagesList()->SetWriteToFile(true);
  LogMessage(tmsError, "S", "not into the victim");
  std::ifstream in(victim);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "precious\n");
  EXPECT_EQ(MessagesList()->Count(), 1u);
}

TEST_F(MessageLogTest, FileLineHasTheFixedUsFormat) {
  struct Case {
    TDateTime When;
    TMessageLevel Level;
    const char* Line;
  } cases[] = {
      {EncodeDateTime(2024, 3, 7, 21, 5, 7), tmsWarning,
       "3/7/24 9:05:07 pm Warning -> ChildProcessRequester: Restarting process\r\n"},
      {EncodeDateTime(2009, 12, 31, 0, 0, 9), tmsTrace2,
       "12/31/09 12:00:09 am Trace 2 -> ChildProcessRequester: Restarting process\r\n"},
      {EncodeDateTime(2024, 1, 2, 12, 30, 0), tmsTrace1,
       "1/2/24 12:30:00 pm Trace 1 -> ChildProcessRequester: Restarting process\r\n"},
      {EncodeDateTime(2024, 1, 2, 11, 59, 59), tmsFatalError,
       "1/2/24 11:59:59 am Fatal Error -> ChildProcessRequester: Restarting process\r\n"},
  };
  for (const auto& c : cases) {
    TMessageItem item(c.Level, "ChildProcessRequester", "Restarting process");
    item.SetReceived(c.When);
    EXPECT_EQ(item.FileLine(), c.Line);
  }
  EXPECT_EQ(MessageLevelName(tmsException), "Error");
  EXPECT_EQ(MessageLevelName(tmsMessage), "Information");
  EXPECT_EQ(MessageLevelName(tmsProgress), "Trace");
}

TEST_F(MessageLogTest, ConcurrentLoggersWriteWholeLinesInOrderOfTheLock) {
  SetArgs({"-t"});
  StartMessageLog();
  MessagesList()->SetLogLevel(tmsProgress);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i)
        LogMessage(tmsTrace, std::string("T").append(std::to_string(t)), std::string(100, 'a' + t));
    });
  for (auto& th : threads) th.join();
  std::istringstream lines(ReadFile(DefaultLog()));
  std::string line;
  size_t count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(IsWholeTraceLine(line)) << line;
  }
  EXPECT_EQ(count, 200u);
}

TEST_F(MessageLogTest, WithoutTheListMessagesGoToTheConsole) {
  LogMessage(tmsError, "Early", "before start-up");
  ASSERT_FALSE(FConsole.empty());
  EXPECT_EQ(FConsole.back(), "(ApplicationMessage) Early: before start-up");
  TMessagesList::ConsoleLog("direct");
  EXPECT_EQ(FConsole.back(), "direct");
}

TEST_F(MessageLogTest, ReduceLogFileSizeKeepsTheTail) {
  SetArgs({"-t"});
  StartMessageLog();
  std::ofstream(DefaultLog()) << "0123456789";
  MessagesList()->ReduceLogFileSize(4);
  EXPECT_EQ(ReadFile(DefaultLog()), "6789");
  MessagesList()->ReduceLogFileSize(100);
  EXPECT_EQ(ReadFile(DefaultLog()), "6789");
}

}  // namespace
}  // namespace vexor
