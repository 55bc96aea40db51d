// What the window offers beyond its basic run, end to end: the real TMainForm offscreen with
// a real Qt WebEngine view and a real node on free ports. The output pane, the failure bar for
// each cause, input to the script, shortcuts, dropped files, recent scripts and the pane's
// remembered height, and breakpoints that survive Restart and a new start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QCompleter>
#include <QFileDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMimeData>
#include <QScrollBar>
#include <QSplitter>
#include <QRegularExpression>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <QTimer>
#include <QWebEnginePage>
#include <fstream>
#include <thread>

#include "platform/CommandLine.h"
#include "window/ExceptionDisplay.h"
#include "common/FreePort.h"
#include "window/MainForm.h"
#include "common/ProcessScan.h"
#include "browser/QtCefRuntime.h"
#include "platform/Registry.h"
#include "app/Services.h"
#include "common/TempDir.h"
#include "WindowTestHelpers.h"

namespace vexor {
namespace {

using namespace vexor::testing;


// The line of the pane that starts with AStart; -1 when none does.
int PaneLineStarting(const TTerminalView& APane, const QString& AStart) {
  for (int i = 0; i < APane.LineCount(); ++i)
    if (APane.LineText(i).startsWith(AStart)) return i;
  return -1;
}

class WindowAdditionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TRegistry reg;
    for (const char* key : {TRecentScripts::kKey, "Software\\Vexor\\Tarnwick\\1.0\\TOutputPane"})
      if (reg.OpenKey(key, false))
        for (const char* name : {"File1", "File2", "File3", "Height", "Open"}) reg.DeleteValue(name);
  }

  std::string Script(const std::string& AName, const std::string& AText) const {
    const std::string path = FDir / AName;
    std::ofstream(path) << AText;
    return path;
  }

  static TTarnwickOptions Options(const std::string& AScript, bool ABreak = false) {
    TTarnwickOptions o;
    o.Script = AScript;
    o.Port = FreeLoopbackPort();
    o.PortGiven = true;
    o.BreakOnLoad = ABreak;
    return o;
  }

  static bool BarSays(const TMainForm& AForm, std::initializer_list<const char*> AParts) {
    const QString text = AForm.FailureBar()->Text();
    if (text.isEmpty()) return false;
    for (const char* part : AParts)
      if (!text.contains(QString::fromUtf8(part))) return false;
    return true;
  }

  TTempDir FDir;
};

TEST_F(WindowAdditionsTest, OutputArrivesInOrderAndWholeInThePanesTerminal) {
  const std::string script =
      Script("talk.js",
             "console.log('first line');\nconsole.error('an error line');\nconsole.log('');\n"
             "console.log('grüße, ✓, 🙂 and 日本語');\n"
             "for (let i = 0; i < 6; ++i) (i % 2 ? console.error : console.log)('alternating ' + i);\n"
             "process.stdout.write('prompt> ');\nsetInterval(() => {}, 1000);\n");
  TMainForm form(Options(script));
  form.show();
  EXPECT_FALSE(form.OutputPane()->isVisibleTo(&form)) << "closed until the first output";
  ASSERT_TRUE(QTest::qWaitFor([&] { return PaneLines(*form.OutputPane()).contains("prompt>"); }, kLongMs))
      << PaneLines(*form.OutputPane()).join('|').toStdString();
  // DevTools attaches after the prompt: node's "Debugger attached." stays out of the prompt's line.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.DebuggerAddress().isEmpty(); }, kLongMs));
  QTest::qWait(1000);
  EXPECT_TRUE(form.OutputPane()->isVisibleTo(&form));
  // One terminal: both streams in the order they were written, the banner left out.
  EXPECT_EQ(PaneLines(*form.OutputPane()),
            QStringList({"first line", "an error line", "", QString::fromUtf8("grüße, ✓, 🙂 and 日本語"),
                         "alternating 0", "alternating 1", "alternating 2", "alternating 3", "alternating 4",
                         "alternating 5", "prompt>"}));
  // Ctrl+J closes and reopens it.
  QTest::keyClick(&form, Qt::Key_J, Qt::ControlModifier);
  EXPECT_FALSE(form.OutputPane()->isVisibleTo(&form));
  QTest::keyClick(&form, Qt::Key_J, Qt::ControlModifier);
  EXPECT_TRUE(form.OutputPane()->isVisibleTo(&form));
  SaveScreenshot(form, "window-output");
  // A new run starts with an empty pane, closed again.
  form.RunAction()->trigger();
  EXPECT_EQ(form.OutputPane()->LineCount(), 0);
  EXPECT_FALSE(form.OutputPane()->isVisibleTo(&form));
}

