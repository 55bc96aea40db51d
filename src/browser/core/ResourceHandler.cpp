#include "browser/core/ResourceHandler.h"

#include "platform/MainThread.h"

namespace vexor {

void TCefBaseResourceHandler::GetResponseHeaders(int32_t& AStatus, std::string& AMimeType, THeaderList& AHeaders,
                                                 int64_t& ALength) {
  ALength = 0;
  if (FDataStream) {
    ALength = static_cast<int64_t>(FDataStream->Size());
    FDataStream->Rewind();
  }
  AStatus = FResponse.Status;
  AMimeType = FResponse.MimeType;
  AHeaders.clear();
  if (FResponse.HeaderMap)
    FResponse.HeaderMap->ForEachProperty([&](const std::string& AName, const Variant& AValue) {
      AHeaders.emplace_back(AName, AValue.AsString());
    });
}

bool TCefBaseResourceHandler::ReadResponse(void* ADataOut, size_t ABytesToRead, size_t& ABytesRead) {
  ABytesRead = 0;
  if (!FDataStream) return false;
  ABytesRead = FDataStream->Read(ADataOut, ABytesToRead);
  return true;
}

TCefResourceHandler::TCefResourceHandler(TDataStreamPtr ADataStream, TResponseData AResponse) {
  FDataStream = std::move(ADataStream);
  FResponse = std::move(AResponse);
}

bool TCefResourceHandler::ProcessRequest(const TResourceRequest&, ICefCallbackPtr ACallback) {
  ACallback->Continue();
  return true;
}

bool TCefMainThreadResourceHandler::ProcessRequest(const TResourceRequest& ARequest, ICefCallbackPtr ACallback) {
  // The closure's own reference keeps the handler alive until it has run; whether anyone else
  // still holds it tells whether the browser still wants the answer.
  TRef<TCefMainThreadResourceHandler> self(this);
  QueueMain([self = std::move(self), request = ARequest, callback = std::move(ACallback)]() mutable {
    bool filled = false;
    if (self->FHandler && self->RefCount() > 1) {
      try {
        self->FHandler(request, self->FDataStream, self->FResponse);
        filled = self->FResponse.Status != 0;
      } catch (const std::exception&) {
        filled = false;
      }
    }
    if (filled)
      callback->Continue();
    else
      callback->Cancel();
    self = nullptr;  // released last
  });
  return true;
}

TRef<TCefBaseResourceHandler> GetResourceHandler(const std::shared_ptr<TResourceRouter>& ARouter,
                                                 const TResourceRequest& ARequest) {
  if (ARouter->IsMainThreadRequest(ARequest)) {
    return TRef<TCefBaseResourceHandler>::Adopt(new TCefMainThreadResourceHandler(
        [ARouter](const TResourceRequest& AMainRequest, TDataStreamPtr& AStream, TResponseData& AResponse) {
          ARouter->ProcessResourceRequest(AMainRequest, AStream, AResponse);
        }));
  }
  TDataStreamPtr stream;
  TResponseData response;
  if (ARouter->ProcessResourceRequest(ARequest, stream, response) || !stream) return nullptr;
  return TRef<TCefBaseResourceHandler>::Adopt(new TCefResourceHandler(std::move(stream), std::move(response)));
}

}  // namespace vexor
