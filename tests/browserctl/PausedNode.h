#pragma once
// A real node script paused under the inspector on a free loopback port, for browser tests and
// benchmarks: its DevTools front-end address comes from the inspector's "/json" list, as the
// debugger window gets it. Main thread (uses Qt's event loop while it waits); ends node on
// destruction.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include "nodejs/JSONClient.h"

namespace vexor::browsertest {

class TPausedNode {
 public:
  // Starts `node --inspect-brk=127.0.0.1:0 AScript` (`--inspect` when ABreak is false); Ok()
  // tells whether the inspector came up within 30 s and listed one target.
  // ANodeArgs go before the script.
  explicit TPausedNode(const QString& AScript, bool ABreak = true, const QStringList& ANodeArgs = {}) {
    FNode.setProgram(QStringLiteral("node"));
    FNode.setArguments(QStringList{ABreak ? QStringLiteral("--inspect-brk=127.0.0.1:0")
                                          : QStringLiteral("--inspect=127.0.0.1:0")} +
                       ANodeArgs + QStringList{AScript});
    FNode.start();
    const QRegularExpression listening(QStringLiteral("ws://127\\.0\\.0\\.1:(\\d+)/"));
    QString err;
    QElapsedTimer clock;
    clock.start();
    while (FPort == 0 && clock.elapsed() < 30000 && FNode.state() != QProcess::NotRunning) {
      FNode.waitForReadyRead(100);
      err += QString::fromUtf8(FNode.readAllStandardError());
      if (auto m = listening.match(err); m.hasMatch()) FPort = m.captured(1).toInt();
    }
    if (FPort == 0) return;
    TJSONClient client;
    TJSONClientResponse r;
    client.HttpGet("http://127.0.0.1:" + std::to_string(FPort) + "/json", r);
    if (!r.IsValidStatus() || !r.Data || r.Data->GetCount() != 1) return;
    IPacketPtr target = VarToPacket(r.Data->GetVar(0));
    FFrontendUrl = QString::fromStdString(target->GetProperty("devtoolsFrontendUrl", Variant()).AsString());
  }
  ~TPausedNode() {
    FNode.kill();
    FNode.waitForFinished(5000);
  }

  bool Ok() const { return !FFrontendUrl.isEmpty(); }
  int Port() const { return FPort; }
  // The address as node lists it, and as the window loads it (every "/bundled" removed).
  const QString& FrontendUrl() const { return FFrontendUrl; }
  QString WindowUrl() const { return QString(FFrontendUrl).remove(QStringLiteral("/bundled")); }

 private:
  QProcess FNode;
  int FPort = 0;
  QString FFrontendUrl;
};

}  // namespace vexor::browsertest