TEST_F(WindowAdditionsTest, TheScriptRunsInATerminalThatTakesKeys) {
  const std::string script =
      Script("tty.js",
             "console.log(JSON.stringify({out: process.stdout.isTTY, err: process.stderr.isTTY,"
             " columns: process.stdout.columns}));\n"
             "console.log('\\x1b[31mred\\x1b[0m plain \\x1b[1;32mbold green\\x1b[0m');\n"
             "let i = 0;\n"
             "const bar = setInterval(() => { process.stdout.write('\\rprogress ' + (i * 10) + '%');\n"
             "  if (++i > 10) { clearInterval(bar); process.stdout.write('\\n'); ask(); } }, 5);\n"
             "function ask() {\n"
             "  const rl = require('readline').createInterface({input: process.stdin, output: process.stdout});\n"
             "  rl.question('name? ', (a) => { console.log('hello ' + a + ' at ' + process.stdout.columns); rl.close();"
             "   setInterval(() => {}, 1000); });\n"
             "}\n");
  TMainForm form(Options(script));
  form.show();
  TTerminalView* pane = form.OutputPane();
  ASSERT_TRUE(QTest::qWaitFor([&] { return PaneLineStarting(*pane, "name?") >= 0; }, kLongMs))
      << PaneLines(*pane).join('|').toStdString();
  const QString facts = QStringLiteral("{\"out\":true,\"err\":true,\"columns\":%1}").arg(pane->Columns());
  EXPECT_EQ(pane->LineText(0).toStdString(), facts.toStdString());
  // Colours and attributes as the cells hold them.
  const int coloured = PaneLineStarting(*pane, "red plain");
  ASSERT_GE(coloured, 0);
  const TTerminalCell red = pane->Cell(coloured, 0), plain = pane->Cell(coloured, 4), green = pane->Cell(coloured, 10);
  EXPECT_FALSE(red.DefaultFg);
  EXPECT_GT(qRed(red.Fg), 2 * qGreen(red.Fg));
  EXPECT_TRUE(plain.DefaultFg);
  EXPECT_FALSE(plain.Bold);
  EXPECT_TRUE(green.Bold);
  EXPECT_GT(qGreen(green.Fg), 2 * qRed(green.Fg));
  // The progress bar rewrote its one line.
  EXPECT_EQ(PaneLines(*pane).filter("progress"), QStringList({"progress 100%"}));
  // Keys typed into the pane answer the prompt.
  pane->setFocus();
  QTest::keyClicks(pane, QStringLiteral("Ada"));
  QTest::keyClick(pane, Qt::Key_Return);
  const QString hello = QStringLiteral("hello Ada at %1").arg(pane->Columns());
  ASSERT_TRUE(QTest::qWaitFor([&] { return PaneLines(*pane).contains(hello); }, kLongMs))
      << PaneLines(*pane).join('|').toStdString();
  EXPECT_TRUE(PaneLines(*pane).contains("name? Ada"));
  // Ctrl+C interrupts a script without a SIGINT handler, as in a terminal.
  QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return BarSays(form, {"exit code 130"}); }, kLongMs))
      << form.FailureBar()->Text().toStdString();
}

