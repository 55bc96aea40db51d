#include "browser/QtCefRuntime.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <QWebEngineProfile>
#include <QWebEngineUrlScheme>

#include "browser/bridge/CefConversion.h"
#include "browser/core/CefRuntimeStartup.h"
#include "browser/core/ExCefClientHandler.h"
#include "platform/Exceptions.h"
#include "browser/core/GlobalMainThreadSynchronizer.h"
#include "platform/MainThread.h"

namespace vexor {

class TQtCefRuntime::TPumpTimer : public IBrowserPumpTimer {
 public:
  void Start(uint32_t APeriodMs, std::function<void()> ATick) override {
    if (!FTimer) {
      FTimer = std::make_unique<QTimer>();
      FTimer->setTimerType(Qt::PreciseTimer);
    }
    FTimer->disconnect();
    QObject::connect(FTimer.get(), &QTimer::timeout, std::move(ATick));
    FTimer->start(static_cast<int>(APeriodMs));
  }
  void Stop() override {
    if (FTimer) FTimer->stop();
  }

 private:
  std::unique_ptr<QTimer> FTimer;  // made once the application object exists
};

namespace {

std::unique_ptr<TQtCefRuntime> gRuntime;  // main thread only

QString Utf8(const std::string& AText) { return QString::fromStdString(AText); }

}  // namespace

TQtCefRuntime::TQtCefRuntime() : FPumpTimer(std::make_unique<TPumpTimer>()) {}

TQtCefRuntime::~TQtCefRuntime() { Shutdown(); }

bool TQtCefRuntime::Initialize(const TCefSettings& ASettings, const TOnBeforeCommandLineProcessing& ASwitches) {
  if (QCoreApplication::instance())
    throw Exception("The browser runtime must start before the application object exists");
  FSettings = ASettings;
  TCefCommandLine line;
  ASwitches(line);
  QStringList flags;
  for (const std::string& flag :
       TCefRuntimeStartup::SafeEnvironmentFlags(qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").toStdString()))
    flags << Utf8(flag);
  for (const std::string& arg : line.AsArguments()) flags << Utf8(arg);
  if (ASettings.log_severity == LOGSEVERITY_DISABLE) flags << "--disable-logging";
  if (!ASettings.locale.empty()) flags << "--lang=" + Utf8(ASettings.locale);
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.join(' ').toUtf8());
  if (!ASettings.browser_subprocess_path.empty())
    qputenv("QTWEBENGINEPROCESS_PATH", QByteArray::fromStdString(ASettings.browser_subprocess_path));
  if (!ASettings.resources_dir_path.empty())
    qputenv("QTWEBENGINE_RESOURCES_PATH", QByteArray::fromStdString(ASettings.resources_dir_path));
  if (!ASettings.locales_dir_path.empty())
    qputenv("QTWEBENGINE_LOCALES_PATH", QByteArray::fromStdString(ASettings.locales_dir_path));
  // The embedded browser is never open to remote debugging.
  qunsetenv("QTWEBENGINE_REMOTE_DEBUGGING");
  // Chromium's sandbox cannot start for root; everywhere else it stays on.
  if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  TExCefClientHandler::SetPumpTimer(FPumpTimer.get());
  SetMainThreadWakeHook([] {
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          app, [] { CheckSynchronize(0); }, Qt::QueuedConnection);
  });
  return true;
}

void TQtCefRuntime::RegisterSchemeHandlerFactory(const std::string& AScheme, const std::string&) {
  QWebEngineUrlScheme scheme(QByteArray::fromStdString(AScheme));
  scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
  QWebEngineUrlScheme::Flags flags = QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::LocalAccessAllowed |
                                     QWebEngineUrlScheme::CorsEnabled;
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
  flags |= QWebEngineUrlScheme::FetchApiAllowed;
#endif
  scheme.setFlags(flags);
  QWebEngineUrlScheme::registerScheme(scheme);
}

void TQtCefRuntime::Shutdown() {
  if (FPumpTimer) FPumpTimer->Stop();
  TExCefClientHandler::SetPumpTimer(nullptr);
  ReleaseProfile();
}

void TQtCefRuntime::ReleaseProfile() {
  delete FProfile;
  FProfile = nullptr;
}

void TQtCefRuntime::ConfigureProfile(QWebEngineProfile& AProfile) const {
  if (!FSettings.cache_path.empty()) {
    AProfile.setCachePath(Utf8(FSettings.cache_path));
    if (!AProfile.isOffTheRecord()) AProfile.setPersistentStoragePath(Utf8(FSettings.cache_path));
  }
  if (!FSettings.locale.empty()) AProfile.setHttpAcceptLanguage(Utf8(FSettings.locale));
}

QWebEngineProfile* TQtCefRuntime::Profile() {
  if (!FProfile) {
    FProfile = new QWebEngineProfile(QStringLiteral("Vexor"));
    ConfigureProfile(*FProfile);
  }
  return FProfile;
}

bool StartBrowserRuntime(const std::string& AUiLanguage) {
  TCef8ValueVariantType::Register();
  TGlobalMainThreadSynchronizer::CreateQueue();
  if (!gRuntime) gRuntime = std::make_unique<TQtCefRuntime>();
  return TCefRuntimeStartup::Start(*gRuntime, TCefStartupEnvironment::Current(AUiLanguage));
}

void StopBrowserRuntime() {
  TGlobalMainThreadSynchronizer::DestroyQueue();
  TCefRuntimeStartup::Shutdown();
  gRuntime.reset();
}

TQtCefRuntime* BrowserRuntime() { return gRuntime.get(); }

}  // namespace vexor
