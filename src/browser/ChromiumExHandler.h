#pragma once
// TChromiumExHandler: the browser control's companion. It holds the control's URL settings, its
// host callbacks and the start-page HTML, takes the page's messages ("dcall", "reqst", "pid") and
// answers them, and restarts the renderer. It reaches the browser only through OnGetBrowser.
//
// Threads: everything here on the main thread. HandleProcessMessage runs inside the platform's
// delivery of a page message; the host callbacks (OnJSCall, OnClientRequest) never run there:
// they run later from the main-thread task queue (GlobalMainThreadSynchronizer.h).
// Lifetime: reference-counted. Queued work holds the handler's ICefHandler reference, so the
// handler outlives the control while such work waits; that work finds FValid false once the
// control has dropped OnGetBrowser and then does nothing.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "browser/bridge/CefConversion.h"
#include "packets/Packets.h"
#include "browser/bridge/ProcessMessage.h"
#include "containers/RefCounted.h"
#include "browser/core/ResourceRouter.h"

namespace vexor {

inline constexpr const char* IID_ICefHandler = "{EEEC3E19-51BE-4B02-9942-B25EF86FD79B}";
inline constexpr const char* IID_ICefAsyncResponse = "{DEDC9A3C-1F30-4192-A094-09C880057D2E}";

// The browser as the handler sees it: one page in a view. Main thread only. Sending a message
// reaches the page's document that the browser object stands for; a browser object obtained
// from a page message stands for that message's document, so an answer to a document that has
// gone since is dropped.
class ICefBrowser : public virtual IInterface, public ICefMessageTransport {
 public:
  virtual std::string MainFrameUrl() = 0;
  virtual void LoadURL(const std::string& AUrl) = 0;
  virtual void Reload() = 0;
  virtual void ReloadIgnoreCache() = 0;
  virtual void ExecuteJavaScript(const std::string& ACode) = 0;
  // The render process's id (0 while none runs).
  virtual int64_t RenderProcessId() = 0;
};
using ICefBrowserPtr = TRef<ICefBrowser>;

// Marker: a counted reference that keeps the handler alive while work queued for it waits.
class ICefHandler : public virtual IInterface {};

// The one deferred answer to a __SendRequest call.
class ICefAsyncResponse : public virtual IInterface {
 public:
  virtual void Result(bool IsOk, const IPacketPtr& Data) = 0;
};
using ICefAsyncResponsePtr = TRef<ICefAsyncResponse>;

class TChromiumExHandler;

// (Sender, Parameters) -> results of a callDelphi call.
using TOnJSCallHandler = std::function<TVariantArray(TChromiumExHandler* Sender, const TVariantArray& Parameters)>;
// (Sender, Url, Intfc, Method, Params, CallBack): a __SendRequest call; answer through CallBack,
// now or later. Dropping the last reference unanswered answers the page with "cncl".
using TOnClientRequest =
    std::function<void(TChromiumExHandler* Sender, const std::string& Url, const std::string& Intfc,
                       const std::string& Method, const TVariantArray& Params, const ICefAsyncResponsePtr& CallBack)>;
using TOnGetBrowser = std::function<ICefBrowserPtr()>;

struct TRendererInfo {
  uint32_t pid = 0;
  uint32_t PeeWorksetSize = 0;  // bytes
  uint32_t WorkSetSize = 0;     // bytes
};

class TChromiumExHandler : public TRefCntObject, public ICefHandler {
 public:
  // Answers one __SendRequest call exactly once: one "rply" through Result, or one "cncl" when
  // the last reference goes unanswered. A second Result is a programming error (assertion).
  class TClientRequestCallBack : public TRefCntObject, public ICefAsyncResponse {
   public:
    TClientRequestCallBack(ICefBrowserPtr ABrowser, int32_t ACallbackId);
    ~TClientRequestCallBack() override;
    void Result(bool IsOk, const IPacketPtr& Data) override;

