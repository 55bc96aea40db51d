// What the window offers beyond Debug, Stop and the browser, end to end: the real TMainForm
// offscreen with a real Qt WebEngine view and a real node on free ports. The output pane, the
// failure bar for each cause, input to the script, shortcuts, dropped files, recent scripts and the
// pane's remembered height, and breakpoints that survive Restart and a new start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QCompleter>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
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
#include "common/Wait.h"
#include "WindowScreenshot.h"

namespace vexor {
namespace {

using namespace vexor::testing;

constexpr int kLongMs = 60000;

// Everything the pane holds, one line per entry; error lines start with "E:".
QStringList PaneLines(const TOutputPane& APane) {
  QStringList lines;
  for (int i = 0; i < APane.LineCount(); ++i)
    lines << (APane.IsErrorLine(i) ? QStringLiteral("E:") : QString()) + APane.LineText(i);
  return lines;
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

TEST_F(WindowAdditionsTest, OutputArrivesInOrderAndWholeWithErrorLinesMarked) {
  const std::string script = Script(
      "talk.js",
      "console.log('first line');\nconsole.error('an error line');\nconsole.log('');\n"
      "console.log('grüße, ☃, 🙂 and 日本語');\nprocess.stdout.write('prompt> ');\nsetInterval(() => {}, 1000);\n");
  TMainForm form(Options(script));
  form.show();
  EXPECT_FALSE(form.OutputPane()->isVisibleTo(&form)) << "closed until the first line";
  ASSERT_TRUE(WaitFor([&] { return form.OutputPane()->LineCount() >= 5; }, kLongMs))
      << PaneLines(*form.OutputPane()).join('|').toStdString();
  EXPECT_TRUE(form.OutputPane()->isVisibleTo(&form));
  // Each stream in its order (the two pipes' order against each other is not known).
  const QStringList lines = PaneLines(*form.OutputPane());
  EXPECT_EQ(lines.filter(QRegularExpression("^(?!E:)")),
            QStringList({"first line", "", QString::fromUtf8("grüße, ☃, 🙂 and 日本語"), "prompt> "}));
  EXPECT_EQ(lines.filter(QRegularExpression("^E:")), QStringList({"E:an error line"}));
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

TEST_F(WindowAdditionsTest, APaneKeepsTheLastLinesOfAFloodInOrder) {
  TOutputPane pane;
  pane.show();
  const int total = 3 * TOutputPane::kMaxLines + 123;
  std::thread worker([&] {
    for (int i = 0; i < total; ++i) pane.Queue()->Add("line " + std::to_string(i), i % 7 == 0);
  });
  worker.join();
  ASSERT_TRUE(WaitFor([&] { return pane.Idle(); }, kLongMs));
  ASSERT_EQ(pane.LineCount(), TOutputPane::kMaxLines);
  for (int i : {0, 1, TOutputPane::kMaxLines - 1}) {
    const int n = total - TOutputPane::kMaxLines + i;
    EXPECT_EQ(pane.LineText(i).toStdString(), "line " + std::to_string(n));
    EXPECT_EQ(pane.IsErrorLine(i), n % 7 == 0) << n;
  }
  // Lines of a run that was cleared away never show.
  std::shared_ptr<TOutputQueue> old = pane.Queue();
  pane.Clear();
  old->Add("late line of the old run", false);
  pane.Queue()->Add("new run", false);
  ASSERT_TRUE(WaitFor([&] { return pane.Idle() && pane.LineCount() == 1; }, kLongMs));
  EXPECT_EQ(pane.LineText(0), "new run");
}

TEST_F(WindowAdditionsTest, TextTypedInTheInputLineReachesTheScript) {
  const std::string script = Script("echo.js",
                                    "process.stdin.on('data', d => console.log('got ' + d.toString().trim()));\n");
  TMainForm form(Options(script));
  form.show();
  ASSERT_TRUE(WaitFor([&] { return form.Requester() && form.Requester()->ChildProcessId() != 0; }, kLongMs));
  QLineEdit* input = form.OutputPane()->Input();
  input->setFocus();
  QTest::keyClicks(input, QStringLiteral("hello "));
  input->insert(QString::fromUtf8("wörld"));  // QTest types ASCII only
  QTest::keyClick(input, Qt::Key_Return);
  EXPECT_TRUE(input->text().isEmpty());
  EXPECT_TRUE(WaitFor([&] { return PaneLines(*form.OutputPane()).contains(QString::fromUtf8("got hello wörld")); },
                      kLongMs))
      << PaneLines(*form.OutputPane()).join('|').toStdString();
}

TEST_F(WindowAdditionsTest, EachFailureIsSaidInTheBar) {
  const std::string loop = Script("loop.js", "setInterval(() => {}, 1000);\n");
  {
    SCOPED_TRACE("node cannot be started");
    TTarnwickOptions o = Options(loop);
    o.Node = FDir / "no-such-node";
    TMainForm form(o);
    form.show();
    EXPECT_TRUE(WaitFor(
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
    EXPECT_TRUE(WaitFor(
        [&] {
          return BarSays(form, {"exit code 3", "30 s", "Error: gone", "Restart (F5)"});
        },
        kLongMs))
        << form.FailureBar()->Text().toStdString();
    // Both streams whole; their order against each other is the pipes' own.
    EXPECT_TRUE(WaitFor([&] { return form.OutputPane()->LineCount() == 2; }, 5000))
        << PaneLines(*form.OutputPane()).join('|').toStdString();
    EXPECT_TRUE(PaneLines(*form.OutputPane()).contains("bye"));
    EXPECT_TRUE(PaneLines(*form.OutputPane()).contains("E:Error: gone"));
  }
  const std::string broken = Script("broken.js", "let x = ;\n");
  {
    SCOPED_TRACE("a syntax error, running at once");
    TMainForm form(Options(broken));
    form.show();
    EXPECT_TRUE(WaitFor(
        [&] {
          return BarSays(form, {"exit code 1", "SyntaxError: Unexpected token"});
        },
        kLongMs))
        << form.FailureBar()->Text().toStdString();
  }
  {
    SCOPED_TRACE("a syntax error, found once DevTools lets the script run: node then waits for DevTools");
    TMainForm form(Options(broken, true));
    form.show();
    EXPECT_TRUE(WaitFor(
        [&] {
          return BarSays(form, {"has finished", "Console panel"});
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
    EXPECT_TRUE(WaitFor(
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
  ASSERT_TRUE(WaitFor([&] { return TBasicNodeJsRequester::ProcessListensOn(otherPid, port); }, kLongMs));

  TTarnwickOptions o = Options(Script("mine.js", "setInterval(() => {}, 1000);\n"), true);
  o.Port = port;
  TMainForm form(o);
  QStringList loaded;
  QObject::connect(form.Browser()->Page(), &QWebEnginePage::urlChanged,
                   [&](const QUrl& AUrl) { loaded << AUrl.toString(); });
  form.show();
  EXPECT_TRUE(WaitFor(
      [&] {
        return BarSays(form, {"port", std::to_string(port).c_str(), "in use by another program", "--port"});
      },
      kLongMs))
      << form.FailureBar()->Text().toStdString();
  EXPECT_EQ(form.Requester(), nullptr) << "the undebuggable run was stopped";
  PumpFor(1000);
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
  ASSERT_TRUE(WaitFor([&] { return form.RunAction()->isEnabled() && form.RunAction()->toolTip() == "Debug (F5)"; }))
      << form.RunAction()->toolTip().toStdString();
  EXPECT_EQ(form.StopAction()->toolTip(), "Stop (Shift+F5)");

  QTest::keyClick(&form, Qt::Key_F5);
  ASSERT_NE(form.Requester(), nullptr);
  EXPECT_TRUE(WaitFor([&] { return form.windowTitle() == "Vexor Tarnwick - keys.js"; }))
      << form.windowTitle().toStdString();
  EXPECT_TRUE(WaitFor([&] { return form.RunAction()->toolTip() == "Restart (F5)"; }));
  QTest::keyClick(&form, Qt::Key_F5, Qt::ShiftModifier);
  EXPECT_EQ(form.Requester(), nullptr);
  EXPECT_TRUE(WaitFor([&] { return form.windowTitle() == "Vexor Tarnwick"; }));

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
  EXPECT_TRUE(WaitFor([&] { return !NodesRunning(script).empty(); }, kLongMs));
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
    ASSERT_TRUE(WaitFor([&] { return form.OutputPane()->isVisibleTo(&form); }, kLongMs));
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
  ASSERT_TRUE(WaitFor([&] { return form.OutputPane()->isVisibleTo(&form); }, kLongMs));
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
  (void)WaitFor(
      [&] {
        bool done = false;
        APage->runJavaScript(QStringLiteral("window.__twAnswer"), [&](const QVariant& AValue) {
          answer = AValue.toString().toStdString();
          done = true;
        });
        (void)WaitFor([&] { return done; }, 5000);
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
    if (!WaitFor([&] { return FrontEnd(AForm.Browser()->Page(), kSourceLoaded) == "true"; }, kLongMs)) return false;
    return WaitFor([&] { return FrontEnd(AForm.Browser()->Page(), kPaused) == "true"; }, 20000);
  };
  {
    TMainForm form(Options(script, true));
    form.show();
    ASSERT_TRUE(WaitFor([&] { return FrontEnd(form.Browser()->Page(), kSourceLoaded) == "true"; }, kLongMs));
    ASSERT_EQ(FrontEnd(form.Browser()->Page(), kSetBreakpoint), "true");
    // The front end keeps it in the page's storage of the persistent profile, by the script's
    // file address (the same for every run of the same script).
    EXPECT_TRUE(WaitFor(
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
