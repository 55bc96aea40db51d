// The browser's own URL spaces in a real offscreen Qt WebEngine page, with the runtime started
// the way the program starts it (switches from the registry store included).
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <filesystem>
#include <fstream>

#include "common/BrowserTestSupport.h"
#include "browser/core/CefRuntimeStartup.h"
#include "browser/core/ExCefClientHandler.h"
#include "browser/core/GlobalMainThreadSynchronizer.h"
#include "platform/MainThread.h"
#include "packets/json/PacketConversions.h"
#include "browser/QtCefRuntime.h"
#include "browser/QtResourceSchemeHandler.h"
#include "platform/Registry.h"
#include "common/TempDir.h"
#include "common/Wait.h"
#include "common/FreePort.h"
#include "common/WebEngineSanitizer.h"  // Qt WebEngine's own findings under the sanitizers

namespace vexor {
namespace {

using testing::PumpFor;
using testing::WaitFor;

class BrowserPage : public ::testing::Test {
 protected:
  void SetUp() override {
    FBase = FDir.Path() + "/";
    std::ofstream(FBase + "x.html") << "<!DOCTYPE html><title>file x</title><p>x";
    std::ofstream(FBase + "data.json") << R"({"k":1})";
    InstallResourceHandlers(*FProfile, FRouter);
    FRouter->SetBaseDir(FBase);
    FPage = std::make_unique<QWebEnginePage>(FProfile);
    QObject::connect(FPage.get(), &QWebEnginePage::loadFinished, [this](bool AOk) {
      ++FLoads;
      FLastOk = AOk;
    });
  }
  void TearDown() override {
    FPage.reset();
    FProfile->removeAllUrlSchemeHandlers();
    FProfile->setUrlRequestInterceptor(nullptr);
  }
  // Loads AUrl and waits for the load to finish.
  bool Load(const QString& AUrl) {
    int before = FLoads;
    FPage->load(QUrl(AUrl));
    return WaitFor([&] { return FLoads > before; }) && FLastOk;
  }
  // Runs a script in the page and waits for its value (a promise's result where it returns one).
  QVariant Eval(const QString& AScript) {
    bool done = false;
    QVariant result;
    FPage->runJavaScript(AScript, [&](const QVariant& AValue) {
      result = AValue;
      done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done; })) << AScript.toStdString();
    return result;
  }
  // Starts an asynchronous script that stores its outcome in window.__out; waits for it.
  QString Await(const QString& AScript) {
    Eval("window.__out = undefined; " + AScript);
    QString out;
    WaitFor([&] {
      QVariant v = Eval("window.__out === undefined ? null : String(window.__out)");
      if (v.isNull()) return false;
      out = v.toString();
      return true;
    });
    return out;
  }

  // A page XMLHttpRequest GET of AUrl; its outcome is AOnLoad (a script over the request r) or "error".
  QString Xhr(const QString& AUrl, const QString& AOnLoad = "r.responseText") {
    return Await("var r = new XMLHttpRequest(); r.open('GET', '" + AUrl + "'); r.onload = () => window.__out = " +
                 AOnLoad + "; r.onerror = () => window.__out = 'error'; r.send();");
  }

