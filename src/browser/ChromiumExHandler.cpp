#include "browser/ChromiumExHandler.h"

#include "platform/ProcFiles.h"

#include <unistd.h>

#include <QCoreApplication>
#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/Exceptions.h"
#include "browser/core/GlobalMainThreadSynchronizer.h"
#include "platform/MainThread.h"
#include "packets/json/PacketConversions.h"
#include "platform/Ticks.h"

namespace vexor {

namespace {

constexpr const char* kStartPageUrl = "ctrl-data://";
constexpr uint32_t kRestartWaitMs = 1200;

std::string ParamText(const TVariantArray& AParams, size_t AIndex) {
  if (AIndex >= AParams.size() || AParams[AIndex].IsEmptyOrNull()) return {};
  return AParams[AIndex].AsString();
}

}  // namespace

// ---- TClientRequestCallBack ----

TChromiumExHandler::TClientRequestCallBack::TClientRequestCallBack(ICefBrowserPtr ABrowser, int32_t ACallbackId)
    : FBrowser(std::move(ABrowser)), FCallBack(ACallbackId) {}

TChromiumExHandler::TClientRequestCallBack::~TClientRequestCallBack() {
  if (FUsed) return;
  // Unanswered: the page's callback still runs once, without arguments.
  try {
    TProcessMessages::SendBrowserRequest(FBrowser.get(), PID_RENDERER, FCallBack, kMsgCncl, {});
  } catch (...) {
  }
}

void TChromiumExHandler::TClientRequestCallBack::Result(bool IsOk, const IPacketPtr& Data) {
  if (FUsed) throw Exception("Assertion failure: ICefAsyncResponse.Result called twice");
  TVariantArray params{Variant(IsOk)};
  if (Data) params.emplace_back(Data);
  FUsed = true;
  TProcessMessages::SendBrowserRequest(FBrowser.get(), PID_RENDERER, FCallBack, kMsgRply, params);
}

// ---- settings ----

TChromiumExHandler::TChromiumExHandler(TOnGetBrowser AOnGetBrowser) {
  SetApiUrl("api");
  SetApp("local");
  SetOnGetBrowser(std::move(AOnGetBrowser));
}

void TChromiumExHandler::SetOnGetBrowser(TOnGetBrowser A) {
  FOnGetBrowser = std::move(A);
  FValid = static_cast<bool>(FOnGetBrowser);
}

void TChromiumExHandler::SetApiUrl(std::string A) {
  FApiUrl = std::move(A);
  FFullApiUrl = "ctrl-data:////" + FApiUrl;
  FRouter->SetApiUrl(FApiUrl);
}

void TChromiumExHandler::SetApp(std::string A) {
  FApp = std::move(A);
  FAppUrl = "https://" + FApp + "/";
  FRouter->SetApp(FApp);
}

void TChromiumExHandler::SetBaseDir(std::string A) {
  FBaseDir = std::move(A);
  FRouter->SetBaseDir(FBaseDir);
}

ICefBrowserPtr TChromiumExHandler::Browser() { return FOnGetBrowser ? FOnGetBrowser() : nullptr; }

void TChromiumExHandler::SetHTML(std::string AHTML) {
  FHTML = std::move(AHTML);
  FRouter->SetHTML(FHTML);
  ICefBrowserPtr b = Browser();
  if (!b) return;
  if (b->MainFrameUrl() == kStartPageUrl)
    b->Reload();
  else
    b->LoadURL(kStartPageUrl);
}

void TChromiumExHandler::SetPageURL(const std::string& AValue) {
  const size_t hash = AValue.find('#');
  std::filesystem::path file(AValue.substr(0, hash));
  std::string path = std::filesystem::absolute(file).lexically_normal().string();
  FPageUrl = path + (hash == std::string::npos ? std::string() : AValue.substr(hash));
  SetBaseDir(path.substr(0, path.rfind('/') + 1));
}

// ---- messages ----

bool TChromiumExHandler::HandleProcessMessage(const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage) {
  try {
    const TProcessMessageKind kind = ProcessMessageKind(AMessage.Name);
    if (kind == TProcessMessageKind::pmkDcall || kind == TProcessMessageKind::pmkReqst) {
      int32_t id = 0;
      TVariantArray params = TProcessMessages::GetMessageParams(AMessage, id);
      SyncProcessMessage(ABrowser, AMessage.Name, std::move(params), id);
      return true;
    }
    if (kind == TProcessMessageKind::pmkPid) {
      int32_t id = 0;
      TVariantArray params = TProcessMessages::GetMessageParams(AMessage, id);
      FRendererPid = params.empty() ? 0 : static_cast<uint32_t>(params[0].AsInt32());
      TProcessMessages::SendBrowserRequest(ABrowser.get(), PID_RENDERER, static_cast<int32_t>(::getpid()), kMsgPid, {});
      return true;
    }
  } catch (const Exception&) {
  }
  return false;
}

void TChromiumExHandler::SyncProcessMessage(const ICefBrowserPtr& ABrowser, const std::string& AName,
                                            TVariantArray AParams, int32_t AId) {
  // The task's keep-alive reference holds the handler until the task has run or is freed unrun.
  TGlobalMainThreadSynchronizer::Synchronize(
      [this, ABrowser, AName, params = std::move(AParams), AId] {
        if (FValid) Dispatch(ABrowser, AName, params, AId);
      },
      TRef<IInterface>(static_cast<ICefHandler*>(this)), true);
  if (RequestQueueDrain) RequestQueueDrain();
}

void TChromiumExHandler::Dispatch(const ICefBrowserPtr& ABrowser, const std::string& AName,
                                  const TVariantArray& AParams, int32_t AId) {
  try {
    if (AName == kMsgDcall) {
      TVariantArray results = OnJSCall ? OnJSCall(this, AParams) : TVariantArray();
      if (AId == 0) return;
      // A message carries no list: several results travel as one text, their JSON array.
      if (results.size() > 1)
        results = TVariantArray{Variant(TCefConversion::VarArrayToJSON(Variant::Array(varVariant, results)))};
      TProcessMessages::SendBrowserRequest(ABrowser.get(), PID_RENDERER, AId, kMsgRply, results);
    } else if (AName == kMsgReqst) {
      if (!OnClientRequest) return;
      IPacketPtr args;
      if (AParams.size() > 3 && AParams[3].IsString()) args = TPacketConversions::PacketFromJSON(AParams[3].StrRef());
      if (!args) args = NewPacket();
      ICefAsyncResponsePtr callback = MakeRef<TClientRequestCallBack>(ABrowser, AId);
      OnClientRequest(this, ParamText(AParams, 0), ParamText(AParams, 1), ParamText(AParams, 2), args->ValuesArray(),
                      callback);
    }
  } catch (...) {
    // Contained: no answer for this call (a dropped request callback still sends "cncl").
  }
}

void TChromiumExHandler::CallJSMethod(const ICefBrowserPtr& ABrowser, std::string_view AMethod,
                                      std::span<const Variant> AParams) {
  if (ABrowser)
    ABrowser->ExecuteJavaScript(TCefConversion::GuardedCallScript(AMethod, TCefConversion::AsJSON(AParams)));
}

void TChromiumExHandler::CallJSMethod(const ICefBrowserPtr& ABrowser, std::string_view AMethod,
                                      const IFormattedPacketPtr& AParams) {
  if (!ABrowser) return;
  ABrowser->ExecuteJavaScript(TCefConversion::GuardedCallScript(AMethod, AParams ? TCefConversion::AsJSON(AParams)
                                                                                 : std::string()));
}

void TChromiumExHandler::CallJSMethod(const ICefBrowserPtr& ABrowser, std::string_view AMethod,
                                      const IPacketPtr& AParams) {
  if (!ABrowser) return;
  ABrowser->ExecuteJavaScript(TCefConversion::GuardedCallScript(AMethod,
                                                                AParams ? AParams->AsString() : std::string()));
}

// ---- the render process ----

void TChromiumExHandler::RestartRenderer() {
  ICefBrowserPtr b = Browser();
  if (!b) return;
  TProcessMessages::SendBrowserRequest(b.get(), PID_RENDERER, -1, kMsgKill, {});
  const uint32_t start = GetTickCount32();
  while (!TickElapsed(start, kRestartWaitMs)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    CheckSynchronize(5);
  }
  TGlobalMainThreadSynchronizer::Synchronize(
      [this] {
        if (!FValid) return;
        if (ICefBrowserPtr now = Browser()) now->ReloadIgnoreCache();
      },
      TRef<IInterface>(static_cast<ICefHandler*>(this)), false);
}

bool TChromiumExHandler::GetRendererProcessInfo(TRendererInfo& AInfo) {
  AInfo = TRendererInfo{FRendererPid, 0, 0};
  if (FRendererPid == 0) return false;
  std::ifstream in("/proc/" + std::to_string(FRendererPid) + "/status");
  if (!in) return false;
  std::string status((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const int64_t peak = ProcStatusBytes(status, "VmHWM"), now = ProcStatusBytes(status, "VmRSS");
  if (peak < 0 || now < 0) return false;
  AInfo.PeeWorksetSize = static_cast<uint32_t>(peak);
  AInfo.WorkSetSize = static_cast<uint32_t>(now);
  return true;
}

}  // namespace vexor