TEST_F(WindowAdditionsTest, ThePanesTerminalKeepsTheLastLinesOfAFloodInOrder) {
  TTerminalView pane;
  pane.resize(600, 300);
  pane.show();
  const int total = 3 * TTerminalView::kScrollbackLines + 123;
  std::thread worker([&] {
    for (int i = 0; i < total; ++i) pane.Queue()->Add("line " + std::to_string(i) + "\r\n");
  });
  worker.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return pane.Idle(); }, kLongMs));
  // The scroll-back and the screen above the cursor's empty last row.
  ASSERT_EQ(pane.LineCount(), TTerminalView::kScrollbackLines + pane.Rows() - 1);
  const int first = total - pane.LineCount();
  for (int i : {0, 1, pane.LineCount() - 1})
    EXPECT_EQ(pane.LineText(i).toStdString(), "line " + std::to_string(first + i));
  // Selection and copy, wide characters included.
  pane.Queue()->Add("\x1b[2J\x1b[Hab 日本\r\nsecond");
  ASSERT_TRUE(QTest::qWaitFor([&] { return pane.Idle(); }, kLongMs));
  pane.SelectAll();
  EXPECT_TRUE(pane.SelectedText().endsWith(QString::fromUtf8("ab 日本\nsecond"))) << pane.SelectedText().toStdString();
  // Keys as a terminal sends them; a paste as typed text.
  std::string sent;
  pane.OnInput = [&](const std::string& ABytes) { sent += ABytes; };
  pane.setFocus();
  QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
  QTest::keyClick(&pane, Qt::Key_D, Qt::ControlModifier);
  QTest::keyClick(&pane, Qt::Key_Up);
  QTest::keyClick(&pane, Qt::Key_Tab);
  QTest::keyClicks(&pane, QStringLiteral("x"));
  QTest::keyClick(&pane, Qt::Key_Return);
  pane.PasteText(QString::fromUtf8("a\nä"));
  EXPECT_EQ(sent, "\x03\x04\x1b[A\tx\ra\r\xc3\xa4");
  // Bytes of a run that was cleared away never show.
  std::shared_ptr<TTerminalQueue> old = pane.Queue();
  pane.Clear();
  old->Add("late bytes of the old run\r\n");
  pane.Queue()->Add("new run");
  ASSERT_TRUE(QTest::qWaitFor([&] { return pane.Idle() && pane.LineCount() == 1; }, kLongMs));
  EXPECT_EQ(pane.LineText(0), "new run");
}

TEST_F(WindowAdditionsTest, ColouredTestRunnerOutputInThePane) {
  const std::string script = Script("runner.test.js",
                                    "const test = require('node:test');\n"
                                    "const assert = require('node:assert');\n"
                                    "test('adds numbers', () => assert.strictEqual(1 + 1, 2));\n"
                                    "test('keeps order', () => assert.deepStrictEqual([1, 2].reverse(), [2, 1]));\n"
                                    "test('finds a bug', () => assert.strictEqual(1 + 1, 3));\n"
                                    "test.skip('waits for later');\n");
  // Node prints no colour where CI is set (as on a build server), terminal or not.
  ::unsetenv("CI");
  TMainForm form(Options(script));
  form.resize(1100, 760);
  form.show();
  TTerminalView* pane = form.OutputPane();
  ASSERT_TRUE(QTest::qWaitFor([&] { return PaneLineStarting(*pane, QString::fromUtf8("ℹ duration_ms")) >= 0; }, kLongMs))
      << PaneLines(*pane).join('|').toStdString();
  // The runner saw a terminal: its marks are coloured.
  const int passed = PaneLineStarting(*pane, QString::fromUtf8("✔ adds numbers"));
  ASSERT_GE(passed, 0) << PaneLines(*pane).join('|').toStdString();
  EXPECT_FALSE(pane->Cell(passed, 0).DefaultFg);
  // The failure bar names the runner's error report, not the last line of its output.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return BarSays(form, {"exit code 1", "AssertionError [ERR_ASSERTION]: Expected values"});
      },
      kLongMs))
      << form.FailureBar()->Text().toStdString();
  if (auto* splitter = form.findChild<QSplitter*>(QStringLiteral("BrowserAndOutput"))) splitter->setSizes({160, 520});
  pane->verticalScrollBar()->setValue(0);
  SaveScreenshot(form, "window-terminal");
}

