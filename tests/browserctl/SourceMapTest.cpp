// The DevTools front end of a real node script running a compiled TypeScript project
// (maps/: external maps, an inline map, a map naming a file outside the project, a dependency
// whose map is missing), in the browser control, offscreen, from the address the window loads.
// What the front end knows is read from its own models.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QWebEnginePage>

#include "common/BrowserTestSupport.h"
#include "common/Wait.h"
#include "PausedNode.h"
#include "browser/ChromiumEx.h"
#include "nodejs/TypeScriptRunner.h"
#include "common/BrowserTestSupport.h"
#include "common/TempDir.h"
#include "common/WebEngineSanitizer.h"  // Qt WebEngine's own findings under the sanitizers

using namespace vexor;
using namespace vexor::browsertest;
using vexor::testing::WaitFor;

namespace {

const QString kProject = QStringLiteral(TW_MAPS_PROJECT);

// Runs an async function body in the page and waits for its value (JSON), or "error: ...".
QString Await(QWebEnginePage* APage, const QString& ABody, int ATimeoutMs = 30000) {
  Js(APage, QStringLiteral("window.__probe = undefined; (async () => {") + ABody +
                QStringLiteral("})().then(v => { window.__probe = JSON.stringify(v === undefined ? null : v); },"
                               " e => { window.__probe = 'error: ' + e; });"));
  QString result;
  WaitFor(
      [&] {
        const QVariant v = Js(APage, "window.__probe");
        if (v.isValid() && !v.isNull()) result = v.toString();
        return !result.isEmpty();
      },
      ATimeoutMs);
  return result;
}

const QString kModules = QStringLiteral(R"(
  const base = 'devtools://devtools/bundled/';
  const W = (await import(base + 'models/workspace/workspace.js')).Workspace.WorkspaceImpl.instance();
  const B = await import(base + 'models/bindings/bindings.js');
  const SDK = await import(base + 'core/sdk/sdk.js');
  const Common = await import(base + 'core/common/common.js');
  const UI = await import(base + 'ui/legacy/legacy.js');
  const urls = () => W.uiSourceCodes().map(u => u.url());
)");

class SourceMaps : public ::testing::Test {
 protected:
  void Open(bool ABreak, const QString& AScript = kProject + QStringLiteral("/dist/main.js"),
            const QStringList& ANodeArgs = {}) {
    FNode = std::make_unique<TPausedNode>(AScript, ABreak, ANodeArgs);
    ASSERT_TRUE(FNode->Ok()) << "node's inspector did not come up";
    FControl.resize(1400, 850);
    FControl.show();
    FControl.SetSourceFolders({kProject});
    FControl.DevToolsHost().OnFileRequest = [this](const QString& AUrl, bool ARead) {
      (ARead ? FRead : FRefused).append(AUrl);
    };
    FControl.Load(FNode->WindowUrl());
    ASSERT_TRUE(WaitFor([&] { return FControl.Page()->url().scheme() == QLatin1String("devtools"); }, 90000));
  }
  QWebEnginePage* Page() { return FControl.Page(); }
  QString Shot(const char* AName) {
    const QString shot = QDir::current().absoluteFilePath(QString::fromLatin1(AName));
    EXPECT_TRUE(FControl.grab().save(shot, "PNG"));
    std::printf("screenshot: %s\n", shot.toUtf8().constData());
    return shot;
  }

