#include "browser/QtResourceSchemeHandler.h"

#include <QBuffer>
#include <QIODevice>
#include <QPointer>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestJob>

#include "browser/core/ResourceHandler.h"

namespace vexor {
namespace {

// A resource handler's body as Qt reads it (on its IO thread, after the reply).
class TResourceDevice : public QIODevice {
 public:
  TResourceDevice(TRef<TCefBaseResourceHandler> AHandler, qint64 ALength, QObject* AParent)
      : QIODevice(AParent), FHandler(std::move(AHandler)), FLength(ALength) {
    open(QIODevice::ReadOnly);
  }
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override { return FLength - FRead + QIODevice::bytesAvailable(); }
  bool atEnd() const override { return FRead >= FLength && QIODevice::bytesAvailable() == 0; }

 protected:
  qint64 readData(char* AData, qint64 AMaxSize) override {
    size_t got = 0;
    if (AMaxSize <= 0 || !FHandler->ReadResponse(AData, static_cast<size_t>(AMaxSize), got) || got == 0)
      return FRead >= FLength ? -1 : 0;
    FRead += static_cast<qint64>(got);
    return static_cast<qint64>(got);
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  const TRef<TCefBaseResourceHandler> FHandler;
  const qint64 FLength;
  qint64 FRead = 0;  // the reading thread's
};

// Holds the handler while Qt holds the job: when the browser drops the request, the job and with
// it this object go, and a main-thread fill still queued sees that nobody wants the answer.
class THandlerHold : public QObject {
 public:
  THandlerHold(TRef<TCefBaseResourceHandler> AHandler, QObject* AParent)
      : QObject(AParent), FHandler(std::move(AHandler)) {}

 private:
  const TRef<TCefBaseResourceHandler> FHandler;
};

void Reply(QWebEngineUrlRequestJob* AJob, const TRef<TCefBaseResourceHandler>& AHandler) {
  int32_t status = 0;
  int64_t length = 0;
  std::string mime;
  THeaderList headers;
  AHandler->GetResponseHeaders(status, mime, headers, length);
  if (!AHandler->HasBody()) {
    AJob->fail(QWebEngineUrlRequestJob::UrlNotFound);
    return;
  }
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
  QMultiMap<QByteArray, QByteArray> extra;
  for (const auto& [name, value] : headers)
    if (name != "Content-Type" && name != "Content-Length")
      extra.insert(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
  AJob->setAdditionalResponseHeaders(extra);
#endif
  if (mime.empty()) mime = "application/octet-stream";
  AJob->reply(QByteArray::fromStdString(mime), new TResourceDevice(AHandler, length, AJob));
}

class TJobCallback : public ICefCallback {
 public:
  TJobCallback(QWebEngineUrlRequestJob* AJob, TCefBaseResourceHandler* AHandler) : FJob(AJob), FHandler(AHandler) {}
  // Called while the handler is alive (by its own fill or its ProcessRequest); on the main
  // thread, where the job may be gone by then.
  void Continue() override {
    if (FJob) Reply(FJob, TRef<TCefBaseResourceHandler>(FHandler));
  }
  void Cancel() override {
    if (FJob) FJob->fail(QWebEngineUrlRequestJob::RequestAborted);
  }

 private:
  QPointer<QWebEngineUrlRequestJob> FJob;
  // No reference of its own: the handler's count must tell whether the job still holds it.
  TCefBaseResourceHandler* const FHandler;
};

std::string UrlText(const QUrl& AUrl) { return AUrl.toString(QUrl::FullyEncoded).toStdString(); }

}  // namespace

TQtResourceSchemeHandler::TQtResourceSchemeHandler(std::shared_ptr<TResourceRouter> ARouter, QObject* AParent)
    : QWebEngineUrlSchemeHandler(AParent), FRouter(std::move(ARouter)) {}

void TQtResourceSchemeHandler::requestStarted(QWebEngineUrlRequestJob* AJob) {
  TResourceRequest request(UrlText(AJob->requestUrl()), AJob->requestMethod().toStdString());
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
  if (QIODevice* body = AJob->requestBody()) request.PostData = body->readAll().toStdString();
#endif
  TRef<TCefBaseResourceHandler> handler = GetResourceHandler(FRouter, request);
  if (!handler) {
    AJob->fail(QWebEngineUrlRequestJob::UrlNotFound);
    return;
  }
  new THandlerHold(handler, AJob);
  handler->ProcessRequest(request, std::make_shared<TJobCallback>(AJob, handler.get()));
}

TQtAppUrlInterceptor::TQtAppUrlInterceptor(std::shared_ptr<TResourceRouter> ARouter, QObject* AParent)
    : QWebEngineUrlRequestInterceptor(AParent), FRouter(std::move(ARouter)) {}

void TQtAppUrlInterceptor::interceptRequest(QWebEngineUrlRequestInfo& AInfo) {
  if (std::optional<std::string> mapped = FRouter->MapAppUrl(UrlText(AInfo.requestUrl())))
    AInfo.redirect(QUrl(QString::fromStdString(*mapped), QUrl::StrictMode));
}

void InstallResourceHandlers(QWebEngineProfile& AProfile, const std::shared_ptr<TResourceRouter>& ARouter) {
  auto* handler = new TQtResourceSchemeHandler(ARouter, &AProfile);
  AProfile.installUrlSchemeHandler("ctrl-data", handler);
  AProfile.installUrlSchemeHandler("img", handler);
  AProfile.setUrlRequestInterceptor(new TQtAppUrlInterceptor(ARouter, &AProfile));
}

namespace {

bool EncodePng(const QImage& AImage, std::string& AOut) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (AImage.isNull() || !AImage.save(&buffer, "PNG")) return false;
  AOut.append(bytes.constData(), static_cast<size_t>(bytes.size()));
  return true;
}

}  // namespace

bool TQtImageList::SaveToPng(int32_t AIndex, std::string& AOut) const {
  return AIndex >= 0 && AIndex < FImages.size() && EncodePng(FImages[AIndex], AOut);
}

bool TQtBitmapImage::SaveToPng(std::string& AOut) const { return EncodePng(FImage, AOut); }

}  // namespace vexor
