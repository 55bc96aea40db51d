#pragma once
// The browser that fills the debugger window, as the window uses it: show HTML held by the
// program, load an address, hear of moves and resizes. Its realisation is a plain
// QWebEngineView with the window's browser options.
//
// A DevTools front-end address without "/bundled" (devtools://devtools/<page>) is loaded from the
// bundled front end (devtools://devtools/bundled/<page>): current Chromium serves the front end
// only there.
//
// Threads: main thread only (it is a widget).
#include <QString>
#include <QStringList>
#include <QUrl>

class QWebEnginePage;
class QWebEngineView;
class QWidget;

namespace vexor {

class TBrowserPane {
 public:
  explicit TBrowserPane(QWidget* AParent);
  ~TBrowserPane();
  TBrowserPane(const TBrowserPane&) = delete;
  TBrowserPane& operator=(const TBrowserPane&) = delete;

  QWidget* Widget() const;
  QWebEnginePage* Page() const;

  // Shows ALines (one text line each) as a page; showing the same text again reloads it.
  void HTML(const QStringList& ALines);
  // Loads AUrl, mapping a DevTools address without "/bundled" onto the bundled front end.
  void Load(const QString& AUrl);
  // The address last handed to Load, as handed (empty after HTML).
  const QString& LoadedUrl() const { return FLoadedUrl; }
  // The window calls this when it starts moving or resizing.
  void NotifyMoveOrResizeStarted();

  // devtools://devtools/<page> -> devtools://devtools/bundled/<page>; any other address unchanged.
  static QUrl MapDevToolsUrl(const QString& AUrl);

 private:
  QWebEngineView* FView;  // owned by its Qt parent
  QString FLoadedUrl;
};

}  // namespace vexor