   private:
    ICefBrowserPtr FBrowser;
    int32_t FCallBack;
    bool FUsed = false;
  };

  explicit TChromiumExHandler(TOnGetBrowser AOnGetBrowser = nullptr);

  // Start-page HTML: stored, then shown: a reload when "ctrl-data://" is shown already, else a
  // navigation to it.
  const std::string& HTML() const { return FHTML; }
  void SetHTML(std::string AHTML);
  const std::string& PageURL() const { return FPageUrl; }
  // Made absolute against the current directory; a "#..." part is kept as it is. BaseDir follows.
  void SetPageURL(const std::string& AValue);
  const std::string& BaseDir() const { return FBaseDir; }
  void SetBaseDir(std::string A);
  const std::string& ApiUrl() const { return FApiUrl; }
  void SetApiUrl(std::string A);
  const std::string& FullApiUrl() const { return FFullApiUrl; }
  const std::string& App() const { return FApp; }
  void SetApp(std::string A);
  const std::string& AppUrl() const { return FAppUrl; }
  void SetOnGetBrowser(TOnGetBrowser A);
  bool Valid() const { return FValid; }
  uint32_t RendererPid() const { return FRendererPid; }

  TOnJSCallHandler OnJSCall;
  TOnClientRequest OnClientRequest;

  // A page message: "dcall"/"reqst" are queued for dispatch, "pid" is recorded and answered.
  // Returns whether the message was taken (false for any other name, and on a decoding error).
  bool HandleProcessMessage(const ICefBrowserPtr& ABrowser, const TCefProcessMessage& AMessage);
  // Queues the dispatch of one page call to the main-thread task queue (always queued).
  void SyncProcessMessage(const ICefBrowserPtr& ABrowser, const std::string& AName, TVariantArray AParams, int32_t AId);

  // Runs AMethod in the page's main frame through the guarded call script; no result.
  static void CallJSMethod(const ICefBrowserPtr& ABrowser, std::string_view AMethod, std::span<const Variant> AParams);
  static void CallJSMethod(const ICefBrowserPtr& ABrowser, std::string_view AMethod,
                           const IFormattedPacketPtr& AParams);
  static void CallJSMethod(const ICefBrowserPtr& ABrowser, std::string_view AMethod, const IPacketPtr& AParams);

  // Ends the render process, keeps both loops running for 1200 ms, then reloads ignoring the
  // cache. Without a browser: nothing, no wait.
  void RestartRenderer();
  // Peak and current resident set of the render process; false without figures.
  bool GetRendererProcessInfo(TRendererInfo& AInfo);
  // The render process ended (the browser control calls this; FRendererPid becomes 0).
  void RendererTerminated() { FRendererPid = 0; }

  // The control's URL spaces (start page, files, images, API); its settings follow the ones
  // above. Served on the threads the platform's scheme handler uses.
  const std::shared_ptr<TResourceRouter>& Router() const { return FRouter; }

  // Called each time a page call is queued, so the platform can drain the queue on its next
  // event-loop turn (empty: the pump's next tick drains it).
  static inline std::function<void()> RequestQueueDrain;

 private:
  ICefBrowserPtr Browser();
  void Dispatch(const ICefBrowserPtr& ABrowser, const std::string& AName, const TVariantArray& AParams, int32_t AId);

  // Main thread only.
  std::string FPageUrl;
  std::string FBaseDir;
  TOnGetBrowser FOnGetBrowser;
  std::string FHTML;
  std::string FApiUrl;
  std::string FFullApiUrl;
  std::string FApp;
  std::string FAppUrl;
  uint32_t FRendererPid = 0;
  bool FValid = false;
  // Thread-safe itself (settings are snapshots).
  const std::shared_ptr<TResourceRouter> FRouter = std::make_shared<TResourceRouter>();
};
using TChromiumExHandlerPtr = TRef<TChromiumExHandler>;

}  // namespace vexor
