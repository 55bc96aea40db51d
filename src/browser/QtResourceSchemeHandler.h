#pragma once
// The Qt WebEngine side of the browser's own URL spaces: a scheme handler for "ctrl-data" and
// "img" that hands each request to the routing core (ResourceRouter.h) and replies with what the
// core computed, and a request interceptor that sends the application origin
// ("https://<App>/…") to the same handler under "ctrl-data".
// Qt before 6.6/6.7 can reply only with a content type and a body, or fail: an answer with a body
// is replied (a 400 answer's JSON included, which the page then sees as a success), one without
// is failed as not found; extra headers and request bodies are used where the Qt version has them.
// Threads: Qt calls both on the main thread; main-thread answers (images, the API) are filled
// from the main thread's call queue and the reply's body is read by Qt on its IO thread.
#include <QImage>
#include <QList>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineUrlSchemeHandler>
#include <memory>

#include "browser/core/ResourceRouter.h"

class QWebEngineProfile;

namespace vexor {

class TQtResourceSchemeHandler : public QWebEngineUrlSchemeHandler {
  Q_OBJECT
 public:
  explicit TQtResourceSchemeHandler(std::shared_ptr<TResourceRouter> ARouter, QObject* AParent = nullptr);
  void requestStarted(QWebEngineUrlRequestJob* AJob) override;

 private:
  const std::shared_ptr<TResourceRouter> FRouter;
};

class TQtAppUrlInterceptor : public QWebEngineUrlRequestInterceptor {
  Q_OBJECT
 public:
  explicit TQtAppUrlInterceptor(std::shared_ptr<TResourceRouter> ARouter, QObject* AParent = nullptr);
  void interceptRequest(QWebEngineUrlRequestInfo& AInfo) override;

 private:
  const std::shared_ptr<TResourceRouter> FRouter;
};

// Installs the handler for "ctrl-data" and "img" and the interceptor on AProfile (both owned by
// the profile).
void InstallResourceHandlers(QWebEngineProfile& AProfile, const std::shared_ptr<TResourceRouter>& ARouter);

// Images as the router's image sources, encoded to PNG on request.
class TQtImageList : public IImageList {
 public:
  explicit TQtImageList(QList<QImage> AImages) : FImages(std::move(AImages)) {}
  int32_t Count() const override { return static_cast<int32_t>(FImages.size()); }
  bool SaveToPng(int32_t AIndex, std::string& AOut) const override;

 private:
  const QList<QImage> FImages;
};

class TQtBitmapImage : public IBitmapImage {
 public:
  explicit TQtBitmapImage(QImage AImage) : FImage(std::move(AImage)) {}
  bool SaveToPng(std::string& AOut) const override;

 private:
  const QImage FImage;
};

}  // namespace vexor
