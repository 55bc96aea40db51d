// The plain parts of a debug run: the project folder rule and paths, environment files, the
// line that tells how a script failed, run times, the file watcher on a real folder, and run
// settings kept with the recent scripts.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/DebugRun.h"
#include "app/EnvFile.h"
#include "app/FileWatcher.h"
#include "app/RecentScripts.h"
#include "common/Wait.h"
#include "common/TempDir.h"

namespace vexor {
namespace {

using namespace vexor::testing;

void Touch(const std::string& APath, const std::string& AText = "x") {
  std::filesystem::create_directories(std::filesystem::path(APath).parent_path());
  std::ofstream(APath) << AText;
}

TEST(DebugRun, TheProjectFolderIsTheNearestWithAPackageJson) {
  TTempDir dir;
  Touch(dir / "p/package.json", "{}");
  Touch(dir / "p/src/a/b.js");
  Touch(dir / "p/inner/package.json", "{}");
  Touch(dir / "p/inner/c.js");
  Touch(dir / "loose/d.js");
  Touch(dir / "q/package.json/x");  // a folder named like the file does not count as one
  Touch(dir / "q/e.js");
  struct Case {
    std::string Script, Folder;
  } cases[] = {
      {dir / "p/src/a/b.js", dir / "p"},
      {dir / "p/inner/c.js", dir / "p/inner"},
      {dir / "loose/d.js", dir / "loose"},
      {dir / "q/e.js", dir / "q"},
  };
  for (const auto& c : cases) EXPECT_EQ(ProjectFolder(c.Script), c.Folder) << c.Script;
}

TEST(DebugRun, PathsAreMadeAbsoluteAgainstTheStartFolder) {
  struct Case {
    std::string Path, Base, Absolute;
  } cases[] = {
      {"src/app.js", "/home/u/proj", "/home/u/proj/src/app.js"},
      {"./a/../b/./c.js", "/x", "/x/b/c.js"},
      {"../../../../up.js", "/x/y", "/up.js"},
      {"/abs//dir/./f.js", "/ignored", "/abs/dir/f.js"},
      {"..", "/", "/"},
  };
  for (const auto& c : cases) EXPECT_EQ(AbsolutePathFrom(c.Path, c.Base), c.Absolute) << c.Path;
}

TEST(DebugRun, EnvironmentTextFollowsDotenvAndNamesTheBadLine) {
  const TEnvParseResult good = ParseEnvText(
      "# comment\n\nA=1\nexport B = two words \nC='single # \"kept\"'\nD=\"line\\nnext \\\"q\\\"\"\n"
      "E=bare # comment\nF=\nG=\"spans\nlines\"\nH=caf\xC3\xA9\r\n");
  EXPECT_EQ(good.Error, "");
  EXPECT_EQ(good.Entries, (std::vector<std::string>{"A=1", "B=two words", "C=single # \"kept\"", "D=line\nnext \"q\"",
                                                    "E=bare", "F=", "G=spans\nlines", "H=caf\xC3\xA9"}));
  struct Case {
    std::string Text, Error;
  } bad[] = {
      {"A=1\nnot an entry\n", "line 2: 'not an entry' is not NAME=VALUE"},
      {"1A=x", "line 1: '1A' is not a variable name (letters, digits and _, not starting with a digit)"},
      {"A='open", "line 1: the value of A lacks its closing '"},
      {"\nA=\"open\nstill", "line 3: the value of A lacks its closing \""},
      {"=x", "line 1: '' is not a variable name (letters, digits and _, not starting with a digit)"},
  };
  for (const auto& c : bad) {
    const TEnvParseResult r = ParseEnvText(c.Text);
    EXPECT_EQ(r.Error, c.Error) << c.Text;
    EXPECT_TRUE(r.Entries.empty());
  }
  TTempDir dir;
  EXPECT_EQ(ReadEnvFile(dir / "none.env").Error, "cannot read '" + dir / "none.env" + "': No such file or directory");
  Touch(dir / "bad.env", "A=1\nB\n");
  EXPECT_EQ(ReadEnvFile(dir / "bad.env").Error, dir / "bad.env" + ": line 2: 'B' is not NAME=VALUE");
}

TEST(DebugRun, TheErrorLineIsTheOneThatNamesTheError) {
  struct Case {
    std::vector<std::string> Lines;
    std::string LastError;
    bool Crashed;
  } cases[] = {
      // node 18/20 on a missing module: the stack ends with the error's properties.
      {{"node:internal/modules/cjs/loader:1080", "  throw err;", "  ^", "", "Error: Cannot find module './x'",
        "Require stack:", "- /tmp/a.js", "    at Module._resolveFilename (node:internal/modules/cjs/loader:1077:15)",
        "    at node:internal/main/run_main_module:23:47 {", "  code: 'MODULE_NOT_FOUND',",
        "  requireStack: [ '/tmp/a.js' ]", "}", "", "Node.js v18.19.0"},
       "Error: Cannot find module './x'",
       true},
      {{"/tmp/b.js:1", "let x = ;", "        ^", "", "SyntaxError: Unexpected token ';'",
        "    at internalCompileFunction", "", "Node.js v20.11.0", "Waiting for the debugger to disconnect..."},
       "SyntaxError: Unexpected token ';'",
       true},
      {{"Error [ERR_MODULE_NOT_FOUND]: Cannot find package 'tsx' imported from /p/"},
       "Error [ERR_MODULE_NOT_FOUND]: Cannot find package 'tsx' imported from /p/",
       false},
      // Plain error output of a script that goes on: its last telling line.
      {{"warning: low disk", "ErrorProne is not an error name: it has no colon"},
       "ErrorProne is not an error name: it has no colon",
       false},
      {{"  ", "    at f (x.js:1:1)"}, "", false},
  };
  for (const auto& c : cases) {
    TRunErrorLines lines;
    for (const auto& line : c.Lines) lines.Add(line);
    EXPECT_EQ(lines.LastError(), c.LastError) << c.Lines.front();
    EXPECT_EQ(lines.Crashed(), c.Crashed) << c.Lines.front();
  }
  TRunEvent finished;
  finished.Finished = true;
  finished.Seconds = 1.25;
  EXPECT_EQ(DescribeRunEnd(finished), "the script finished with exit code 0 after 1.3 s");
  for (auto [seconds, text] : std::vector<std::pair<double, std::string>>{
           {0.04, "0.0 s"}, {9.94, "9.9 s"}, {42.4, "42 s"}, {185, "3 min 5 s"}, {7265, "2 h 1 min"}})
    EXPECT_EQ(RunTimeText(seconds), text);
}

class FileWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Touch(FDir / "src/a.js");
    Touch(FDir / "node_modules/dep/index.js");
    Touch(FDir / ".git/HEAD");
    FWatcher = std::make_unique<TFileWatcher>(FDir.Path(), [this](const std::string& AFile) {
      std::lock_guard<std::mutex> lock(FLock);
      FChanges.push_back(AFile);
    });
  }
  std::vector<std::string> Changes() {
    std::lock_guard<std::mutex> lock(FLock);
    return FChanges;
  }
  // Waits out the quiet time and a margin: whatever is coming has come by then.
  void Settle() {
    WaitFor([] { return false; }, TFileWatcher::kQuietMs * 3);
  }

