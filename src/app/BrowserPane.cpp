#include "BrowserPane.h"

#include <QColor>
#include <QCoreApplication>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>

namespace vexor {

namespace {
const QString kDevToolsHost = QStringLiteral("devtools://devtools/");
const QString kBundled = QStringLiteral("bundled/");
}  // namespace

TBrowserPane::TBrowserPane(QWidget* AParent) : FView(new QWebEngineView(AParent)) {
  // The window's browser options: pages may open windows and reach file and remote addresses
  // from file addresses. Web security and tab-to-links have no Qt setting: Chromium's own
  // defaults apply to them.
  QWebEngineSettings* s = FView->settings();
  s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
  s->setAttribute(QWebEngineSettings::PluginsEnabled, true);
  s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
  s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
  FView->page()->setBackgroundColor(Qt::white);
  FView->setContextMenuPolicy(Qt::NoContextMenu);
}

TBrowserPane::~TBrowserPane() = default;

QWidget* TBrowserPane::Widget() const { return FView; }

QWebEnginePage* TBrowserPane::Page() const { return FView->page(); }

void TBrowserPane::HTML(const QStringList& ALines) {
  FLoadedUrl.clear();
  FView->setHtml(ALines.join(QLatin1Char('\n')));
}

void TBrowserPane::Load(const QString& AUrl) {
  FLoadedUrl = AUrl;
  FView->load(MapDevToolsUrl(AUrl));
}

void TBrowserPane::NotifyMoveOrResizeStarted() {
  // Lets the browser follow the new geometry before the next paint.
  QCoreApplication::sendPostedEvents(FView);
}

QUrl TBrowserPane::MapDevToolsUrl(const QString& AUrl) {
  if (AUrl.startsWith(kDevToolsHost) && !AUrl.mid(kDevToolsHost.size()).startsWith(kBundled))
    return QUrl(kDevToolsHost + kBundled + AUrl.mid(kDevToolsHost.size()));
  return QUrl(AUrl);
}

}  // namespace vexor
