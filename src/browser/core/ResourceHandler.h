#pragma once
// Resource handlers: one answer of the browser's own URL spaces as the browser reads it
// (status, content type, headers, length, then the body in pieces).
// GetResourceHandler chooses, for one request:
//   - "img:" and "ctrl-data:////<api>" requests: a main-thread handler that is filled later, on
//     the main thread, so the image and API callbacks run there;
//   - everything else: routed at once on the asking thread; a handler only when that produced a
//     body and no failure.
// Main-thread filling: ProcessRequest queues the fill to the main thread (the main thread's
// cross-thread call queue) and returns at once. The fill runs only while somebody besides the
// queued closure still holds the handler (the browser has not dropped the request); then it
// continues the request, otherwise it cancels it. A fill that raises, or that routed nothing
// (no status), cancels too.
// Threads: GetResourceHandler, GetResponseHeaders and ReadResponse on the thread that serves
// requests; ICefCallback may be called on the main thread. The stream and response are written
// before Continue and read only after it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "containers/RefCounted.h"
#include "browser/core/ResourceRouter.h"

namespace vexor {

// The browser's side of a pending request.
class ICefCallback {
 public:
  virtual ~ICefCallback() = default;
  virtual void Continue() = 0;
  virtual void Cancel() = 0;
};
using ICefCallbackPtr = std::shared_ptr<ICefCallback>;

using TResponseData = TResourceRouter::TResponseData;
using TSyncResourceHandler =
    std::function<void(const TResourceRequest& ARequest, TDataStreamPtr& ADataStream, TResponseData& AResponse)>;

using THeaderList = std::vector<std::pair<std::string, std::string>>;

class TCefBaseResourceHandler : public TRefCntObject {
 public:
  // Starts the answer; true when it will follow (the callback is told when).
  virtual bool ProcessRequest(const TResourceRequest& ARequest, ICefCallbackPtr ACallback) = 0;
  // Status, content type, header list (in the header packet's order) and body length (0
  // without a body); the stream is left at its first byte.
  void GetResponseHeaders(int32_t& AStatus, std::string& AMimeType, THeaderList& AHeaders, int64_t& ALength);
  // Up to ABytesToRead bytes of the body; false without a body. ABytesRead 0 means the end.
  bool ReadResponse(void* ADataOut, size_t ABytesToRead, size_t& ABytesRead);

  bool HasBody() const { return FDataStream != nullptr; }
  const TResponseData& Response() const { return FResponse; }

 protected:
  TDataStreamPtr FDataStream;
  TResponseData FResponse;
};

// An answer computed already.
class TCefResourceHandler : public TCefBaseResourceHandler {
 public:
  TCefResourceHandler(TDataStreamPtr ADataStream, TResponseData AResponse);
  bool ProcessRequest(const TResourceRequest& ARequest, ICefCallbackPtr ACallback) override;
};

// An answer filled on the main thread.
class TCefMainThreadResourceHandler : public TCefBaseResourceHandler {
 public:
  explicit TCefMainThreadResourceHandler(TSyncResourceHandler AHandler) : FHandler(std::move(AHandler)) {}
  bool ProcessRequest(const TResourceRequest& ARequest, ICefCallbackPtr ACallback) override;

 private:
  // Constant after construction.
  const TSyncResourceHandler FHandler;
};

// The handler for one request of ARouter (null: the router does not answer it).
TRef<TCefBaseResourceHandler> GetResourceHandler(const std::shared_ptr<TResourceRouter>& ARouter,
                                                 const TResourceRequest& ARequest);

}  // namespace vexor
