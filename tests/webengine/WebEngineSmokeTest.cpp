// Proves the embedded browser works on this machine: an offscreen Qt WebEngine page loads HTML
// served by our own "ctrl-data" scheme handler and its script sets the page title.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

#include "common/Wait.h"
#include "common/WebEngineSanitizer.h"  // Qt WebEngine's own findings under the sanitizers

namespace {

class TCtrlDataHandler : public QWebEngineUrlSchemeHandler {
 public:
  using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
  // Called on the browser's UI thread for every ctrl-data request.
  void requestStarted(QWebEngineUrlRequestJob* AJob) override {
    auto* body = new QBuffer(AJob);
    body->setData(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>"
        "<script>document.title = 'ctrl-data:' + (1 + 41);</script></body></html>");
    body->open(QIODevice::ReadOnly);
    AJob->reply("text/html", body);
  }
};

using vexor::testing::WaitFor;

TEST(WebEngine, PageServedByCustomSchemeRunsItsScript) {
  TCtrlDataHandler handler;
  QWebEngineProfile profile;  // off the record: nothing written to disk
  profile.installUrlSchemeHandler("ctrl-data", &handler);
  QWebEnginePage page(&profile);
  bool loaded = false, ok = false;
  QObject::connect(&page, &QWebEnginePage::loadFinished, [&](bool AOk) {
    loaded = true;
    ok = AOk;
  });
  page.load(QUrl("ctrl-data://start/index.html"));
  ASSERT_TRUE(WaitFor([&] { return page.title() == "ctrl-data:42"; }, 60000))
      << "title was '" << page.title().toStdString() << "'";
  ASSERT_TRUE(WaitFor([&] { return loaded; }, 30000));
  EXPECT_TRUE(ok);
}

}  // namespace


int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
          "--disable-gpu --disable-background-networking --disable-component-update --no-first-run");
  QWebEngineUrlScheme scheme("ctrl-data");
  scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
  scheme.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::LocalAccessAllowed);
  QWebEngineUrlScheme::registerScheme(scheme);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