TEST_F(WindowAdditionsTest, EachFailureIsSaidInTheBar) {
  const std::string loop = Script("loop.js", "setInterval(() => {}, 1000);\n");
  {
    SCOPED_TRACE("node cannot be started");
    TTarnwickOptions o = Options(loop);
    o.Node = FDir / "no-such-node";
    TMainForm form(o);
    form.show();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return BarSays(form, {"could not be started", "no-such-node", "No such file or directory", "--node"});
        },
        kLongMs))
        << form.FailureBar()->Text().toStdString();
    SaveScreenshot(form, "window-failure");
    // The bar goes when dismissed.
    form.FailureBar()->CloseButton()->click();
    EXPECT_TRUE(form.FailureBar()->Text().isEmpty());
    EXPECT_FALSE(form.FailureBar()->isVisibleTo(&form));
  }
  {
    SCOPED_TRACE("the script ends with exit code 3");
    TMainForm form(Options(Script("three.js",
                                  "console.log('bye');\nconsole.error('Error: gone');\nprocess.exit(3);\n")));
    form.show();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return BarSays(form, {"exit code 3", "30 s", "Error: gone", "Restart (F5)"});
        },
        kLongMs))
        << form.FailureBar()->Text().toStdString();
    // Both streams whole, in the order they were written.
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.OutputPane()->LineCount() == 2; }, 5000))
        << PaneLines(*form.OutputPane()).join('|').toStdString();
    EXPECT_TRUE(PaneLines(*form.OutputPane()).contains("bye"));
    EXPECT_TRUE(PaneLines(*form.OutputPane()).contains("Error: gone"));
  }
  const std::string broken = Script("broken.js", "let x = ;\n");
  {
    SCOPED_TRACE("a syntax error, running at once");
    TMainForm form(Options(broken));
    form.show();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return BarSays(form, {"exit code 1", "SyntaxError: Unexpected token"});
        },
        kLongMs))
        << form.FailureBar()->Text().toStdString();
  }
  {
    // node reports this error to DevTools only (its Console panel), not on standard error.
    SCOPED_TRACE("a syntax error, found once DevTools lets the script run: node then waits for DevTools");
    TMainForm form(Options(broken, true));
    form.show();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return BarSays(form, {"has finished; node waits for DevTools to disconnect", "Restart (F5)"});
        },
        kLongMs))
        << form.FailureBar()->Text().toStdString() << PaneLines(*form.OutputPane()).join('|').toStdString();
    EXPECT_FALSE(form.DebuggerAddress().isEmpty()) << "DevTools was there to show it";
  }
  {
    SCOPED_TRACE("no DevTools address within 5 s");
    TTarnwickOptions o = Options(loop);
    o.Node = TW_NODE_MUTE;
    TMainForm form(o);
    form.show();
    EXPECT_FALSE(BarSays(form, {"No DevTools"}));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return BarSays(form, {"No DevTools address", "5 s", "the inspector is not available here"});
        },
        kLongMs))
        << form.FailureBar()->Text().toStdString();
  }
}

TEST_F(WindowAdditionsTest, APortHeldByAnotherNodeIsSaidAndItsDevToolsNeverLoaded) {
  const uint16_t port = FreeLoopbackPort();
  const std::string other = Script("other.js", "setInterval(() => {}, 1000);\n");
  std::string inspect = "--inspect=127.0.0.1:" + std::to_string(port);
  std::vector<char*> argv{const_cast<char*>("node"), inspect.data(), const_cast<char*>(other.c_str()), nullptr};
  pid_t otherPid = 0;
  ASSERT_EQ(::posix_spawnp(&otherPid, "node", nullptr, nullptr, argv.data(), environ), 0);
  struct Reaper {
    pid_t Pid;
    ~Reaper() {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
  } reaper{otherPid};
  ASSERT_TRUE(QTest::qWaitFor([&] { return TBasicNodeJsRequester::ProcessListensOn(otherPid, port); }, kLongMs));

  TTarnwickOptions o = Options(Script("mine.js", "setInterval(() => {}, 1000);\n"), true);
  o.Port = port;
  TMainForm form(o);
  QStringList loaded;
  QObject::connect(form.Browser()->Page(), &QWebEnginePage::urlChanged,
                   [&](const QUrl& AUrl) { loaded << AUrl.toString(); });
  form.show();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return BarSays(form, {"port", std::to_string(port).c_str(), "in use by another program", "--port"});
      },
      kLongMs))
      << form.FailureBar()->Text().toStdString();
  EXPECT_EQ(form.Requester(), nullptr) << "the undebuggable run was stopped";
  QTest::qWait(1000);
  EXPECT_TRUE(form.DebuggerAddress().isEmpty());
  for (const QString& url : loaded) EXPECT_FALSE(url.startsWith("devtools:")) << url.toStdString();
}

