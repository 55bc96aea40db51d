// The browser control against bare Qt WebEngine, in one run:
// - a page's callDelphi(1, "x", cb) round trip (timed in the page, 1,000 calls one after another)
//   against a bare QWebChannel method call with the same arguments from a twin page;
// - the DevTools front end of a paused node script, from Load to loadFinished, in TChromiumEx
//   against a bare QWebEngineView (alternating, a fresh view each time).
// Each benchmark reports the median and the 99th percentile of both and their ratio.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>
#include <algorithm>
#include <vector>

#include "browser/ChromiumEx.h"
#include "PausedNode.h"
#include "platform/MainThread.h"
#include "common/BrowserTestSupport.h"
#include "common/Wait.h"
#include "packets/json/PacketConversions.h"
#include "browser/QtCefRuntime.h"
#include "common/TempDir.h"

using namespace vexor;
using browsertest::Js;
using vexor::testing::WaitFor;

namespace {

// The bare peer: a slot answering with its first argument.
class TBareObject : public QObject {
  Q_OBJECT
 public slots:
  QVariant call(int a, const QString& b) { return a; }
};

// Runs ACall 1,000 times, each after the previous answer. The page's clock ticks in 0.1 ms steps,
// so each sample is the mean call-to-callback time of a block of 10 calls (100 samples).
const QString kLoopPage = QStringLiteral(
    "<!DOCTYPE html><html><head><title>loop</title><script>"
    "function runLoop(n, call) { var d = [], i = 0, t = performance.now(); window.result = null;"
    "  (function next() { if (i > 0 && i % 10 === 0) { var now = performance.now(); d.push((now - t) / 10); t = now; }"
    "    if (i++ === n) { window.result = JSON.stringify(d); return; }"
    "    call(next); })(); }"
    "</script></head><body></body></html>");

struct TStats {
  double Median = 0, P99 = 0;
};
TStats Stats(std::vector<double> A) {
  std::sort(A.begin(), A.end());
  if (A.empty()) return {};
  return {A[A.size() / 2], A[std::min(A.size() - 1, A.size() * 99 / 100)]};
}

std::vector<double> RunLoop(QWebEnginePage* APage, const QString& ACall) {
  Js(APage, QStringLiteral("runLoop(1000, %1); 0").arg(ACall));
  QString text;
  WaitFor([&] { return !(text = Js(APage, QStringLiteral("window.result || ''")).toString()).isEmpty(); });
  std::vector<double> r;
  for (const QJsonValue& v : QJsonDocument::fromJson(text.toUtf8()).array()) r.push_back(v.toDouble());
  return r;
}

void Report(benchmark::State& AState, const char* AName, const TStats& AOurs, const char* APeer,
            const TStats& APeerStats) {
  AState.counters[std::string(AName) + "_median_ms"] = AOurs.Median;
  AState.counters[std::string(AName) + "_p99_ms"] = AOurs.P99;
  AState.counters[std::string(APeer) + "_median_ms"] = APeerStats.Median;
  AState.counters[std::string(APeer) + "_p99_ms"] = APeerStats.P99;
  AState.counters["ratio_median"] = APeerStats.Median > 0 ? AOurs.Median / APeerStats.Median : 0;
}

void CallDelphiRoundTrip(benchmark::State& AState) {
  TChromiumEx control;
  control.resize(400, 300);
  control.show();
  control.SetOnJSCall([](TChromiumExHandler*, const TVariantArray&) { return TVariantArray{1}; });
  control.SetHTML({kLoopPage});
  WaitFor([&] { return Js(control.Page(), "typeof runLoop + typeof callDelphi").toString() == "functionfunction"; });

  // The twin page: the same loop over a bare QWebChannel object.
  QWebEngineView bare;
  bare.resize(400, 300);
  bare.show();
  QWebChannel channel;
  TBareObject object;
  channel.registerObject(QStringLiteral("bare"), &object);
  bare.page()->setWebChannel(&channel);
  QFile client(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
  client.open(QIODevice::ReadOnly);
  QWebEngineScript script;
  script.setInjectionPoint(QWebEngineScript::DocumentCreation);
  script.setWorldId(QWebEngineScript::MainWorld);
  script.setSourceCode(QString::fromUtf8(client.readAll()) +
                       "\nnew QWebChannel(qt.webChannelTransport, function (c) { window.bare = c.objects.bare; });");
  bare.page()->scripts().insert(script);
  bare.setHtml(kLoopPage);
  WaitFor([&] { return Js(bare.page(), "typeof runLoop + typeof window.bare").toString() == "functionobject"; });

  std::vector<double> ours, peer;
  for (auto _ : AState) {
    QElapsedTimer clock;
    clock.start();
    // Alternating halves, so both see the same state of the machine.
    for (int round = 0; round < 2; ++round) {
      auto a = RunLoop(control.Page(), "function (f) { callDelphi(1, 'x', f); }");
      auto b = RunLoop(bare.page(), "function (f) { bare.call(1, 'x', f); }");
      ours.insert(ours.end(), a.begin(), a.end());
      peer.insert(peer.end(), b.begin(), b.end());
    }
    AState.SetIterationTime(clock.nsecsElapsed() / 1e9);
  }
  Report(AState, "callDelphi", Stats(ours), "bare_webchannel", Stats(peer));
}

// One load of the front end: from Load (or load) to loadFinished, in ms.
template <typename TMake>
double TimedLoad(TMake AMake) {
  bool loaded = false;
  QElapsedTimer clock;
  clock.start();
  auto holder = AMake([&] { loaded = true; });
  WaitFor([&] { return loaded; });
  const double ms = clock.nsecsElapsed() / 1e6;
  holder.reset();
  // Let the front end's connection to node close before the next one opens.
  vexor::testing::PumpFor(300);
  return ms;
}

void DevToolsLoad(benchmark::State& AState) {
  vexor::testing::TTempDir dir;
  const QString scriptPath = QString::fromStdString(dir / "bench_target.js");
  {
    QFile f(scriptPath);
    f.open(QIODevice::WriteOnly);
    f.write("setInterval(() => {}, 1000);\n");
  }
  browsertest::TPausedNode node(scriptPath);
  if (!node.Ok()) {
    AState.SkipWithError("node's inspector did not come up");
    return;
  }
  std::vector<double> ours, peer;
  for (auto _ : AState) {
    ours.push_back(TimedLoad([&](std::function<void()> ADone) {
      auto c = std::make_unique<TChromiumEx>();
      c->resize(1000, 700);
      c->show();
      c->Load(node.WindowUrl());
      QObject::connect(c->Page(), &QWebEnginePage::loadFinished, ADone);
      return c;
    }));
    peer.push_back(TimedLoad([&](std::function<void()> ADone) {
      auto v = std::make_unique<QWebEngineView>();
      v->setPage(new QWebEnginePage(BrowserRuntime()->Profile(), v.get()));
      v->resize(1000, 700);
      v->show();
      v->load(QUrl(node.FrontendUrl()));
      QObject::connect(v->page(), &QWebEnginePage::loadFinished, ADone);
      return v;
    }));
    AState.SetIterationTime((ours.back() + peer.back()) / 1000.0);
  }
  Report(AState, "chromiumex", Stats(ours), "bare_view", Stats(peer));
}

}  // namespace

BENCHMARK(CallDelphiRoundTrip)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK(DevToolsLoad)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
          "--disable-gpu --disable-background-networking --disable-component-update --no-first-run");
  InitMainThread();
  InitPacketConversions();
  if (!StartBrowserRuntime()) return 1;
  {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    BrowserRuntime()->ReleaseProfile();
  }
  StopBrowserRuntime();
  return 0;
}

#include "bench_browser_bridge.moc"