  testing::TTempDir FDir;
  std::string FBase;
  QWebEngineProfile* FProfile = BrowserRuntime()->Profile();
  std::shared_ptr<TResourceRouter> FRouter = std::make_shared<TResourceRouter>();
  std::unique_ptr<QWebEnginePage> FPage;
  int FLoads = 0;
  bool FLastOk = false;
};

TEST_F(BrowserPage, StartPageShowsTheCurrentHtmlAndAReloadShowsTheNewOne) {
  FRouter->SetHTML("<!DOCTYPE html><title>first</title>");
  ASSERT_TRUE(Load("ctrl-data://"));
  EXPECT_EQ(FPage->title(), "first");
  FRouter->SetHTML("<!DOCTYPE html><title>second</title>");
  int before = FLoads;
  FPage->triggerAction(QWebEnginePage::Reload);
  ASSERT_TRUE(WaitFor([&] { return FLoads > before; }));
  EXPECT_EQ(FPage->title(), "second");
}

TEST_F(BrowserPage, FilesArriveWithTheirContentType) {
  ASSERT_TRUE(Load("ctrl-data://x.html"));
  EXPECT_EQ(FPage->title(), "file x");
  EXPECT_EQ(Eval("document.contentType").toString(), "text/html");
  EXPECT_EQ(Xhr("ctrl-data://data.json", "r.getResponseHeader('Content-Type') + ' ' + r.responseText"),
            R"(text/json {"k":1})");
  EXPECT_EQ(Xhr("ctrl-data://../x.html"), "error");
  // The application origin reaches the same files; the page then shows the "ctrl-data" address.
  ASSERT_TRUE(Load("https://local/x.html"));
  EXPECT_EQ(FPage->title(), "file x");
  EXPECT_EQ(FPage->url().toString(), "ctrl-data://x.html");
}

TEST_F(BrowserPage, ImageKeysServeTheirPng) {
  QList<QImage> images;
  auto pngs = std::make_shared<TPngImageList>();
  for (int i = 0; i < 8; ++i) {
    QImage image(i + 1, 2, QImage::Format_ARGB32);
    image.fill(Qt::red);
    images << image;
    std::string png;
    ASSERT_TRUE(TQtBitmapImage(image).SaveToPng(png));
    pngs->push_back(png);
  }
  FRouter->SetPngImages(pngs);
  FRouter->SetHTML("<!DOCTYPE html><title>images</title>");
  ASSERT_TRUE(Load("ctrl-data://"));
  const QString probe =
      "var i = new Image(); i.onload = () => window.__out = 'width ' + i.naturalWidth;"
      "i.onerror = () => window.__out = 'error'; i.src = '%1';";
  EXPECT_EQ(Await(probe.arg("img:7")), "width 8");
  EXPECT_EQ(Await(probe.arg("img:8")), "error");
  // The same from a list of images encoded on request.
  FRouter->Update([&](TResourceRouter::TSettings& S) {
    S.PngImages = nullptr;
    S.Images = std::make_shared<TQtImageList>(images);
  });
  EXPECT_EQ(Await(probe.arg("img:2")), "width 3");
}

TEST_F(BrowserPage, PageXhrReachesTheApiCallback) {
  std::string method, params;
  bool onMainThread = false;
  FRouter->SetOnSyncAPIRequest([&](const std::string& AMethod, const IPacketPtr& AParams, const IPacketPtr&) {
    method = AMethod;
    params = AParams->AsString();
    onMainThread = IsMainThread();
    IPacketPtr result = NewPacket();
    result->PutProperty("user", "Ann");
    return result;
  });
  FRouter->SetHTML("<!DOCTYPE html><title>api</title>");
  ASSERT_TRUE(Load("ctrl-data://"));
  EXPECT_EQ(Xhr("ctrl-data:////api/users?id=5&x",
                "r.status + ' ' + r.getResponseHeader('Content-Type') + ' ' + r.responseText"),
            R"(200 application/json {"user":"Ann"})");
  EXPECT_EQ(method, "users");
  EXPECT_EQ(params, R"({"id":"5","$2":"x"})");
  EXPECT_TRUE(onMainThread);

  // The application origin's API, from a page of that origin.
  ASSERT_TRUE(Load("https://local/x.html"));
  EXPECT_EQ(Xhr("https://local/api/items?7"), R"({"user":"Ann"})");
  EXPECT_EQ(method, "items");
  EXPECT_EQ(params, R"(["7"])");
}

TEST_F(BrowserPage, RegistrySwitchesReachChromium) {
  FRouter->SetHTML("<!DOCTYPE html><title>switches</title>");
  ASSERT_TRUE(Load("ctrl-data://"));
  // "js-flags=--expose-gc" came from the CefParameters value main() stored: the page gets gc().
  EXPECT_EQ(Eval("typeof gc").toString(), "function");
  EXPECT_TRUE(qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").contains("--disable-pinch"));
}

uint16_t gEnvDebugPort = 0, gItemDebugPort = 0;  // set in main before the runtime starts

bool Listens(uint16_t APort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(APort);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return connected;
}

// Asked for by the environment and by a "CefParameters" value with a blank, remote debugging of
// the embedded browser stays off.
TEST_F(BrowserPage, RemoteDebuggingCannotBeSwitchedOn) {
  FRouter->SetHTML("<!DOCTYPE html><title>remote</title>");
  ASSERT_TRUE(Load("ctrl-data://"));
  const QString flags = qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS");
  EXPECT_FALSE(flags.contains("remote-debugging")) << flags.toStdString();
  EXPECT_TRUE(flags.contains("--disable-gpu")) << flags.toStdString();
  EXPECT_FALSE(Listens(gEnvDebugPort));
  EXPECT_FALSE(Listens(gItemDebugPort));
}

TEST_F(BrowserPage, PumpTimerDrainsTheTaskQueueWhileAClientLives) {
  bool ran = false;
  {
    TExCefClientHandler client;
    TGlobalMainThreadSynchronizer::Synchronize([&] { ran = true; }, nullptr, true);
    EXPECT_TRUE(WaitFor([&] { return ran; }, 5000));
  }
  ran = false;
  TGlobalMainThreadSynchronizer::Synchronize([&] { ran = true; }, nullptr, true);
  PumpFor(100);
  EXPECT_FALSE(ran) << "the pump still ran without a client";
  TExCefClientHandler::PumpTick();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace vexor

int main(int argc, char** argv) {
  using namespace vexor;
  // A "CefParameters" item whose effect a page can see: the switch must reach Chromium.
  return browsertest::RunBrowserTests(argc, argv, [] {
    TRegistry reg(TRegistryHive::rhCurrentUser);
    reg.OpenKey(TCefRuntimeStartup::kRegistryKey, true);
    gEnvDebugPort = vexor::testing::FreeLoopbackPort();
    gItemDebugPort = vexor::testing::FreeLoopbackPort();
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
            qgetenv("QTWEBENGINE_CHROMIUM_FLAGS") + " --remote-debugging-port=" + QByteArray::number(gEnvDebugPort));
    reg.WriteString(TCefRuntimeStartup::kRegistryValue,
                    "js-flags=--expose-gc;x=a --remote-debugging-port=" + std::to_string(gItemDebugPort));
  });
}