  TTempDir FDir;
  std::mutex FLock;
  std::vector<std::string> FChanges;  // guarded by FLock
  std::unique_ptr<TFileWatcher> FWatcher;
};

TEST_F(FileWatcherTest, ABurstOfChangesIsReportedOnceWithItsLastFile) {
  for (int i = 0; i < 5; ++i) Touch(FDir / "src/a.js", "v" + std::to_string(i));
  Touch(FDir / "src/b.js");
  ASSERT_TRUE(WaitFor([&] { return !Changes().empty(); }, 5000));
  Settle();
  EXPECT_EQ(Changes(), std::vector<std::string>{FDir / "src/b.js"});
  // A folder made later is watched too; a removal counts as a change.
  std::filesystem::create_directories(FDir / "src/new");
  Settle();
  Touch(FDir / "src/new/c.js");
  ASSERT_TRUE(WaitFor([&] { return Changes().size() == 2; }, 5000));
  std::filesystem::remove(FDir / "src/a.js");
  ASSERT_TRUE(WaitFor([&] { return Changes().size() == 3; }, 5000));
  EXPECT_EQ(Changes()[1], FDir / "src/new/c.js");
  EXPECT_EQ(Changes()[2], FDir / "src/a.js");
}

TEST_F(FileWatcherTest, NodeModulesDotFoldersAndEditorTemporariesAreLeftOut) {
  Touch(FDir / "node_modules/dep/index.js", "changed");
  Touch(FDir / "node_modules/dep/lib/more.js");
  Touch(FDir / ".git/HEAD", "changed");
  Touch(FDir / ".cache/x");
  Touch(FDir / "src/.a.js.swp");
  Touch(FDir / "src/a.js~");
  Settle();
  EXPECT_TRUE(Changes().empty()) << Changes().front();
  Touch(FDir / ".env", "A=1");  // a dot file of the project is watched
  ASSERT_TRUE(WaitFor([&] { return !Changes().empty(); }, 5000));
  EXPECT_EQ(Changes(), std::vector<std::string>{FDir / ".env"});
}

TEST(RecentScriptSettings, AreKeptPerScriptWithTheRecentList) {
  TTempDir dir;
  TScopedEnv config("XDG_CONFIG_HOME", dir / "config");
  Touch(dir / "a.js");
  Touch(dir / "b.js");
  TScriptSettings a;
  a.Arguments = {"two words", "quote\"d", "", "caf\xC3\xA9"};
  a.NodeOptions = {"--import=tsx", "--enable-source-maps"};
  a.Environment = {"A=1", "B=with blanks"};
  a.WorkingFolder = dir.Path();
  a.Watch = true;
  a.Restart = false;
  {
    TRecentScripts recent;
    recent.Add(dir / "a.js", a);
    recent.Add(dir / "b.js");
  }
  TRecentScripts again;
  EXPECT_EQ(again.Items(), (std::vector<std::string>{dir / "b.js", dir / "a.js"}));
  ASSERT_TRUE(again.SettingsOf(dir / "a.js"));
  EXPECT_EQ(*again.SettingsOf(dir / "a.js"), a);
  EXPECT_EQ(*again.SettingsOf(dir / "b.js"), TScriptSettings());
  EXPECT_FALSE(again.SettingsOf(dir / "c.js"));
  EXPECT_EQ(SplitArguments(JoinArguments(a.Arguments)), a.Arguments);
  EXPECT_TRUE(SplitArguments("   ").empty());
}

}  // namespace
}  // namespace vexor
