#include "browser/DevToolsHost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>
#include <QUrl>
#include <QWebEnginePage>

namespace vexor {

namespace {

const QString kMarker = QStringLiteral("\u2063tarnwick-devtools\n");
// Large enough for few round trips, small enough that no script call carries a whole bundle.
constexpr qint64 kChunkBytes = 256 * 1024;
// Nothing a front end shows as a source is larger; a bigger "map" is not read at all.
constexpr qint64 kMaxFileBytes = 64 * 1024 * 1024;

// AText as a JavaScript string literal (JSON's escaping, which JavaScript reads alike).
QString JsString(const QString& AText) {
  const QByteArray json = QJsonDocument(QJsonArray{AText}).toJson(QJsonDocument::Compact);
  return QString::fromUtf8(json.mid(1, json.size() - 2));
}

}  // namespace

const QString& TDevToolsHost::ScriptSource() {
  static const QString kSource = [] {
    QFile f(QStringLiteral(":/tarnwick/devtools-host.js"));
    f.open(QIODevice::ReadOnly);
    return QString::fromUtf8(f.readAll());
  }();
  return kSource;
}

void TDevToolsHost::SetAllowedFolders(const QStringList& AFolders) {
  FFolders.clear();
  for (const QString& folder : AFolders) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (!canonical.isEmpty() && QFileInfo(canonical).isDir() && !FFolders.contains(canonical))
      FFolders.append(canonical);
  }
}

QString TDevToolsHost::AllowedFile(const QString& AUrl) const {
  const QUrl url(AUrl, QUrl::StrictMode);
  // A host part names another machine (a share): never read.
  if (!url.isValid() || !url.isLocalFile() || !url.host().isEmpty()) return {};
  const QFileInfo file(QFileInfo(url.toLocalFile()).canonicalFilePath());
  if (file.filePath().isEmpty() || !file.isFile() || file.size() > kMaxFileBytes) return {};
  const QString path = file.filePath();
  for (const QString& folder : FFolders) {
    if (path.startsWith(folder == QLatin1String("/") ? folder : folder + u'/')) return path;
  }
  return {};
}

bool TDevToolsHost::HandleConsoleMessage(QWebEnginePage* APage, const QString& AMessage) {
  if (!APage || APage->url().scheme() != QLatin1String("devtools") || !AMessage.startsWith(kMarker)) return false;
  const qsizetype idEnd = AMessage.indexOf(u'\n', kMarker.size());
  bool numeric = false;
  const int id = AMessage.mid(kMarker.size(), idEnd - kMarker.size()).toInt(&numeric);
  if (idEnd < 0 || !numeric) return true;  // not a request the page script makes: dropped
  const QString url = AMessage.mid(idEnd + 1);
  const QString path = AllowedFile(url);
  QFile file(path);
  bool ok = !path.isEmpty() && file.open(QIODevice::ReadOnly);
  if (OnFileRequest) OnFileRequest(url, ok);
  const QString call = QStringLiteral("window.__tarnwickDevTools && __tarnwickDevTools.");
  const QString idText = QString::number(id);
  // Stateful: a character cut in two by a chunk's end is completed by the next chunk.
  QStringDecoder utf8(QStringDecoder::Utf8);
  while (ok && !file.atEnd()) {
    const QString text = utf8(file.read(kChunkBytes));
    if (!text.isEmpty()) APage->runJavaScript(call + QStringLiteral("chunk(") + idText + u',' + JsString(text) + u')');
  }
  APage->runJavaScript(call + QStringLiteral("done(") + idText +
                       (ok ? QStringLiteral(",true)") : QStringLiteral(",false)")));
  return true;
}

}  // namespace vexor
