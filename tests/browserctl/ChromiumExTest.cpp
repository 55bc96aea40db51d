// The browser control in a real offscreen page: the page bridge both ways, the start page, the
// render process's restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <fstream>
#include <mutex>
#include <optional>

#include "common/BrowserTestSupport.h"
#include "common/Wait.h"
#include "browser/ChromiumEx.h"
#include "platform/DebugOutput.h"
#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "common/TempDir.h"
#include "common/WebEngineSanitizer.h"  // Qt WebEngine's own findings under the sanitizers

using namespace vexor;
using namespace vexor::browsertest;
using vexor::testing::WaitFor;

namespace {

// The page every bridge case runs in: a recorder for callbacks and one for thrown messages.
const QStringList kRecorderPage = {
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>recorder</title></head><body>",
    "<script>",
    "window.calls = []; window.errors = [];",
    "function cb() { calls.push(JSON.stringify(Array.prototype.slice.call(arguments))); }",
    "function attempt(f) { try { f(); } catch (e) { errors.push(e.message); } }",
    "function __dispatchEvents(a) { window.dispatched = JSON.stringify(a); }",
    "function boom() { setTimeout(function () {\n throw new Error('boom'); }, 0); }",
    "</script></body></html>"};

class ChromiumEx : public ::testing::Test {
 protected:
  void SetUp() override {
    FControl = std::make_unique<TChromiumEx>();
    FControl->resize(800, 600);
    FControl->show();
    FControl->OnPageMessage = [this](const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage) {
      FMessages.push_back(AMessage);
      FLastBrowser = ABrowser;
    };
    FControl->SetOnJSCall([this](TChromiumExHandler*, const TVariantArray& AParams) {
      FCalls.push_back(AParams);
      return FResults;
    });
    FDebug = std::make_shared<std::vector<std::string>>();
    auto debug = FDebug;
    SetDebugOutputSink([debug](std::string_view ALine) { debug->emplace_back(ALine); });
  }
  void TearDown() override {
    SetDebugOutputSink(nullptr);
    FControl.reset();
  }

  QWebEnginePage* Page() { return FControl->Page(); }
  // Shows the recorder page and waits until its bridge is up (a pid and the globals).
  void ShowRecorder() {
    FControl->SetHTML(kRecorderPage);
    ASSERT_TRUE(WaitFor([&] { return Page()->title() == "recorder"; }, 60000))
        << Page()->url().toString().toStdString();
    ASSERT_EQ(Js(Page(), "typeof callDelphi + typeof __SendRequest + typeof cefHelperInfo").toString(),
              "functionfunctionfunction");
  }
  std::vector<std::string> Messages(std::string_view AName) {
    std::vector<std::string> r;
    for (const TCefProcessMessage& m : FMessages)
      if (m.Name == AName) {
        int32_t id = 0;
        TVariantArray params = TProcessMessages::GetMessageParams(m, id);
        r.push_back(std::to_string(id) + ":" + TCefConversion::VarArrayToJSON(Variant::Array(varVariant, params)));
      }
    return r;
  }
  bool DebugHas(std::string_view AText) {
    for (const std::string& l : *FDebug)
      if (l.find(AText) != std::string::npos) return true;
    return false;
  }

