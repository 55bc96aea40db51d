#include "browser/PageBridge.h"

#include <signal.h>

#include <QUrl>
#include <QWebEnginePage>

#include "browser/bridge/BridgeWire.h"
#include "platform/DebugOutput.h"
#include "platform/Exceptions.h"
#include "platform/TextUtf.h"

namespace vexor {

namespace {

class TQtBrowser : public TRefCntObject, public ICefBrowser {
 public:
  TQtBrowser(TPageBridge* ABridge, QString AToken) : FBridge(ABridge), FToken(std::move(AToken)) {}

  void SendProcessMessage(TCefProcessId ATarget, const TCefProcessMessage& AMessage) override {
    if (ATarget == PID_RENDERER && FBridge) FBridge->SendToPage(FToken, AMessage);
  }
  std::string MainFrameUrl() override { return Page() ? Page()->url().toString().toStdString() : std::string(); }
  void LoadURL(const std::string& AUrl) override {
    if (Page()) Page()->load(QUrl(QString::fromStdString(AUrl)));
  }
  void Reload() override {
    if (Page()) Page()->triggerAction(QWebEnginePage::Reload);
  }
  void ReloadIgnoreCache() override {
    if (Page()) Page()->triggerAction(QWebEnginePage::ReloadAndBypassCache);
  }
  void ExecuteJavaScript(const std::string& ACode) override {
    if (Page()) Page()->runJavaScript(QString::fromStdString(ACode));
  }
  int64_t RenderProcessId() override { return Page() ? Page()->renderProcessPid() : 0; }

 private:
  QWebEnginePage* Page() const { return FBridge ? FBridge->Page() : nullptr; }

  // Constant after construction (the bridge pointer clears itself when the bridge goes).
  QPointer<TPageBridge> FBridge;
  const QString FToken;
};

}  // namespace

TPageBridge::TPageBridge(QWebEnginePage* APage, TOnMessage AOnMessage, QObject* AParent)
    : QObject(AParent), FPage(APage), FOnMessage(std::move(AOnMessage)) {}

ICefBrowserPtr TPageBridge::BrowserFor(const QString& AToken) {
  return ICefBrowserPtr::Adopt(new TQtBrowser(this, AToken));
}

ICefBrowserPtr TPageBridge::CurrentBrowser() { return BrowserFor(QString()); }

bool TPageBridge::IsOwnPage(const QUrl& AUrl, const QString& AAppUrl) {
  if (AUrl.scheme() == QLatin1String("ctrl-data")) return true;
  if (AAppUrl.isEmpty()) return false;
  const QUrl app(AAppUrl);
  return AUrl.scheme() == app.scheme() && AUrl.host() == app.host() && AUrl.port() == app.port();
}

void TPageBridge::setInbox(const QString& AMessage) {
  if (!FPage || !IsOwnPage(FPage->url(), FAppUrl)) {
    OutputDebugString(">> Exception >> A page message from a page that is not ours was refused");
    return;
  }
  TInboxMessage message;
  if (!TBridgeWire::SplitInbox(AMessage.toStdString(), message)) {
    OutputDebugString(">> Exception >> Invalid page message");
    return;
  }
  FLastName = QString::fromStdString(message.Name);
  Post(QString::fromStdString(message.Token), FLastName, message.Id, QString::fromStdString(message.Args));
}

void TPageBridge::Post(const QString& AToken, const QString& AName, int AId, const QString& AArgs) {
  TCefProcessMessage message;
  try {
    TVariantArray params = TCefConversion::VarArrayFromCef(TBridgeWire::ParseArguments(AArgs.toStdString()));
    if (AName == QLatin1String("excpt") && !params.empty() && params[0].IsString())
      OutputDebugString(">> JS Exception >> " + Utf8StripControls(params[0].AsString()));
    // Built as the render side builds it, not sent anywhere yet.
    message = TProcessMessages::SendBrowserRequest(nullptr, PID_BROWSER, AId, AName.toStdString(), params);
  } catch (const Exception& e) {
    OutputDebugString(">> Exception >> " + e.Message());
    return;
  }
  if (FOnMessage) FOnMessage(BrowserFor(AToken), message);
}

void TPageBridge::log(const QString& text) {
  // Page text reaches our standard error: no line breaks or escape sequences of its own.
  if (FPage && IsOwnPage(FPage->url(), FAppUrl)) OutputDebugString(Utf8StripControls(text.toStdString()));
}

void TPageBridge::RenderProcessStarted(qint64 APid) {
  if (APid <= 0 || !FOnMessage) return;
  FOnMessage(CurrentBrowser(),
             TProcessMessages::SendBrowserRequest(nullptr, PID_BROWSER, -1, kMsgPid, {static_cast<int32_t>(APid)}));
}

void TPageBridge::SendToPage(const QString& AToken, const TCefProcessMessage& AMessage) {
  switch (ProcessMessageKind(AMessage.Name)) {
    case TProcessMessageKind::pmkRply:
    case TProcessMessageKind::pmkCncl: {
      int32_t id = 0;
      TVariantArray params = TProcessMessages::GetMessageParams(AMessage, id);
      emit deliver(AToken, QString::fromStdString(AMessage.Name), id,
                   QString::fromStdString(TBridgeWire::ParamsText(params)));
      break;
    }
    case TProcessMessageKind::pmkDptc:
      // The payload sits where other messages keep their id.
      if (FPage && !AMessage.Arguments.empty())
        FPage->runJavaScript(QString::fromStdString(TCefConversion::GuardedCallScript("__dispatchEvents",
                                                                                      AMessage.Arguments[0]
                                                                                          .GetString())));
      break;
    case TProcessMessageKind::pmkKill:
      // The render process cannot end itself on request here: the host ends it.
      if (FPage && FPage->renderProcessPid() > 0) ::kill(static_cast<pid_t>(FPage->renderProcessPid()), SIGKILL);
      break;
    default: break;  // "pid" answers and unknown names: the page side ignores them
  }
}

}  // namespace vexor
