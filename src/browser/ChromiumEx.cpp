#include "browser/ChromiumEx.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <cmath>

#include "browser/core/CefRuntimeStartup.h"
#include "browser/core/ExCefClientHandler.h"
#include "browser/PageBridge.h"
#include "browser/QtCefRuntime.h"
#include "browser/QtResourceSchemeHandler.h"

namespace vexor {

namespace {

// The page script: Qt's WebChannel client and the bridge, in one function scope so that the
// channel's class does not show among the page's globals.
const QString& BridgeScriptSource() {
  static const QString kSource = [] {
    auto read = [](const char* APath) {
      QFile f(QString::fromLatin1(APath));
      f.open(QIODevice::ReadOnly);
      return QString::fromUtf8(f.readAll());
    };
    return QStringLiteral("(function () {\n") + read(":/qtwebchannel/qwebchannel.js") + QStringLiteral("\n") +
           read(":/tarnwick/bridge.js") + QStringLiteral("\n})();\n");
  }();
  return kSource;
}

// The control's page: the DevTools page script's requests arrive as console lines.
class TChromiumPage : public QWebEnginePage {
 public:
  TChromiumPage(QWebEngineProfile* AProfile, QObject* AParent, TDevToolsHost& AHost)
      : QWebEnginePage(AProfile, AParent), FHost(AHost) {}

 protected:
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel ALevel, const QString& AMessage, int ALine,
                                const QString& ASource) override {
    if (!FHost.HandleConsoleMessage(this, AMessage))
      QWebEnginePage::javaScriptConsoleMessage(ALevel, AMessage, ALine, ASource);
  }

 private:
  TDevToolsHost& FHost;  // the control's, which outlives its page
};

class TChromiumView : public QWebEngineView {
 public:
  TChromiumView(QWidget* AParent, std::function<void(const QPoint&)> AOnMenu)
      : QWebEngineView(AParent), FOnMenu(std::move(AOnMenu)) {}

 protected:
  void contextMenuEvent(QContextMenuEvent* AEvent) override { FOnMenu(AEvent->pos()); }

 private:
  std::function<void(const QPoint&)> FOnMenu;
};

constexpr double kZoomBase = 1.2;

// A page call is queued (never run inside Qt WebEngine's delivery); rather than wait up to one
// pump period, the queue is drained by an event posted ahead of the ordinary ones. One drain
// serves all calls queued before it.
bool gDrainPosted = false;

class TQueueDrain : public QObject {
 public:
  static constexpr QEvent::Type kDrain = static_cast<QEvent::Type>(QEvent::User + 0x4C1);
  bool event(QEvent* AEvent) override {
    if (AEvent->type() != kDrain) return QObject::event(AEvent);
    gDrainPosted = false;
    TExCefClientHandler::PumpTick();
    return true;
  }
};

void PostQueueDrain() {
  if (gDrainPosted || !QCoreApplication::instance()) return;
  gDrainPosted = true;
  // Lives as long as the application object.
  static QPointer<TQueueDrain> drain;
  if (!drain) {
    drain = new TQueueDrain;
    drain->setParent(QCoreApplication::instance());
  }
  QCoreApplication::postEvent(drain, new QEvent(TQueueDrain::kDrain), Qt::HighEventPriority);
}

// The program's browser profile serves one control at a time (a profile has one handler per
// scheme); a second control at the same time gets a profile of its own that keeps nothing.
bool gRuntimeProfileInUse = false;

}  // namespace

TChromiumEx::TChromiumEx(QWidget* AOwner) : QWidget(AOwner) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  FHandler = MakeRef<TChromiumExHandler>([this]() { return Browser(); });
  TChromiumExHandler::RequestQueueDrain = &PostQueueDrain;
  SetApp(QStringLiteral("local"));
}

TChromiumEx::~TChromiumEx() {
  // Queued work for the handler finds it invalid from here on and does nothing.
  FHandler->SetOnGetBrowser(nullptr);
  FHTMLDoc.clear();
  // Pages go before their profile.
  delete FDevTools;
  delete FView;
  FView = nullptr;
  if (FSharedProfile) {
    FProfile->removeAllUrlSchemeHandlers();
    FProfile->setUrlRequestInterceptor(nullptr);
    gRuntimeProfileInUse = false;
  } else {
    delete FProfile;
  }
  FClient.reset();
}

QString TChromiumEx::MapDevToolsUrl(const QString& AUrl) {
  static const QString kPrefix = QStringLiteral("devtools://devtools/");
  if (!AUrl.startsWith(kPrefix) || AUrl.mid(kPrefix.size()).startsWith(QLatin1String("bundled/"))) return AUrl;
  return kPrefix + QStringLiteral("bundled/") + AUrl.mid(kPrefix.size());
}

QWebEnginePage* TChromiumEx::Page() const { return FView ? FView->page() : nullptr; }

ICefBrowserPtr TChromiumEx::Browser() { return FBridge ? FBridge->CurrentBrowser() : nullptr; }

