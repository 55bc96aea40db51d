// The window's runs as users set them up: run settings per script, a start by picking or by
// Enter, a script that finishes or fails and what comes after, watch mode, a relative script
// path, and DevTools that keeps a usable height. Offscreen, with a real node.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/FreePort.h"
#include "common/ProcessScan.h"
#include "common/TempDir.h"
#include "platform/Registry.h"
#include "window/MainForm.h"
#include "window/RunSettingsDialog.h"
#include "WindowTestHelpers.h"

namespace vexor {
namespace {

using namespace vexor::testing;

class RunWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TRegistry reg;
    if (reg.OpenKey(TRecentScripts::kKey, false))
      for (size_t i = 1; i <= TRecentScripts::kMaxItems; ++i) reg.DeleteValue("File" + std::to_string(i));
  }

  std::string Write(const std::string& AName, const std::string& AText) const {
    const std::string path = FDir / AName;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << AText;
    return path;
  }
  static TTarnwickOptions Options(const std::string& AScript) {
    TTarnwickOptions o;
    o.Script = AScript;
    o.Port = FreeLoopbackPort();
    o.PortGiven = true;
    o.BreakOnLoad = false;
    return o;
  }
  static bool BarSays(const TMainForm& AForm, std::initializer_list<const char*> AParts) {
    const QString text = AForm.FailureBar()->Text();
    return !text.isEmpty() && std::all_of(AParts.begin(), AParts.end(),
                                          [&](const char* APart) { return text.contains(QString::fromUtf8(APart)); });
  }
  static bool PaneHas(const TMainForm& AForm, const QString& AText) {
    return PaneLines(*AForm.OutputPane()).join('\n').contains(AText);
  }
  static int Lines(const std::string& AFile) {
    const std::string text = ReadWholeFile(AFile);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
  // Runs AFill on the run settings dialog once it is open, then presses OK.
  static void WhenSettingsOpen(std::function<void(TRunSettingsDialog&)> AFill) {
    QTimer::singleShot(0, [AFill] {
      auto* dialog = qobject_cast<TRunSettingsDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      AFill(*dialog);
    });
  }

  TTempDir FDir;
};

TEST_F(RunWindowTest, RunSettingsReachTheScriptAndAreRememberedPerScript) {
  const std::string script =
      Write("proj/src/report.js",
            "console.log('GOT ' + JSON.stringify({argv: process.argv.slice(2), cwd: process.cwd(), "
            "foo: process.env.FOO, maps: process.execArgv.includes('--enable-source-maps')}));\n"
            "setInterval(() => {}, 1000);\n");
  Write("proj/package.json", "{}");
  std::filesystem::create_directories(FDir / "other");
  TMainForm form(Options(""));
  form.resize(1000, 640);
  form.show();
  form.ProjectFile()->setText(QString::fromStdString(script));
  ASSERT_TRUE(WaitIdle([&] { return form.SettingsAction()->isEnabled(); }));
  // A bad environment line is said in the dialog, which stays open.
  WhenSettingsOpen([&](TRunSettingsDialog& ADialog) {
    EXPECT_EQ(ADialog.WorkingFolder()->placeholderText().toStdString(), "the project folder: " + FDir / "proj");
    EXPECT_TRUE(ADialog.Restart()->isChecked());
    ADialog.Arguments()->setText(QString::fromUtf8("\"two words\" caf\xC3\xA9 --flag"));
    ADialog.NodeOptions()->setText(QStringLiteral("--enable-source-maps"));
    ADialog.Environment()->setPlainText(QStringLiteral("FOO=bar baz\nnot an entry\n"));
    ADialog.WorkingFolder()->setText(QString::fromStdString(FDir / "other"));
    ADialog.accept();
    EXPECT_TRUE(ADialog.isVisible());
    EXPECT_EQ(ADialog.ProblemLabel()->text().toStdString(), "Environment, line 2: 'not an entry' is not NAME=VALUE");
    ADialog.Environment()->setPlainText(QStringLiteral("FOO=bar baz\n"));
    ADialog.ProblemLabel()->hide();
    SaveScreenshot(ADialog, "window-run-settings");
    ADialog.accept();
    EXPECT_FALSE(ADialog.isVisible());
  });
  form.SettingsAction()->trigger();
  EXPECT_EQ(form.Requester(), nullptr) << "the settings alone start nothing";
  // Enter in the path box starts the script.
  QTest::keyClick(form.ProjectFile(), Qt::Key_Return);
  const QString expected = QString::fromUtf8("GOT {\"argv\":[\"two words\",\"caf\xC3\xA9\",\"--flag\"],\"cwd\":\"") +
                           QString::fromStdString(FDir / "other") + "\",\"foo\":\"bar baz\",\"maps\":true}";
  EXPECT_TRUE(WaitIdle([&] { return PaneHas(form, expected); }))
      << PaneLines(*form.OutputPane()).join('|').toStdString();
  form.close();

  // Remembered with the recent scripts; another script has its own (the defaults).
  TMainForm again(Options(""));
  const TScriptSettings kept = again.SettingsOf(QString::fromStdString(script));
  EXPECT_EQ(kept.Arguments, (std::vector<std::string>{"two words", "caf\xC3\xA9", "--flag"}));
  EXPECT_EQ(kept.Environment, std::vector<std::string>{"FOO=bar baz"});
  EXPECT_EQ(kept.WorkingFolder, FDir / "other");
  EXPECT_EQ(again.SettingsOf(QString::fromStdString(FDir / "proj/other.js")), TScriptSettings());
  // Picking it from the recent scripts starts it with them.
  again.show();
  ASSERT_TRUE(again.RecentScripts().contains(QString::fromStdString(script)));
  QCompleter* completer = again.ProjectFile()->completer();
  ASSERT_NE(completer, nullptr);
  emit completer->activated(QString::fromStdString(script));
  EXPECT_TRUE(WaitIdle([&] { return PaneHas(again, expected); }))
      << PaneLines(*again.OutputPane()).join('|').toStdString();
}

TEST_F(RunWindowTest, AFinishedScriptIsNotRunAgainAndAFailedOnesRestartCanBeCancelled) {
  const std::string finishedLog = FDir / "finished.log", failedLog = FDir / "failed.log";
  const std::string finished = Write("done.js", "require('fs').appendFileSync('" + finishedLog +
                                                    "', 'start\\n');\nconsole.log('all done');\n");
  const std::string failing = Write("fail.js", "require('fs').appendFileSync('" + failedLog +
                                                   "', 'start\\n');\nrequire('./missing');\n");
  TMainForm done(Options(finished));
  TMainForm failed(Options(failing));
  done.show();
  failed.show();
  EXPECT_TRUE(WaitIdle([&] {
    return BarSays(done, {"The script finished (exit code 0) after", "Debug (F5)"});
  })) << done.FailureBar()->Text().toStdString();
  EXPECT_TRUE(done.FailureBar()->ShowsNotice()) << "said in a neutral colour";
  EXPECT_TRUE(WaitIdle([&] { return done.RunAction()->text() == "Debug"; })) << "Debug starts it anew";
  SaveScreenshot(done, "window-finished");

  EXPECT_TRUE(WaitIdle([&] {
    return BarSays(failed, {"exit code 1", "Error: Cannot find module './missing'", "it starts again in"});
  })) << failed.FailureBar()->Text().toStdString();
  EXPECT_FALSE(failed.FailureBar()->ShowsNotice());
  // The countdown is visible and goes down.
  EXPECT_TRUE(WaitIdle([&] { return failed.RestartCountdown() > 0 && failed.RestartCountdown() <= 27; }));
  EXPECT_TRUE(BarSays(failed, {"it starts again in 2"})) << failed.FailureBar()->Text().toStdString();
  QToolButton* cancel = failed.FailureBar()->ActionButton();
  ASSERT_TRUE(cancel->isVisibleTo(&failed));
  EXPECT_EQ(cancel->text(), "Cancel restart");
  cancel->click();
  EXPECT_TRUE(BarSays(failed, {"it is not started again", "Debug (F5)"})) << failed.FailureBar()->Text().toStdString();
  EXPECT_EQ(failed.RestartCountdown(), -1);

  // Beyond the 30 s of the restart: neither ran again.
  QTest::qWait(35000);
  EXPECT_EQ(Lines(finishedLog), 1);
  EXPECT_EQ(Lines(failedLog), 1);
  // Debug starts the finished one anew.
  done.RunAction()->trigger();
  EXPECT_TRUE(WaitIdle([&] { return Lines(finishedLog) == 2; }));
}

TEST_F(RunWindowTest, WatchModeRestartsOnASaveAndARelativePathKeepsRestartWorking) {
  const std::string starts = FDir / "starts.log";
  Write("proj/package.json", "{}");
  Write("proj/main.js", "require('fs').appendFileSync('" + starts + "', 'start\\n');\nsetInterval(() => {}, 1000);\n");
  struct TBackHome {
    std::filesystem::path Folder = std::filesystem::current_path();
    ~TBackHome() { std::filesystem::current_path(Folder); }
  } home;
  std::filesystem::current_path(FDir / "proj");
  TMainForm form(Options("main.js"));
  TScriptSettings watch;
  watch.Watch = true;
  form.SetSettingsOf(QStringLiteral("main.js"), watch);
  form.show();
  form.RunAction()->trigger();
  ASSERT_TRUE(WaitIdle([&] { return Lines(starts) == 1 && form.Requester()->ChildProcessId() != 0; }));
  // Restart with the relative path: still enabled and working (the window keeps its folder).
  ASSERT_TRUE(WaitIdle([&] { return form.RunAction()->isEnabled() && form.RunAction()->text() == "Restart"; }));
  form.RunAction()->trigger();
  ASSERT_TRUE(WaitIdle([&] { return Lines(starts) == 2; }));
  // A save under node_modules starts nothing; a save of a project file restarts once.
  Write("proj/node_modules/x/index.js", "1;\n");
  QTest::qWait(3 * TFileWatcher::kQuietMs);
  EXPECT_EQ(Lines(starts), 2);
  Write("proj/lib/util.js", "module.exports = 1;\n");
  EXPECT_TRUE(WaitIdle([&] { return BarSays(form, {"lib/util.js changed; the script was started again."}); }))
      << form.FailureBar()->Text().toStdString();
  EXPECT_TRUE(WaitIdle([&] { return Lines(starts) == 3; }));
  QTest::qWait(3 * TFileWatcher::kQuietMs);
  EXPECT_EQ(Lines(starts), 3);
}

TEST_F(RunWindowTest, DevToolsKeepsAUsableHeightWhateverThePaneWasMadeTo) {
  {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(std::string(TMainForm::kRegistryKey) + "\\" + TMainForm::kOutputSection, true));
    reg.WriteString("Height", "5000");
    reg.WriteString("Open", "1");
  }
  const std::string script = Write("talk.js", "console.log('hello');\nsetInterval(() => {}, 1000);\n");
  TMainForm form(Options(script));
  form.resize(600, 400);
  form.show();
  ASSERT_TRUE(WaitIdle([&] { return form.OutputPane()->isVisibleTo(&form) && PaneHas(form, "hello"); }));
  EXPECT_GE(form.Browser()->height(), TMainForm::kMinBrowserHeight)
      << "a stored height that would squeeze it is ignored";
  EXPECT_GT(form.OutputPane()->height(), 0);
  // Dragging the pane up as far as it goes leaves DevTools its height.
  form.Splitter()->setSizes({0, 10000});
  EXPECT_GE(form.Browser()->height(), TMainForm::kMinBrowserHeight);
}

}  // namespace
}  // namespace vexor

#include "WindowTestMain.h"

int main(int argc, char** argv) { return vexor::testing::RunWindowTests(argc, argv); }