TEST_F(WindowAdditionsTest, ShortcutsWorkAndAreNamedInTheToolTips) {
  const std::string script = Script("keys.js", "setInterval(() => {}, 1000);\n");
  TMainForm form(Options(""));
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  form.ProjectFile()->setText(QString::fromStdString(script));
  ASSERT_TRUE(WaitIdle([&] { return form.RunAction()->isEnabled() && form.RunAction()->toolTip() == "Debug (F5)"; }))
      << form.RunAction()->toolTip().toStdString();
  EXPECT_EQ(form.StopAction()->toolTip(), "Stop (Shift+F5)");

  QTest::keyClick(&form, Qt::Key_F5);
  ASSERT_NE(form.Requester(), nullptr);
  EXPECT_TRUE(WaitIdle([&] { return form.windowTitle() == "keys.js - Vexor Tarnwick"; }))
      << form.windowTitle().toStdString();
  EXPECT_TRUE(WaitIdle([&] { return form.RunAction()->toolTip() == "Restart (F5)"; }));
  QTest::keyClick(&form, Qt::Key_F5, Qt::ShiftModifier);
  EXPECT_EQ(form.Requester(), nullptr);
  EXPECT_TRUE(WaitIdle([&] { return form.windowTitle() == "Vexor Tarnwick"; }));

  // Ctrl+O opens the file dialog (closed again from a timer, as a user would).
  bool dialogShown = false;
  QTimer::singleShot(200, [&] {
    dialogShown = form.FileDialog()->isVisible();
    form.FileDialog()->reject();
  });
  QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
  EXPECT_TRUE(dialogShown);

  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(form.isVisible()) << "Ctrl+Q closes the window";
}

TEST_F(WindowAdditionsTest, ADroppedScriptFillsThePathAndStartsDebugging) {
  const std::string script = Script("dropped.mjs", "setInterval(() => {}, 1000);\n");
  const std::string text = Script("notes.txt", "not a script\n");
  TMainForm form(Options(""));
  form.show();
  QWidget* target = form.Browser()->focusProxy() ? form.Browser()->focusProxy() : form.Browser();
  auto drop = [&](const std::string& AFile) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(AFile))});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent dropEvent(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropEvent);
    return true;
  };
  EXPECT_FALSE(drop(text) && form.Requester()) << "other files are not taken";
  EXPECT_EQ(form.Requester(), nullptr);
  EXPECT_TRUE(drop(script));
  EXPECT_EQ(form.ProjectFile()->text().toStdString(), script);
  ASSERT_NE(form.Requester(), nullptr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !NodesRunning(script).empty(); }, kLongMs));
}

TEST_F(WindowAdditionsTest, RecentScriptsAndThePaneHeightOutliveTheWindow) {
  const std::string a = Script("a.js", "console.log('a');\nsetInterval(() => {}, 1000);\n");
  const std::string b = Script("b.js", "console.log('b');\nsetInterval(() => {}, 1000);\n");
  const std::string gone = Script("gone.js", "1;\n");
  {
    TMainForm form(Options(gone));
    form.show();
    for (const std::string& s : {a, b}) {
      form.ProjectFile()->setText(QString::fromStdString(s));
      form.RunAction()->trigger();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.OutputPane()->isVisibleTo(&form); }, kLongMs));
    form.Splitter()->setSizes({form.Splitter()->height() - 230, 230});
    emit form.Splitter()->splitterMoved(form.Splitter()->height() - 230, 1);
    form.close();
  }
  ::unlink(gone.c_str());
  TMainForm form(Options(""));
  form.show();
  EXPECT_EQ(form.RecentScripts(), QStringList({QString::fromStdString(b), QString::fromStdString(a)}));
  EXPECT_EQ(form.ProjectFile()->completer()->model()->rowCount(), 2);
  form.ProjectFile()->setText(QString::fromStdString(a));
  form.RunAction()->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.OutputPane()->isVisibleTo(&form); }, kLongMs));
  EXPECT_EQ(form.Splitter()->sizes().value(1), 230);
  EXPECT_EQ(form.RecentScripts().first().toStdString(), a) << "newest first";
}