void TChromiumEx::CreateBrowser() {
  if (FView) return;
  FClient = std::make_unique<TExCefClientHandler>(false);
  TQtCefRuntime* runtime = BrowserRuntime();
  FSharedProfile = runtime && !gRuntimeProfileInUse;
  if (FSharedProfile) {
    FProfile = runtime->Profile();
    gRuntimeProfileInUse = true;
  } else {
    FProfile = new QWebEngineProfile(this);
  }
  InstallResourceHandlers(*FProfile, FHandler->Router());
  FView = new TChromiumView(this, [this](const QPoint& APos) { ShowContextMenu(APos); });
  auto* page = new TChromiumPage(FProfile, FView, FDevToolsHost);
  FView->setPage(page);
  layout()->addWidget(FView);
  ApplyOptions();

  FBridge = new TPageBridge(
      page,
      [this](const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage) {
        MessageReceived(ABrowser, AMessage);
      },
      page);
  FBridge->SetAppUrl(AppUrl());
  FChannel = new QWebChannel(page);
  FChannel->registerObject(QStringLiteral("tarnwickBridge"), FBridge);
  page->setWebChannel(FChannel);
  QWebEngineScript script;
  script.setName(QStringLiteral("tarnwick-bridge"));
  script.setInjectionPoint(QWebEngineScript::DocumentCreation);
  script.setWorldId(QWebEngineScript::MainWorld);
  script.setRunsOnSubFrames(false);
  script.setSourceCode(BridgeScriptSource());
  page->scripts().insert(script);
  // Its header limits it to devtools:// documents.
  QWebEngineScript devtools;
  devtools.setSourceCode(TDevToolsHost::ScriptSource());
  devtools.setName(QStringLiteral("tarnwick-devtools"));
  devtools.setInjectionPoint(QWebEngineScript::DocumentCreation);
  devtools.setWorldId(QWebEngineScript::MainWorld);
  devtools.setRunsOnSubFrames(false);
  page->scripts().insert(devtools);

  // The render process's id, as its "pid" message: Qt tells when it changes, but not for a page
  // that starts in a render process that was running already, so loads look too.
  const auto announcePid = [this](qint64 APid) {
    if (FBridge && APid > 0 && static_cast<uint32_t>(APid) != FHandler->RendererPid())
      FBridge->RenderProcessStarted(APid);
  };
  connect(page, &QWebEnginePage::renderProcessPidChanged, this, announcePid);
  connect(page, &QWebEnginePage::loadStarted, this, [page, announcePid] { announcePid(page->renderProcessPid()); });
  connect(page, &QWebEnginePage::loadFinished, this, [page, announcePid] { announcePid(page->renderProcessPid()); });
  connect(page, &QWebEnginePage::renderProcessTerminated, this,
          [this](QWebEnginePage::RenderProcessTerminationStatus AStatus, int AExitCode) {
            RenderProcessTerminated(static_cast<int>(AStatus), AExitCode);
          });
}

void TChromiumEx::ApplyOptions() {
  QWebEnginePage* page = Page();
  QWebEngineSettings* s = page->settings();
  s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, Options.JavascriptOpenWindows);
  s->setAttribute(QWebEngineSettings::PluginsEnabled, Options.Plugins);
  s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, Options.UniversalAccessFromFileUrls);
  s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, Options.FileAccessFromFileUrls);
  s->setAttribute(QWebEngineSettings::AllowRunningInsecureContent, !Options.WebSecurity);
  const uint32_t c = Options.BackgroundColor;
  page->setBackgroundColor(QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
  QString serif, sansSerif;
  if (LocaleFontDefaults(TCefRuntimeStartup::RuntimeLocale(), TCefRuntimeStartup::IsLegacyWindows(), serif,
                         sansSerif)) {
    s->setFontFamily(QWebEngineSettings::SerifFont, serif);
    s->setFontFamily(QWebEngineSettings::SansSerifFont, sansSerif);
    s->setFontFamily(QWebEngineSettings::CursiveFont, serif);
  }
}

bool TChromiumEx::LocaleFontDefaults(const std::string& ALocale, bool ALegacy, QString& ASerif, QString& ASansSerif) {
  const QString locale = QString::fromStdString(ALocale);
  if (locale.compare(QLatin1String("JA"), Qt::CaseInsensitive) != 0 &&
      locale.compare(QLatin1String("JPN"), Qt::CaseInsensitive) != 0)
    return false;
  ASerif = ALegacy ? QStringLiteral("MS Mincho") : QStringLiteral("MS PMincho");
  ASansSerif = ALegacy ? QStringLiteral("MS Gothic") : QStringLiteral("Meiryo UI");
  return true;
}

void TChromiumEx::SetHTML(const QStringList& ALines) {
  FHTMLDoc = ALines;
  CreateBrowser();
  QString text;
  for (const QString& line : FHTMLDoc) text += line + QStringLiteral("\r\n");
  FHandler->SetHTML(text.toStdString());
}

