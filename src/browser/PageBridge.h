#pragma once
// TPageBridge: the host end of the page bridge on Qt WebEngine. Qt runs no native code in the
// render process, so the render side of the browser messages is split: the page script
// (bridge/bridge.js) keeps the page's globals, callback ids and argument check, and this object,
// published on the page's QWebChannel as "tarnwickBridge", does the rest of the render side's
// work in the host: it turns the page's posts into browser messages (converting the page's values
// with TCefConversion and encoding them as a message would be) and carries the host's messages
// back ("rply"/"cncl" to the page script, "dptc" as the guarded call script, "kill" as SIGKILL to
// the render process).
//
// TQtBrowser (ICefBrowser): the browser as the handler sees it, standing for one document of the
// page (the one that posted a message) or for whatever document the page shows.
//
// Threads: main thread only (QWebChannel delivers page calls there). Lifetime: owned by its
// QObject parent (the browser control); browser objects that outlive it send nothing.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWebEnginePage>
#include <functional>

#include "browser/ChromiumExHandler.h"


namespace vexor {

class TPageBridge : public QObject {
  Q_OBJECT
  // The page's messages arrive as writes of this property: a property write asks for no answer,
  // so a message costs one transfer (a method call would send its result back as well). The text
  // is "<token>\n<name>\n<id>\n<tagged arguments>"; reading gives the last message's name.
  Q_PROPERTY(QString inbox READ inbox WRITE setInbox NOTIFY inboxChanged)

 public:
  // AOnMessage receives every message the page sends, with the browser of its document.
  using TOnMessage = std::function<void(const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage)>;

  TPageBridge(QWebEnginePage* APage, TOnMessage AOnMessage, QObject* AParent = nullptr);

  QWebEnginePage* Page() const { return FPage; }
  // The browser of whatever document the page shows (for messages the host starts).
  ICefBrowserPtr CurrentBrowser();
  // A message to the page's render side; AToken names the document (empty: the current one).
  void SendToPage(const QString& AToken, const TCefProcessMessage& AMessage);
  // The render process announced itself (Qt reports it instead of the page): a "pid" message.
  void RenderProcessStarted(qint64 APid);

  // Whether the document at AUrl is one of ours and may use the bridge: a "ctrl-data:" page, or
  // a page of the application origin AAppUrl ("https://local/"). DevTools and every other page
  // (file:, http:, data:) are refused: they could forge messages and write to our output.
  static bool IsOwnPage(const QUrl& AUrl, const QString& AAppUrl);
  // The application origin, for IsOwnPage; "" accepts only "ctrl-data:" pages.
  void SetAppUrl(const QString& AValue) { FAppUrl = AValue; }

  // One message of the page's document named AToken (see the inbox property).
  void Post(const QString& AToken, const QString& AName, int AId, const QString& AArgs);

  // The page script's calls.
  QString inbox() const { return FLastName; }
  void setInbox(const QString& AMessage);
 public slots:
  void log(const QString& text);

 signals:
  void deliver(const QString& token, const QString& name, int id, const QString& params);
  void inboxChanged();  // never emitted: the page does not read the property

 private:
  ICefBrowserPtr BrowserFor(const QString& AToken);

  // Main thread only.
  QPointer<QWebEnginePage> FPage;
  TOnMessage FOnMessage;
  QString FLastName;
  QString FAppUrl;  // set by the owner on the main thread
};

}  // namespace vexor
