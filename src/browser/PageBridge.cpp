#include "browser/PageBridge.h"

#include <signal.h>

#include <QUrl>
#include <QWebEnginePage>

#include "browser/bridge/BridgeWire.h"
#include "platform/DebugOutput.h"
#include "platform/Exceptions.h"

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

void TPageBridge::setInbox(const QString& AMessage) {
  // Three line breaks separate token, name and id from the arguments (which hold none: JSON).
  const qsizetype a = AMessage.indexOf(u'\n'), b = AMessage.indexOf(u'\n', a + 1), c = AMessage.indexOf(u'\n', b + 1);
  if (a < 0 || b < 0 || c < 0) {
    OutputDebugString(">> Exception >> Invalid page message");
    return;
  }
  FLastName = AMessage.mid(a + 1, b - a - 1);
  Post(AMessage.left(a), FLastName, AMessage.mid(b + 1, c - b - 1).toInt(), AMessage.mid(c + 1));
}

void TPageBridge::Post(const QString& AToken, const QString& AName, int AId, const QString& AArgs) {
  TCefProcessMessage message;
  try {
    TVariantArray params = TCefConversion::VarArrayFromCef(TBridgeWire::ParseArguments(AArgs.toStdString()));
    if (AName == QLatin1String("excpt") && !params.empty() && params[0].IsString())
      OutputDebugString(">> JS Exception >> " + params[0].AsString());
    // Built as the render side builds it, not sent anywhere yet.
    message = TProcessMessages::SendBrowserRequest(nullptr, PID_BROWSER, AId, AName.toStdString(), params);
  } catch (const Exception& e) {
    OutputDebugString(">> Exception >> " + e.Message());
    return;
  }
  if (FOnMessage) FOnMessage(BrowserFor(AToken), message);
}

void TPageBridge::log(const QString& text) { OutputDebugString(text.toStdString()); }

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