// Runs AScript (an expression whose promise gives a JSON-able value) in the DevTools page and
// waits for its value; "" when it did not come. The front end's own modules are imported, so
// what it does is what the user's clicks would do.
std::string FrontEnd(QWebEnginePage* APage, const QString& AScript) {
  APage->runJavaScript(QStringLiteral("window.__twAnswer = undefined; Promise.resolve().then(async () => (%1))"
                                      ".then(v => window.__twAnswer = JSON.stringify(v),"
                                      " e => window.__twAnswer = JSON.stringify('error: ' + e));")
                           .arg(AScript));
  std::string answer;
  (void)QTest::qWaitFor(
      [&] {
        bool done = false;
        APage->runJavaScript(QStringLiteral("window.__twAnswer"), [&](const QVariant& AValue) {
          answer = AValue.toString().toStdString();
          done = true;
        });
        (void)QTest::qWaitFor([&] { return done; }, 5000);
        return !answer.empty();
      },
      20000);
  return answer;
}

const QString kSourceLoaded = QStringLiteral(
    "(await import('devtools://devtools/bundled/models/workspace/workspace.js')).Workspace.WorkspaceImpl.instance().uiSourceCodes()"
    ".some(u => u.url().endsWith('/tick.js'))");
const QString kSetBreakpoint = QStringLiteral(
    "(async () => { const W = await import('devtools://devtools/bundled/models/workspace/workspace.js');"
    " const B = await import('devtools://devtools/bundled/models/bindings/bindings.js');"
    " const u = W.Workspace.WorkspaceImpl.instance().uiSourceCodes().find(u => u.url().endsWith('/tick.js'));"
    " await B.BreakpointManager.BreakpointManager.instance().setBreakpoint(u, 3, 0, '', true); return true; })()");
const QString kPaused = QStringLiteral(
    "(async () => { const S = await import('devtools://devtools/bundled/core/sdk/sdk.js');"
    " return S.TargetManager.TargetManager.instance().models(S.DebuggerModel.DebuggerModel).some(m => m.isPaused()); })()");

TEST_F(WindowAdditionsTest, ABreakpointSetInTheFrontEndIsThereAfterRestartAndANewStart) {
  const std::string script = Script("tick.js",
                                    "let n = 0;\nsetInterval(() => {\n  n++;\n  console.log('tick ' + n);\n}, 50);\n");
  auto pausedOnItsBreakpoint = [](TMainForm& AForm) {
    if (!QTest::qWaitFor([&] { return FrontEnd(AForm.Browser()->Page(), kSourceLoaded) == "true"; }, kLongMs))
      return false;
    return QTest::qWaitFor([&] { return FrontEnd(AForm.Browser()->Page(), kPaused) == "true"; }, 20000);
  };
  {
    TMainForm form(Options(script, true));
    form.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return FrontEnd(form.Browser()->Page(), kSourceLoaded) == "true"; }, kLongMs));
    ASSERT_EQ(FrontEnd(form.Browser()->Page(), kSetBreakpoint), "true");
    // The front end keeps it in the page's storage of the persistent profile, by the script's
    // file address (the same for every run of the same script).
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return FrontEnd(form.Browser()->Page(), "localStorage.getItem('breakpoints') || ''").find("tick.js") !=
                 std::string::npos;
        },
        20000));
    // Restart without breaking on load: only the breakpoint can stop the script.
    form.BreakOnLoad()->setChecked(false);
    form.RunAction()->trigger();
    EXPECT_TRUE(pausedOnItsBreakpoint(form))
        << "after Restart; output: " << PaneLines(*form.OutputPane()).join('|').toStdString();
    form.close();
  }
  TMainForm form(Options(script, false));
  form.show();
  EXPECT_TRUE(pausedOnItsBreakpoint(form))
      << "after a new start; output: " << PaneLines(*form.OutputPane()).join('|').toStdString();
}

}  // namespace
}  // namespace vexor

#include "WindowTestMain.h"

int main(int argc, char** argv) { return vexor::testing::RunWindowTests(argc, argv); }
