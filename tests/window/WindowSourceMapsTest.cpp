// The window debugging a compiled TypeScript project (tests/browserctl/maps, run from its dist/
// folder): the front end the window shows gets the .ts sources, which lie in the project's src/,
// outside the script's folder.
#include <gtest/gtest.h>

#include <QTest>
#include <QWebEnginePage>

#include "app/TarnwickOptions.h"
#include "browser/ChromiumEx.h"
#include "common/FreePort.h"
#include "window/MainForm.h"

namespace vexor {
namespace {

// The front end's TypeScript sources and whether their text came, from its own workspace model
// ("" until it answers).
std::string TypeScriptSources(QWebEnginePage* APage) {
  // main.ts has no content in its map: its text is read from the project's src/ folder.
  APage->runJavaScript(QStringLiteral(R"(
    import('devtools://devtools/bundled/models/workspace/workspace.js').then(async W => {
      const ts = W.Workspace.WorkspaceImpl.instance().uiSourceCodes().filter(u => u.url().endsWith('.ts'));
      const names = [];
      for (const u of ts) {
        const c = await u.requestContent();
        names.push(u.url().replace(/^.*\//, '') + (c.content && c.content.includes(': number') ? '' : ' (no text)'));
      }
      window.__twTs = names.sort().join(',');
    });)"));
  std::string answer;
  bool done = false;
  APage->runJavaScript(QStringLiteral("window.__twTs || ''"), [&](const QVariant& AValue) {
    answer = AValue.toString().toStdString();
    done = true;
  });
  (void)QTest::qWaitFor([&] { return done; }, 5000);
  return answer;
}

TEST(WindowSourceMaps, TheWindowsFrontEndGetsTheProjectsTypeScriptSources) {
  TTarnwickOptions o;
  o.Script = std::string(TW_MAPS_PROJECT) + "/dist/main.js";
  o.Port = testing::FreeLoopbackPort();
  o.BreakOnLoad = false;
  TMainForm form(o);
  form.show();
  std::string sources;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return (sources = TypeScriptSources(form.Browser()->Page())) == "inline.ts,main.ts"; }, 90000))
      << sources;
}

}  // namespace
}  // namespace vexor

#include "WindowTestMain.h"

int main(int argc, char** argv) { return vexor::testing::RunWindowTests(argc, argv); }