  std::unique_ptr<TPausedNode> FNode;
  TChromiumEx FControl;
  QStringList FRead, FRefused;
};

TEST_F(SourceMaps, TypeScriptSourcesFromExternalAndInlineMapsAndABreakpointOnATsLineStops) {
  Open(false);
  QString r;
  // Both maps load: the external one and the source it names from disk, the inline one whole.
  EXPECT_TRUE(WaitFor(
      [&] {
        r = Await(Page(), kModules + QStringLiteral("return urls().filter(u => u.endsWith('.ts')).sort();"));
        return r.contains("src/main.ts") && r.contains("src/inline.ts");
      },
      90000))
      << r.toStdString();
  EXPECT_TRUE(FRead.contains(QUrl::fromLocalFile(kProject + "/dist/main.js.map").toString()));
  EXPECT_TRUE(FRefused.contains(QStringLiteral("file:///etc/passwd"))) << FRefused.join(' ').toStdString();
  EXPECT_FALSE(FRead.contains(QStringLiteral("file:///etc/passwd")));
  EXPECT_TRUE(WaitFor([&] {
    return FRefused.contains(QUrl::fromLocalFile(kProject + "/node_modules/dep/index.js.map").toString());
  })) << FRefused.join(' ').toStdString();

  // A breakpoint on the .ts line binds and stops there.
  r = Await(Page(), kModules + QStringLiteral(R"(
    const ui = W.uiSourceCodes().find(u => u.url().endsWith('/src/main.ts'));
    await B.BreakpointManager.BreakpointManager.instance().setBreakpoint(ui, 5, 0, '', true);
    const dm = SDK.TargetManager.TargetManager.instance().models(SDK.DebuggerModel.DebuggerModel)[0];
    for (let i = 0; i < 200 && !dm.isPaused(); ++i) await new Promise(f => setTimeout(f, 50));
    if (!dm.isPaused()) return 'not paused';
    const frame = dm.debuggerPausedDetails().callFrames[0];
    const at = await B.DebuggerWorkspaceBinding.DebuggerWorkspaceBinding.instance().rawLocationToUILocation(frame.location());
    return at.uiSourceCode.url().replace(/^.*\//, '') + ':' + at.lineNumber;
  )"),
            60000);
  EXPECT_EQ(r.toStdString(), "\"main.ts:5\"");

  // No Console warning about maps: not for the file outside, not for the dependency's missing map.
  r = Await(Page(), kModules + QStringLiteral("return Common.Console.Console.instance().messages().map(m => m.text)"
                                              ".filter(t => /source map/i.test(t));"));
  EXPECT_EQ(r.toStdString(), "[]");

  // The file tree (the Node navigator), for a person to look at.
  Await(Page(), kModules + QStringLiteral(R"(
    await UI.ViewManager.ViewManager.instance().showView('navigator-network');
    const Sources = await import(base + 'panels/sources/sources.js');
    const view = Sources.SourcesNavigator.NetworkNavigatorView.instance();
    for (const u of W.uiSourceCodes().filter(u => /\/src\/(main|inline)\.ts$/.test(u.url())))
      view.revealUISourceCode(u, u.url().endsWith('main.ts'));)"));
  r = Await(Page(), kModules + QStringLiteral(R"(
    let text = '';
    (function walk(n) { if (n.nodeType === 3) text += n.nodeValue + ' '; if (n.shadowRoot) walk(n.shadowRoot);
      for (let c = n.firstChild; c; c = c.nextSibling) walk(c); })(document);
    return ['Node', 'src', 'main.ts'].filter(w => text.includes(w)).join(',');)"));
  EXPECT_EQ(r.toStdString(), "\"Node,src,main.ts\"");
  Shot("devtools-file-tree.png");
}

TEST_F(SourceMaps, IgnoreListDefaultsAreWrittenOnceAndAUserChangeStays) {
  Open(true);
  QString r;
  EXPECT_TRUE(WaitFor(
      [&] {
        r = Await(Page(), kModules + QStringLiteral("return Common.Settings.Settings.instance()"
                                                    ".moduleSetting('skipStackFramesPattern').getAsArray();"));
        return r.contains("node_modules");
      },
      90000))
      << r.toStdString();
  EXPECT_TRUE(r.contains("^node:")) << r.toStdString();
  Await(Page(), kModules + QStringLiteral("await UI.ViewManager.ViewManager.instance().showView('blackbox');"));
  WaitFor([] { return false; }, 1500);  // the settings view paints
  Shot("devtools-ignore-list.png");

  // The user empties the list; a new load of the front end keeps it empty.
  Await(Page(),
        kModules + QStringLiteral(
                       "Common.Settings.Settings.instance().moduleSetting('skipStackFramesPattern').setAsArray([]);"));
  Page()->triggerAction(QWebEnginePage::Reload);
  WaitFor([] { return false; }, 500);
  EXPECT_TRUE(WaitFor(
      [&] {
        r = Await(Page(), kModules + QStringLiteral("return Common.Settings.Settings.instance()"
                                                    ".moduleSetting('skipStackFramesPattern').getAsArray();"));
        return r == QStringLiteral("[]");
      },
      60000))
      << r.toStdString();
}

TEST_F(SourceMaps, OnlyDevToolsPagesGetTheScriptAndOnlyAllowedFilesAreRead) {
  TDevToolsHost host;
  host.SetAllowedFolders({kProject + "/src", "/no/such/folder"});
  EXPECT_EQ(host.AllowedFolders(), QStringList{kProject + "/src"});
  struct {
    QString Url;
    bool Allowed;
  } cases[] = {
      {QUrl::fromLocalFile(kProject + "/src/main.ts").toString(), true},
      {QUrl::fromLocalFile(kProject + "/src/../dist/main.js").toString(), false},  // climbs out
      {QUrl::fromLocalFile(kProject + "/src").toString(), false},                  // a folder
      {QUrl::fromLocalFile(kProject + "/src/missing.ts").toString(), false},
      {QStringLiteral("file:///etc/passwd"), false},
      {QStringLiteral("file://server/share") + kProject + "/src/main.ts", false},  // another machine
      {QStringLiteral("http://127.0.0.1/") + kProject + "/src/main.ts", false},
      {QStringLiteral("not a url"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(!host.AllowedFile(c.Url).isEmpty(), c.Allowed) << c.Url.toStdString();

  // Another page in the control: no script of ours beyond the bridge.
  FControl.SetHTML({QStringLiteral("<html><body>start</body></html>")});
  ASSERT_TRUE(WaitFor([&] {
    return Js(Page(), "document.body && document.body.textContent").toString().contains("start");
  }));
  EXPECT_EQ(Js(Page(), "typeof window.__tarnwickDevTools").toString(), QStringLiteral("undefined"));
}

// Where "break on load" stops, as the front end maps it: "<file>:<line>".
const QString kPausedAt = kModules + QStringLiteral(R"(
  const models = () => SDK.TargetManager.TargetManager.instance().models(SDK.DebuggerModel.DebuggerModel);
  for (let i = 0; i < 400 && !(models()[0] && models()[0].isPaused()); ++i) await new Promise(f => setTimeout(f, 50));
  const dm = models()[0];
  if (!dm || !dm.isPaused()) return 'not paused';
  const frame = dm.debuggerPausedDetails().callFrames[0];
  for (let i = 0; i < 100; ++i) {
    const at = await B.DebuggerWorkspaceBinding.DebuggerWorkspaceBinding.instance().rawLocationToUILocation(frame.location());
    if (at && (!at.uiSourceCode.url().endsWith('.js') || i === 99)) return at.uiSourceCode.url().replace(/^.*\//, '') + ':' + at.lineNumber;
    await new Promise(f => setTimeout(f, 50));
  }
)");

TEST_F(SourceMaps, BreakOnLoadStopsOnTheFirstLineOfAnEsModule) {
  vexor::testing::TTempDir dir;
  const std::string script = dir / "main.mjs";
  {
    QFile f(QString::fromStdString(script));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("const a = 1;\nconsole.log('mjs', a);\n");
  }
  Open(true, QString::fromStdString(script));
  FControl.SetSourceFolders({QString::fromStdString(dir.Path())});
  EXPECT_EQ(Await(Page(), kPausedAt, 60000).toStdString(), "\"main.mjs:0\"");
}

// A .ts script of a real tsx project (installed from the registry; skipped without one), run as
// the window runs it: break on load stops on its first line, shown as TypeScript.
TEST_F(SourceMaps, BreakOnLoadStopsOnTheFirstLineOfATypeScriptScriptRunThroughTsx) {
  vexor::testing::TTempDir dir;
  {
    QFile p(QString::fromStdString(dir / "package.json")), t(QString::fromStdString(dir / "main.ts"));
    ASSERT_TRUE(p.open(QIODevice::WriteOnly) && t.open(QIODevice::WriteOnly));
    p.write(R"({"name":"ts-project","version":"1.0.0","private":true})");
    t.write("const a: number = 1;\nconsole.log('ts', a);\n");
  }
  QProcess npm;
  npm.setWorkingDirectory(QString::fromStdString(dir.Path()));
  npm.start(QStringLiteral("npm"), {"install", "--save-dev", "--no-audit", "--no-fund", "tsx"});
  if (!npm.waitForFinished(180000) || npm.exitCode() != 0) GTEST_SKIP() << "npm could not install tsx";
  const TTypeScriptRunner runner = TTypeScriptRunner::Choose(dir / "main.ts", dir.Path(), TNodeVersion::Query("node"));
  ASSERT_EQ(runner.Kind, TTypeScriptRunnerKind::tsrTsx);
  QStringList args;
  for (const std::string& a : runner.NodeArgs) args << QString::fromStdString(a);
  Open(true, QString::fromStdString(dir / "main.ts"), args);
  FControl.SetSourceFolders({QString::fromStdString(dir.Path())});
  EXPECT_EQ(Await(Page(), kPausedAt, 60000).toStdString(), "\"main.ts:0\"");
  EXPECT_EQ(Await(Page(), kModules + QStringLiteral("return Common.Console.Console.instance().messages()"
                                                    ".map(m => m.text).filter(t => /source map/i.test(t));"))
                .toStdString(),
            "[]");
}

// The dedicated Node entry page (which the inspector hub serves) has the file tree of its own and
// lacks the setting too: the script adds only what is missing, and the front end comes up whole.
TEST_F(SourceMaps, TheNodeEntryPageGetsTheSettingAndKeepsItsOwnFileTree) {
  FControl.show();
  FControl.Load(QStringLiteral("devtools://devtools/node_app.html"));
  ASSERT_TRUE(WaitFor([&] { return Page()->url().scheme() == QLatin1String("devtools"); }, 90000));
  QString r;
  EXPECT_TRUE(WaitFor(
      [&] {
        r = Await(Page(), kModules + QStringLiteral(R"(
          const unc = Common.Settings.Settings.instance().moduleSetting('network.enable-unc-loading').get();
          const tree = UI.ViewManager.getRegisteredViewExtensions().filter(v => v.viewId() === 'navigator-network');
          return [unc, tree.length, tree[0].title(), Boolean(UI.ViewManager.ViewManager.instance().view('navigator-network'))];)"));
        return r.startsWith('[');
      },
      60000))
      << r.toStdString();
  // node_app.html's own navigator is "Node" too; ours would have been a second one.
  EXPECT_EQ(r.toStdString(), "[false,1,\"Node\",true]");
}

}  // namespace

int main(int argc, char** argv) { return RunBrowserTests(argc, argv); }