void TChromiumEx::Load(const QString& AUrl) {
  CreateBrowser();
  Page()->load(QUrl(MapDevToolsUrl(AUrl)));
}

QString TChromiumEx::PageUrl() const { return QString::fromStdString(FHandler->PageURL()); }

void TChromiumEx::SetPageUrl(const QString& AValue) {
  FHandler->SetPageURL(AValue.toStdString());
  const std::string& page = FHandler->PageURL();
  Load(AppUrl() + QString::fromStdString(page.substr(page.rfind('/') + 1)));
}

QString TChromiumEx::App() const { return QString::fromStdString(FHandler->App()); }
void TChromiumEx::SetApp(const QString& AValue) {
  FHandler->SetApp(AValue.toStdString());
  if (FBridge) FBridge->SetAppUrl(AppUrl());
}
QString TChromiumEx::AppUrl() const { return QString::fromStdString(FHandler->AppUrl()); }

void TChromiumEx::NotifyMoveOrResizeStarted() {
  if (FView) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

double TChromiumEx::ZoomLevel() const {
  return FView ? std::log(FView->page()->zoomFactor()) / std::log(kZoomBase) : 0.0;
}

void TChromiumEx::SetZoomLevel(double AScale) {
  const double level = std::log(AScale) / std::log(kZoomBase);
  if (!FView || std::fabs(ZoomLevel() - level) < 1e-9) return;
  FView->page()->setZoomFactor(std::pow(kZoomBase, level));
}

void TChromiumEx::CallJSMethod(std::string_view AMethod, std::initializer_list<Variant> AParams) {
  CallJSMethod(AMethod, std::span<const Variant>(AParams.begin(), AParams.size()));
}
void TChromiumEx::CallJSMethod(std::string_view AMethod, std::span<const Variant> AParams) {
  TChromiumExHandler::CallJSMethod(Browser(), AMethod, AParams);
}
void TChromiumEx::CallJSMethod(std::string_view AMethod, const IFormattedPacketPtr& AParams) {
  TChromiumExHandler::CallJSMethod(Browser(), AMethod, AParams);
}
void TChromiumEx::CallJSMethod(std::string_view AMethod, const IPacketPtr& AParams) {
  TChromiumExHandler::CallJSMethod(Browser(), AMethod, AParams);
}

void TChromiumEx::MessageReceived(const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage) {
  if (OnPageMessage) OnPageMessage(ABrowser, AMessage);
  if (!FHandler->HandleProcessMessage(ABrowser, AMessage) && OnProcessMessageReceived)
    OnProcessMessageReceived(ABrowser, AMessage);
}

void TChromiumEx::RenderProcessTerminated(int AStatus, int AExitCode) {
  if (OnRenderProcessTerminated) OnRenderProcessTerminated(AStatus, AExitCode);
  FHandler->RendererTerminated();
  if (!AutoRestartRenderer || !FView) return;
  // Reloaded on the next turn of the event loop, outside Qt WebEngine's notification.
  QTimer::singleShot(0, this, [this] {
    if (!FView) return;
    FView->page()->triggerAction(QWebEnginePage::Reload);
    if (AfterReload) AfterReload();
  });
}

bool TChromiumEx::ContextMenuCommand(int ACommandId, const QPoint& APos) {
  switch (ACommandId) {
    case kCmdReloadIgnoreCache:
      if (!FView) return true;
      FView->page()->triggerAction(QWebEnginePage::ReloadAndBypassCache);
      if (AfterReload) AfterReload();
      return true;
    case kCmdShowDevTools: ShowDevTools(); return true;
    case kCmdInspectElement: ShowDevTools(APos); return true;
    default: return false;
  }
}

void TChromiumEx::ShowDevTools(const QPoint& AInspectAt) {
  if (!FView) return;
  if (!FDevTools) {
    FDevTools = new QWebEngineView;
    FDevTools->setAttribute(Qt::WA_DeleteOnClose, false);
    FDevTools->setWindowTitle(QStringLiteral("DevTools"));
    FDevTools->setPage(new QWebEnginePage(FProfile, FDevTools));
    FView->page()->setDevToolsPage(FDevTools->page());
    FDevTools->resize(1000, 700);
  }
  FDevTools->show();
  FDevTools->raise();
  // Qt inspects the element under the last context-menu request.
  if (AInspectAt.x() >= 0) FView->page()->triggerAction(QWebEnginePage::InspectElement);
}

void TChromiumEx::ShowContextMenu(const QPoint& APos) {
  if (!OnBeforeContextMenu) return;  // no host menu: the page shows none
  QMenu* menu = FView->createStandardContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  connect(menu, &QMenu::triggered, this, [this, APos](QAction* AAction) {
    bool ok = false;
    const int id = AAction->data().toInt(&ok);
    if (ok) ContextMenuCommand(id, APos);
  });
  OnBeforeContextMenu(menu, APos);
  menu->popup(FView->mapToGlobal(APos));
}

}  // namespace vexor
