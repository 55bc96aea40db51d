// The DevTools front end of a real paused node script in the browser control, offscreen, from the
// address the window loads (every "/bundled" removed).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "common/BrowserTestSupport.h"
#include "common/Wait.h"
#include "browser/ChromiumEx.h"
#include "PausedNode.h"
#include "common/WebEngineSanitizer.h"  // Qt WebEngine's own findings under the sanitizers

using namespace vexor;
using namespace vexor::browsertest;
using vexor::testing::WaitFor;

namespace {

// Searches the front end's whole DOM, shadow roots included: the open panel, the script's name
// and its source text.
const char* kSourcesPanelProbe = R"(
(function () {
  var text = '', sources = false;
  (function walk(n) {
    if (n.nodeType === 3) text += n.nodeValue + ' ';
    if (n.nodeType === 1 && n.classList.contains('panel') && n.classList.contains('sources')) sources = true;
    if (n.shadowRoot) walk(n.shadowRoot);
    for (var c = n.firstChild; c; c = c.nextSibling) walk(c);
  })(document);
  return (sources ? 'sources ' : '') + (text.indexOf('paused_target.js') >= 0 ? 'script ' : '') +
         (text.indexOf('answer') >= 0 ? 'text' : '');
})())";

TEST(DevTools, FrontEndOfAPausedNodeScriptShowsItsSource) {
  vexor::testing::TTempDir dir;
  const QString script = QString::fromStdString(dir / "paused_target.js");
  {
    QFile f(script);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("const answer = 6 * 7;\nconsole.log('answer', answer);\nsetInterval(() => {}, 1000);\n");
  }
  TPausedNode node(script);
  ASSERT_TRUE(node.Ok()) << "node's inspector did not come up";
  ASSERT_TRUE(node.FrontendUrl().contains("/bundled/")) << node.FrontendUrl().toStdString();

  TChromiumEx control;
  control.resize(1200, 800);
  control.show();
  control.Load(node.WindowUrl());
  bool loaded = false, ok = false;
  QObject::connect(control.Page(), &QWebEnginePage::loadFinished, [&](bool AOk) {
    loaded = true;
    ok = AOk;
  });
  ASSERT_TRUE(WaitFor([&] { return loaded; }, 90000));
  EXPECT_TRUE(ok);
  EXPECT_TRUE(control.Page()->url().toString().startsWith("devtools://devtools/bundled/"));
  QString probe;
  EXPECT_TRUE(WaitFor(
      [&] { return (probe = Js(control.Page(), kSourcesPanelProbe).toString()) == "sources script text"; }, 90000))
      << probe.toStdString();
  // A picture of what the user sees, for a person to look at.
  const QString shot = QDir::current().absoluteFilePath("devtools-paused-node.png");
  EXPECT_TRUE(control.grab().save(shot, "PNG"));
  std::printf("screenshot: %s\n", shot.toUtf8().constData());
}

}  // namespace


int main(int argc, char** argv) { return RunBrowserTests(argc, argv); }