  std::unique_ptr<TChromiumEx> FControl;
  std::vector<TCefProcessMessage> FMessages;
  ICefBrowserPtr FLastBrowser;
  std::vector<TVariantArray> FCalls;
  TVariantArray FResults;
  std::shared_ptr<std::vector<std::string>> FDebug;
};

TEST_F(ChromiumEx, CallDelphiReachesTheHostAndAnswersThePage) {
  ShowRecorder();
  struct TCase {
    const char* Name;
    const char* Script;
    TVariantArray Results;  // what OnJSCall answers
    const char* Message;    // the "dcall" as id:params (id 0: no callback)
    const char* Callback;   // the callback's arguments as JSON, or "" for no call
    const char* Thrown;     // the page call's error message, or ""
  } cases[] = {
      {"no arguments", "callDelphi()", {}, "0:[]", "", ""},
      {"arguments and a callback, one result", "callDelphi(1, 'x', cb)", {7}, "1:[1,\"x\"]", "[7]", ""},
      {"no result: called without arguments", "callDelphi(2, cb)", {}, "2:[2]", "[]", ""},
      {"several results: one JSON text", "callDelphi(cb)", {1, "a", true}, "3:[]", "[\"[1,\\\"a\\\",true]\"]", ""},
      {"an object travels as packet text",
       "callDelphi({a: 1, b: [1.5, 'x']})",
       {},
       "0:[\"{\\\"a\\\":1,\\\"b\\\":[1.5,\\\"x\\\"]}\"]",
       "",
       ""},
      {"null, undefined and Booleans", "callDelphi(null, undefined, true)", {}, "0:[null,null,true]", "", ""},
      {"a double throws", "callDelphi(1.5)", {}, "", "", "SenBrowserRequest: Unsupported argument type 5"},
      {"an array throws", "callDelphi([1, 2])", {}, "", "", "SenBrowserRequest: Unsupported argument type 8204"},
      {"a date throws", "callDelphi(new Date(), cb)", {}, "", "", "SenBrowserRequest: Unsupported argument type 7"},
      {"a function before the last throws",
       "callDelphi(cb, 1)",
       {},
       "",
       "",
       "SenBrowserRequest: Unsupported argument type 291"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FMessages.clear();
    FCalls.clear();
    FResults = c.Results;
    Js(Page(), "calls = []; errors = []; attempt(function () { " + QString::fromUtf8(c.Script) + "; });");
    if (*c.Thrown) {
      EXPECT_EQ(Js(Page(), "errors.join('|')").toString().toStdString(), c.Thrown);
      // Nothing reaches the host, and no callback stays behind (the next id is not taken).
      Js(Page(), "callDelphi()");
      ASSERT_TRUE(WaitFor([&] { return Messages("dcall").size() == 1; }, 20000));
      EXPECT_EQ(Messages("dcall")[0], "0:[]");
      continue;
    }
    ASSERT_TRUE(WaitFor([&] { return FCalls.size() == 1; }, 20000));
    EXPECT_EQ(Messages("dcall"), std::vector<std::string>{c.Message});
    if (*c.Callback) {
      ASSERT_TRUE(WaitFor([&] { return Js(Page(), "calls.length").toInt() > 0; }, 20000));
      EXPECT_EQ(Js(Page(), "calls.join('|')").toString().toStdString(), c.Callback);
    }
  }
  // Callbacks ran once each: ids 1, 2, 3 were answered and are gone.
  FMessages.clear();
  TProcessMessages::SendBrowserRequest(FLastBrowser.get(), PID_RENDERER, 2, kMsgRply, {5});
  ASSERT_TRUE(WaitFor([&] { return DebugHas("Callback not found 2"); }, 20000));
  EXPECT_EQ(Js(Page(), "calls.length").toInt(), 0);
}

TEST_F(ChromiumEx, SendRequestIsAnsweredOnceOrCancelled) {
  ShowRecorder();
  ICefAsyncResponsePtr kept;
  std::string seen;
  FControl->SetOnClientRequest([&](TChromiumExHandler*, const std::string& AUrl, const std::string& AIntf,
                                   const std::string& AMethod, const TVariantArray& AParams,
                                   const ICefAsyncResponsePtr& ACallBack) {
    seen = AUrl + "|" + AIntf + "|" + AMethod + "|" +
           TPacketConversions::PacketAsJSON(NewPacketFromArray({}, TVariantArray(AParams)));
    if (AMethod == "keep") kept = ACallBack;
    if (AMethod == "answer") ACallBack->Result(true, TPacketConversions::PacketFromJSON(R"({"b":2})"));
    if (AMethod == "refuse") ACallBack->Result(false, nullptr);
    // "drop": the callback goes unanswered with the last reference
  });
  struct TCase {
    const char* Method;
    const char* Callback;
  } cases[] = {{"answer", "[true,\"{\\\"b\\\":2}\"]"}, {"refuse", "[false]"}, {"drop", "[]"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Method);
    seen.clear();
    Js(Page(), QStringLiteral("calls = []; __SendRequest('https://u/', 'intf', '%1', '{\"a\":1,\"s\":\"t\"}', cb)")
                   .arg(QString::fromUtf8(c.Method)));
    ASSERT_TRUE(WaitFor([&] { return Js(Page(), "calls.length").toInt() == 1; }, 20000));
    EXPECT_EQ(Js(Page(), "calls[0]").toString().toStdString(), c.Callback);
    EXPECT_EQ(seen, std::string("https://u/|intf|") + c.Method + R"(|{"a":1,"s":"t"})");
  }
  // Arguments that are no text give an empty list; a kept callback answers later, once only.
  Js(Page(), "calls = []; __SendRequest('u', 'i', 'keep', 5, cb)");
  ASSERT_TRUE(WaitFor([&] { return static_cast<bool>(kept); }, 20000));
  EXPECT_EQ(seen, "u|i|keep|[]");
  kept->Result(true, nullptr);
  EXPECT_THROW(kept->Result(true, nullptr), Exception);
  kept = nullptr;
  ASSERT_TRUE(WaitFor([&] { return Js(Page(), "calls.length").toInt() == 1; }, 20000));
  EXPECT_EQ(Js(Page(), "calls[0]").toString().toStdString(), "[true]");
}

TEST_F(ChromiumEx, PagesKeepTheirOwnFunctionsAndNewDocumentsGetTheBridgeAgain) {
  FControl->SetHTML(
      {"<html><head><title>own</title><script>function callDelphi() { return 'mine'; }</script></head></html>"});
  ASSERT_TRUE(WaitFor([&] { return Page()->title() == "own"; }, 60000));
  EXPECT_EQ(Js(Page(), "callDelphi()").toString(), "mine");
  EXPECT_EQ(Js(Page(), "typeof __SendRequest").toString(), "function");
  // The same HTML again: the start page reloads; another page: navigation; the bridge is back.
  ShowRecorder();
  // A request still open when its document goes: its late answer reaches no page of the next one.
  ICefAsyncResponsePtr kept;
  FControl->SetOnClientRequest([&](TChromiumExHandler*, const std::string&, const std::string&, const std::string&,
                                   const TVariantArray&, const ICefAsyncResponsePtr& ACallBack) { kept = ACallBack; });
  Js(Page(), "__SendRequest('u', 'i', 'm', '{}', cb)");
  ASSERT_TRUE(WaitFor([&] { return static_cast<bool>(kept); }, 20000));
  Js(Page(), "window.oldDocument = true");
  FControl->SetHTML(kRecorderPage);
  ASSERT_TRUE(WaitFor(
      [&] { return Js(Page(), "typeof window.calls + typeof window.oldDocument").toString() == "objectundefined"; },
      60000));
  kept->Result(true, nullptr);
  kept = nullptr;
  FResults = {"again"};
  Js(Page(), "callDelphi(cb)");
  ASSERT_TRUE(WaitFor([&] { return Js(Page(), "calls.length").toInt() == 1; }, 20000));
  EXPECT_EQ(Js(Page(), "calls[0]").toString(), "[\"again\"]");
  EXPECT_EQ(Page()->url().toString(), "ctrl-data://");
  EXPECT_FALSE(DebugHas("Callback not found"));
}

// A page that is not ours (here a data: page) cannot reach the host through the bridge.
TEST_F(ChromiumEx, APageThatIsNotOursCannotReachTheBridge) {
  FControl->Load(QStringLiteral("data:text/html,<title>foreign</title>"));
  ASSERT_TRUE(WaitFor([&] { return Page()->title() == "foreign"; }, 60000));
  Js(Page(), "typeof callDelphi === 'function' && callDelphi(1)");
  Js(Page(), "typeof __SendRequest === 'function' && __SendRequest('u', 'i', 'm', '{}', function () {})");
  ShowRecorder();  // a round trip through a page of ours: what the foreign page sent has arrived
  FResults = {"ours"};
  Js(Page(), "callDelphi(2, cb)");
  ASSERT_TRUE(WaitFor([&] { return FCalls.size() == 1; }, 20000));
  ASSERT_EQ(FCalls[0].size(), 1u);
  EXPECT_EQ(FCalls[0][0].AsString(), "2") << "the foreign page's call reached the host";
  EXPECT_TRUE(DebugHas("not ours was refused"));
}

TEST_F(ChromiumEx, HostToPageScriptsAndUncaughtExceptions) {
  ShowRecorder();
  ICefBrowserPtr browser = FControl->Browser();
  ASSERT_TRUE(browser);
  browser->SendProcessMessage(PID_RENDERER, TCefProcessMessage{"dptc", {TCefValue::String(R"({"x":[1,"y"]})")}});
  ASSERT_TRUE(WaitFor([&] { return Js(Page(), "window.dispatched || ''").toString() == R"({"x":[1,"y"]})"; }, 20000));
  FControl->CallJSMethod("cb", {1, "two", true});
  IPacketPtr packet = TPacketConversions::PacketFromJSON(R"({"p":3})");
  FControl->CallJSMethod("cb", packet);
  FControl->CallJSMethod("noSuchFunction", {1});
  ASSERT_TRUE(WaitFor([&] { return Js(Page(), "calls.length").toInt() == 2; }, 20000));
  EXPECT_EQ(Js(Page(), "calls.join('|')").toString(), R"([1,"two",true]|[{"p":3}])");

  std::optional<std::string> excpt;
  FControl->OnProcessMessageReceived = [&](const ICefBrowserPtr&, const TCefProcessMessage& AMessage) {
    int32_t id = 0;
    TVariantArray p = TProcessMessages::GetMessageParams(AMessage, id);
    if (AMessage.Name == "excpt") excpt = std::to_string(id) + ":" + p.at(0).AsString() + "@" + p.at(1).AsString();
  };
  Js(Page(), "boom()");
  ASSERT_TRUE(WaitFor([&] { return excpt.has_value(); }, 20000));
  EXPECT_NE(excpt->find("-1:"), std::string::npos) << *excpt;
  EXPECT_NE(excpt->find("Error: boom@"), std::string::npos) << *excpt;
  EXPECT_TRUE(DebugHas(">> JS Exception >> Uncaught Error: boom")) << (FDebug->empty() ? "" : FDebug->back());
}

TEST_F(ChromiumEx, RendererRestartsWithANewPid) {
  ShowRecorder();
  TChromiumExHandler* h = FControl->Handler();
  ASSERT_TRUE(WaitFor([&] { return h->RendererPid() != 0; }, 20000)) << Page()->renderProcessPid();
  TRendererInfo info;
  ASSERT_TRUE(FControl->GetRendererProcessInfo(info));
  EXPECT_EQ(info.pid, h->RendererPid());
  EXPECT_GT(info.WorkSetSize, 0u);
  EXPECT_GE(info.PeeWorksetSize, info.WorkSetSize);
  int reloads = 0, loads = 0;
  FControl->AfterReload = [&] { ++reloads; };
  QObject::connect(Page(), &QWebEnginePage::loadFinished, [&] { ++loads; });

  // Through the control, then from outside.
  for (const char* how : {"RestartRenderer", "SIGKILL"}) {
    SCOPED_TRACE(how);
    const uint32_t old = h->RendererPid();
    if (std::string(how) == "SIGKILL")
      ::kill(static_cast<pid_t>(old), SIGKILL);
    else
      FControl->RestartRenderer();
    // The page is reloaded after the crash (and, by RestartRenderer, once more ignoring the cache).
    const int before = loads;
    ASSERT_TRUE(WaitFor([&] { return loads > before && h->RendererPid() != 0 && h->RendererPid() != old; }, 60000));
    ASSERT_TRUE(WaitFor([&] { return Js(Page(), "typeof window.calls").toString() == "object"; }, 60000));
    FResults = {how};
    Js(Page(), "callDelphi(cb)");
    ASSERT_TRUE(WaitFor([&] { return Js(Page(), "calls.length").toInt() == 1; }, 20000));
  }
  EXPECT_EQ(reloads, 2);

  // Without a browser nothing happens and nothing waits.
  TChromiumEx idle;
  QElapsedTimer clock;
  clock.start();
  idle.RestartRenderer();
  EXPECT_LT(clock.elapsed(), 1000);
  EXPECT_FALSE(idle.GetRendererProcessInfo(info));
}

TEST_F(ChromiumEx, PageUrlLoadsAFileBelowTheApplicationOrigin) {
  vexor::testing::TTempDir dir;
  std::ofstream(dir / "index.html") << "<!DOCTYPE html><title>app page</title><p>from a file";
  FControl->SetApp("myapp");
  EXPECT_EQ(FControl->AppUrl(), "https://myapp/");
  FControl->SetPageUrl(QString::fromStdString(dir / "index.html") + "#x");
  EXPECT_EQ(FControl->PageUrl().toStdString(), dir / "index.html#x");
  EXPECT_EQ(FControl->Handler()->BaseDir(), dir.Path() + "/");
  ASSERT_TRUE(WaitFor([&] { return Page()->title() == "app page"; }, 60000)) << Page()->url().toString().toStdString();
  EXPECT_EQ(Js(Page(), "typeof callDelphi").toString(), "function");
}

TEST_F(ChromiumEx, ContextMenuCommands) {
  ShowRecorder();
  int reloads = 0, loads = 0;
  FControl->AfterReload = [&] { ++reloads; };
  QObject::connect(Page(), &QWebEnginePage::loadFinished, [&] { ++loads; });
  EXPECT_TRUE(FControl->ContextMenuCommand(TChromiumEx::kCmdReloadIgnoreCache));
  ASSERT_TRUE(WaitFor([&] { return loads == 1; }, 60000));
  EXPECT_EQ(reloads, 1);
  EXPECT_FALSE(FControl->ContextMenuCommand(0x4004));
  ASSERT_EQ(FControl->DevToolsView(), nullptr);
  EXPECT_TRUE(FControl->ContextMenuCommand(TChromiumEx::kCmdShowDevTools));
  ASSERT_NE(FControl->DevToolsView(), nullptr);
  EXPECT_TRUE(FControl->DevToolsView()->isVisible());
  EXPECT_EQ(Page()->devToolsPage(), FControl->DevToolsView()->page());
}

TEST_F(ChromiumEx, ZoomAndDevToolsAddress) {
  ShowRecorder();
  FControl->SetZoomLevel(1.44);
  EXPECT_NEAR(FControl->ZoomLevel(), 2.0, 1e-9);
  EXPECT_NEAR(Page()->zoomFactor(), 1.44, 1e-9);
  FControl->SetZoomLevel(1.0);
  EXPECT_NEAR(FControl->ZoomLevel(), 0.0, 1e-9);
  EXPECT_EQ(TChromiumEx::MapDevToolsUrl("devtools://devtools/inspector.html?ws=1"),
            "devtools://devtools/bundled/inspector.html?ws=1");
  EXPECT_EQ(TChromiumEx::MapDevToolsUrl("devtools://devtools/bundled/x.html"), "devtools://devtools/bundled/x.html");
  EXPECT_EQ(TChromiumEx::MapDevToolsUrl("https://a/devtools://devtools/"), "https://a/devtools://devtools/");
}

TEST(ChromiumExStartUp, TheJavaScriptValueKindIsRegisteredBeforeTheRuntime) {
  EXPECT_TRUE(TCef8ValueVariantType::Registered());
}

TEST(ChromiumExFonts, JapaneseLocalesOnly) {
  struct TCase {
    const char* Locale;
    bool Legacy;
    const char* Fonts;  // serif|sans-serif, or "" when the fonts stay
  } cases[] = {
      {"JA", false, "MS PMincho|Meiryo UI"},
      {"ja", false, "MS PMincho|Meiryo UI"},
      {"JPN", true, "MS Mincho|MS Gothic"},
      {"jPn", false, "MS PMincho|Meiryo UI"},
      {"JAP", false, ""},
      {"EN", false, ""},
      {"", true, ""},
  };
  for (const TCase& c : cases) {
    QString serif, sans;
    const bool set = TChromiumEx::LocaleFontDefaults(c.Locale, c.Legacy, serif, sans);
    EXPECT_EQ(set ? (serif + "|" + sans).toStdString() : std::string(), c.Fonts) << c.Locale;
  }
}

}  // namespace


int main(int argc, char** argv) { return RunBrowserTests(argc, argv); }
