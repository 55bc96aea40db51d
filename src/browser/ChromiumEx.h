#pragma once
// TChromiumEx: the window-filling browser control. A QWidget holding one QWebEngineView; it shows
// a start page whose HTML the host hands it (at "ctrl-data://"), loads any address (the DevTools
// front end included), lets page scripts call the host (callDelphi, __SendRequest: see
// ChromiumExHandler.h) and restarts a crashed renderer.
//
// The browser (view, page, web channel, page script) is made when first needed: by HTML, Load or
// PageUrl, or when the widget is shown. Options and the locale font defaults apply then.
//
// Threads: a widget: main thread only. Host callbacks run on the main thread from the task queue,
// never inside Qt WebEngine's delivery of a page message.
#include <QStringList>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <memory>

#include "browser/ChromiumExHandler.h"
#include "browser/DevToolsHost.h"

class QMenu;
class QWebChannel;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;

namespace vexor {

class TExCefClientHandler;
class TPageBridge;

// The browser settings the control applies when it makes its browser.
struct TChromiumOptions {
  bool JavascriptOpenWindows = true;
  bool Plugins = true;
  bool UniversalAccessFromFileUrls = true;
  bool FileAccessFromFileUrls = true;
  bool TabToLinks = true;
  bool WebSecurity = false;
  uint32_t BackgroundColor = 16777215;  // 0xBBGGRR: white
};

class TChromiumEx : public QWidget {
  Q_OBJECT

 public:
  // Context-menu commands a host-built menu may offer.
  static constexpr int kCmdReloadIgnoreCache = 0x4001;
  static constexpr int kCmdShowDevTools = 0x4002;
  static constexpr int kCmdInspectElement = 0x4003;

  explicit TChromiumEx(QWidget* AOwner = nullptr);
  ~TChromiumEx() override;

  // Start-page HTML as lines; assigning shows it at "ctrl-data://" (a reload when shown already).
  const QStringList& HTML() const { return FHTMLDoc; }
  void SetHTML(const QStringList& ALines);
  // Loads AUrl into the main frame ("devtools://devtools/<page>" is served from the bundled front
  // end). Makes the browser first.
  void Load(const QString& AUrl);
  QString PageUrl() const;
  // The folders whose files the DevTools front end may read (source maps and the sources they
  // name): the run's working folder and the script's folder. None before it is set.
  void SetSourceFolders(const QStringList& AFolders) { FDevToolsHost.SetAllowedFolders(AFolders); }
  TDevToolsHost& DevToolsHost() { return FDevToolsHost; }
  // Sets the handler's page file and loads it below the application origin.
  void SetPageUrl(const QString& AValue);
  QString App() const;
  void SetApp(const QString& AValue);
  QString AppUrl() const;
  TChromiumExHandler* Handler() const { return FHandler.get(); }

  bool AutoRestartRenderer = true;
  bool DeveloperMenu = true;
  std::function<void()> AfterReload;
  TChromiumOptions Options;
  void SetOnJSCall(TOnJSCallHandler A) { FHandler->OnJSCall = std::move(A); }
  void SetOnClientRequest(TOnClientRequest A) { FHandler->OnClientRequest = std::move(A); }
  // Every message the page sends, before the handler sees it (diagnostics).
  std::function<void(const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage)> OnPageMessage;
  // Messages the handler does not take ("excpt" and unknown names), with their browser.
  std::function<void(const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage)> OnProcessMessageReceived;
  // Set: the page's context menu is offered to it (add actions, e.g. for the commands above)
  // and shown; not set: no context menu.
  std::function<void(QMenu* AMenu, const QPoint& APos)> OnBeforeContextMenu;
  // After the render process ended (before the control's own reload).
  std::function<void(int AStatus, int AExitCode)> OnRenderProcessTerminated;

  // The window calls this from its resize handler: one pass of pending events.
  void NotifyMoveOrResizeStarted();
  // Zoom by a scale factor (the level is log base 1.2 of it); nothing when the level is current.
  void SetZoomLevel(double AScale);
  double ZoomLevel() const;
  void CallJSMethod(std::string_view AMethod, std::initializer_list<Variant> AParams);
  void CallJSMethod(std::string_view AMethod, std::span<const Variant> AParams);
  void CallJSMethod(std::string_view AMethod, const IFormattedPacketPtr& AParams);
  void CallJSMethod(std::string_view AMethod, const IPacketPtr& AParams);
  // 0x4001-0x4003; APos in view coordinates (for inspecting an element). False for other ids.
  bool ContextMenuCommand(int ACommandId, const QPoint& APos = {});
  void ShowDevTools(const QPoint& AInspectAt = QPoint(-1, -1));
  void RestartRenderer() { FHandler->RestartRenderer(); }
  bool GetRendererProcessInfo(TRendererInfo& AInfo) { return FHandler->GetRendererProcessInfo(AInfo); }

  // The current browser (null before it is made).
  ICefBrowserPtr Browser();
  QWebEngineView* View() const { return FView; }
  QWebEnginePage* Page() const;
  QWebEngineView* DevToolsView() const { return FDevTools; }

  // The font families a Japanese runtime locale ("JA", "JPN", any case) asks for (the cursive
  // family is the serif one); false for any other locale, whose fonts stay as they are.
  static bool LocaleFontDefaults(const std::string& ALocale, bool ALegacy, QString& ASerif, QString& ASansSerif);
  // "devtools://devtools/<page>" -> "devtools://devtools/bundled/<page>"; other addresses unchanged.
  static QString MapDevToolsUrl(const QString& AUrl);

 private:
  void CreateBrowser();
  void ApplyOptions();
  void MessageReceived(const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage);
  void RenderProcessTerminated(int AStatus, int AExitCode);
  void ShowContextMenu(const QPoint& APos);

  // Main thread only. The handler outlives the control while queued work holds it.
  TChromiumExHandlerPtr FHandler;
  QStringList FHTMLDoc;
  std::unique_ptr<TExCefClientHandler> FClient;  // keeps the message pump running
  QWebEngineProfile* FProfile = nullptr;
  bool FSharedProfile = false;  // the runtime's profile (not owned), or one of our own
  QWebEngineView* FView = nullptr;
  QWebChannel* FChannel = nullptr;
  TPageBridge* FBridge = nullptr;
  QWebEngineView* FDevTools = nullptr;
  TDevToolsHost FDevToolsHost;
};

}  // namespace vexor
