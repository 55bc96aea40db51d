// The browser control in a program of its own: the page adds two numbers by asking the host.
//
//   browser_bridge_example                   a window; type two numbers and press "Ask the host"
//   browser_bridge_example --selftest F.png  presses the button itself, saves a picture of the
//                                            answer to F.png and ends (0 when the answer came)
//
// The host side is the OnJSCall callback below: it receives the page's arguments as variants and
// returns its results; the page's last argument, a function, receives them.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWebEnginePage>
#include <cstdio>

#include "browser/ChromiumEx.h"
#include "platform/MainThread.h"
#include "packets/json/PacketConversions.h"
#include "browser/QtCefRuntime.h"

using namespace vexor;

namespace {

const QStringList kPage = {
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Bridge example</title>",
    "<style>body { font: 16px sans-serif; margin: 2em; } input { width: 5em; } #answer { margin-top: 1em; "
    "font-weight: bold; }</style></head><body>",
    "<h1>Ask the host</h1>",
    "<input id=\"a\" value=\"19\"> + <input id=\"b\" value=\"23\"> <button id=\"ask\">Ask the host</button>",
    "<div id=\"answer\">No answer yet.</div>",
    "<script>",
    "document.getElementById('ask').onclick = function () {",
    "  var a = parseInt(document.getElementById('a').value, 10), b = parseInt(document.getElementById('b').value, 10);",
    "  callDelphi('add', a, b, function (sum) {",
    "    document.getElementById('answer').textContent = 'The host says: ' + a + ' + ' + b + ' = ' + sum;",
    "  });",
    "};",
    "</script></body></html>"};

}  // namespace

int main(int argc, char** argv) {
  const bool selfTest = argc > 2 && std::string(argv[1]) == "--selftest";
  if (selfTest) qputenv("QT_QPA_PLATFORM", "offscreen");
  InitMainThread();
  InitPacketConversions();
  if (!StartBrowserRuntime()) return 1;
  int status = 0;
  {
    QApplication app(argc, argv);
    {
      TChromiumEx browser;
      browser.resize(640, 320);
      browser.setWindowTitle(QStringLiteral("Bridge example"));
      // The host's answer: "add" sums its two integer arguments.
      browser.SetOnJSCall([](TChromiumExHandler*, const TVariantArray& AParams) -> TVariantArray {
        if (AParams.size() == 3 && AParams[0].AsString() == "add") return {AParams[1].AsInt32() + AParams[2].AsInt32()};
        return {};
      });
      browser.SetHTML(kPage);
      browser.show();
      if (selfTest) {
        // Press the button once the page is there, then wait for the answer.
        QElapsedTimer clock;
        clock.start();
        QTimer poll;
        bool pressed = false;
        QObject::connect(&poll, &QTimer::timeout, [&] {
          if (clock.elapsed() > 60000) {
            status = 2;
            app.quit();
            return;
          }
          browser.Page()->runJavaScript(pressed
                                            ? "document.getElementById('answer').textContent"
                                            : "document.getElementById('ask') && typeof callDelphi === 'function' ? "
                                              "(document.getElementById('ask').click(), 'pressed') : ''",
                                        [&](const QVariant& AValue) {
                                          const QString text = AValue.toString();
                                          if (!pressed) {
                                            pressed = text == "pressed";
                                          } else if (text.startsWith("The host says")) {
                                            browser.grab().save(QString::fromLocal8Bit(argv[2]), "PNG");
                                            std::printf("%s\n", text.toUtf8().constData());
                                            app.quit();
                                          }
                                        });
        });
        poll.start(100);
        app.exec();
      } else {
        app.exec();
      }
    }
    BrowserRuntime()->ReleaseProfile();
  }
  StopBrowserRuntime();
  return status;
}
