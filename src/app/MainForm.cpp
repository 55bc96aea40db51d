#include "MainForm.h"

#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStyle>

// The start page lives in this library's resources; a static library registers them itself.
static void InitMainFormResources() { Q_INIT_RESOURCE(MainForm); }

namespace vexor {
namespace {

// Design sizes, in Qt's device-independent pixels (96 per inch at a scale of 1).
constexpr int kTopHeight = 41;
constexpr int kPanel1Width = 321;

QFont DesignFont(const QString& AFace) {
  return QFont(QStringList{AFace, QStringLiteral("Tahoma"), QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans"),
                           QStringLiteral("Liberation Sans")},
               9);
}

QStringList LoadStartPage() {
  InitMainFormResources();
  QFile file(QStringLiteral(":/tarnwick/StartPage.html"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
}

}  // namespace

TMainForm::TMainForm(const TTarnwickOptions& AOptions, QWidget* AParent)
    : QWidget(AParent),
      FOptions(AOptions),
      cef(new TChromiumEx(this)),
      pnlTop(new QFrame(this)),
      edProjectFile(new QLineEdit(pnlTop)),
      Images{QIcon::fromTheme(QStringLiteral("document-open"), style()->standardIcon(QStyle::SP_DirOpenIcon))},
      btnRun(nullptr),
      CheckBox1(nullptr),
      acnRun(new QAction(QStringLiteral("Run"), this)),
      FileOpenDlg(new QFileDialog(this, QString(), QString(), QStringLiteral("Javascript (*.js *.es)"))),
      btnStop(nullptr),
      acnStop(new QAction(QStringLiteral("Stop"), this)),
      FormState(this, kRegistryKey, kSection),
      StartPageHtml(LoadStartPage()),
      Panel1(new QWidget(pnlTop)) {
  setWindowTitle(QString::fromLatin1(kCaption));
  setFont(DesignFont(QStringLiteral("Tahoma")));
  setMinimumSize(600, 400);
  resize(1323, 814);

  // The browser options: pages may open windows, run plug-ins, reach file and remote addresses
  // from file addresses and tab to links; no web security; a white background.
  cef->Options.JavascriptOpenWindows = true;
  cef->Options.Plugins = true;
  cef->Options.UniversalAccessFromFileUrls = true;
  cef->Options.FileAccessFromFileUrls = true;
  cef->Options.TabToLinks = true;
  cef->Options.WebSecurity = false;
  cef->Options.BackgroundColor = 16777215;

  pnlTop->setObjectName(QStringLiteral("pnlTop"));
  pnlTop->setFrameShape(QFrame::NoFrame);
  auto* bevel = new QFrame(pnlTop);  // the soft bevel on the bottom edge
  bevel->setObjectName(QStringLiteral("pnlTopBevel"));
  bevel->setFrameShape(QFrame::HLine);
  bevel->setFrameShadow(QFrame::Sunken);

  edProjectFile->setFont(DesignFont(QStringLiteral("Segoe UI")));
  edProjectFile->setPlaceholderText(QStringLiteral("Select project start file"));
  QAction* select = edProjectFile->addAction(Images.value(0), QLineEdit::TrailingPosition);
  select->setToolTip(QStringLiteral("Select file"));
  connect(select, &QAction::triggered, this, &TMainForm::edProjectFileRightButtonClick);

  connect(acnRun, &QAction::triggered, this, &TMainForm::acnRunExecute);
  connect(acnStop, &QAction::triggered, this, &TMainForm::acnStopExecute);
  btnRun = new QToolButton(Panel1);
  btnRun->setDefaultAction(acnRun);
  btnRun->setToolButtonStyle(Qt::ToolButtonTextOnly);
  btnRun->setGeometry(7, 7, 82, 25);
  btnStop = new QToolButton(Panel1);
  btnStop->setDefaultAction(acnStop);
  btnStop->setToolButtonStyle(Qt::ToolButtonTextOnly);
  btnStop->setGeometry(93, 7, 82, 25);
  CheckBox1 = new QCheckBox(QStringLiteral("Break on load"), Panel1);
  CheckBox1->setGeometry(200, 11, 108, 17);
  CheckBox1->setChecked(FOptions.BreakOnLoad);

  FileOpenDlg->setDefaultSuffix(QStringLiteral("js"));
  FileOpenDlg->setFileMode(QFileDialog::ExistingFile);
  FileOpenDlg->setAcceptMode(QFileDialog::AcceptOpen);

  // The action list's update: whenever the application is about to wait for events.
  connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
          &TMainForm::ActionsUpdate);

  FormCreate();
  FormState.OnRestoreState = [this] { FormStateRestoreState(); };
  FormState.RestoreState();
}

TMainForm::~TMainForm() {
  if (!FormState.Saved()) FormState.SaveState();
  FormDestroy();
}

void TMainForm::FormCreate() {
  edProjectFile->setText(QString::fromStdString(FOptions.Script));
  if (!edProjectFile->text().isEmpty() && QFileInfo(edProjectFile->text()).isFile()) acnRunExecute();
}

void TMainForm::FormShow() {
  // The start page also covers the wait for the first DevTools address of an automatic start.
  if (!FShowsStartPage && (!FRequester || FDebuggerAddress.isEmpty())) ShowStartPage();
  AlignTopPanel();
}

void TMainForm::FormDestroy() { FRequester.reset(); }

void TMainForm::FormStateRestoreState() { AlignTopPanel(); }

void TMainForm::ActionsUpdate() {
  const QString path = edProjectFile->text();
  acnRun->setEnabled(!path.isEmpty() && QFileInfo(path).isFile());
  acnStop->setEnabled(FRequester != nullptr);
  acnRun->setText(acnStop->isEnabled() ? QStringLiteral("Restart") : QStringLiteral("Debug"));
}

void TMainForm::acnRunExecute() {
  FRequester.reset();  // ends the old node before a new one starts
  const QFileInfo script(edProjectFile->text());
  // node gets the full path: the current folder changes here, and a path typed relative to the
  // old one would name another file (or none) after it.
  const std::string path = script.absoluteFilePath().toStdString();
  const std::string text = edProjectFile->text().toStdString();
  const size_t slash = text.rfind('/');
  if (slash != std::string::npos && ::chdir(text.substr(0, slash + 1).c_str()) != 0) {
    // The run goes on in the old folder; node still gets the full path.
  }
  FRequester = TCustomAsyncRequester::New<TBasicNodeJsRequester>(TRef<IChildProcessRequesterEvents>(), path,
                                                                 FOptions.Port, FOptions.WatchdogMs, FOptions.Node);
  FRequester->SetStopOnStart(CheckBox1->isChecked());
  FRequester->SetOnDebugger([this](TBasicNodeJsRequester*) { OnLoadDebugger(); });
  FRequester->Run();
}

void TMainForm::acnStopExecute() {
  FRequester.reset();
  ShowStartPage();
}

void TMainForm::OnLoadDebugger() {
  // A requester being freed can still report while the main thread waits for its threads; the
  // window no longer holds it then.
  if (!FRequester) return;
  QString url = QString::fromStdString(FRequester->DebuggerUrl());
  url.remove(QStringLiteral("/bundled"));
  FShowsStartPage = false;
  FDebuggerAddress = url;
  cef->Load(url);
}

void TMainForm::ShowStartPage() {
  cef->SetHTML(StartPageHtml);
  FShowsStartPage = true;
  FDebuggerAddress.clear();
}

void TMainForm::AlignTopPanel() {
  const int w = width();
  pnlTop->setGeometry(0, 0, w, kTopHeight);
  if (auto* bevel = pnlTop->findChild<QFrame*>(QStringLiteral("pnlTopBevel"))) bevel->setGeometry(0, kTopHeight - 2, w, 2);
  Panel1->setGeometry(w - kPanel1Width, 0, kPanel1Width, kTopHeight - 2);
  edProjectFile->setGeometry(8, 8, std::max(0, w - kPanel1Width - 8), kTopHeight - 8 - 6);
}

void TMainForm::edProjectFileRightButtonClick() {
  if (FileOpenDlg->exec() != QDialog::Accepted) return;
  const QStringList files = FileOpenDlg->selectedFiles();
  if (!files.isEmpty()) edProjectFile->setText(QFileInfo(files.first()).absoluteFilePath());
}

void TMainForm::showEvent(QShowEvent* AEvent) {
  QWidget::showEvent(AEvent);
  if (!AEvent->spontaneous()) FormShow();
}

void TMainForm::closeEvent(QCloseEvent* AEvent) {
  FormState.SaveState();
  FRequester.reset();  // no node outlives the window
  AEvent->accept();
}

void TMainForm::resizeEvent(QResizeEvent* AEvent) {
  QWidget::resizeEvent(AEvent);
  AlignTopPanel();
  cef->setGeometry(0, kTopHeight, width(), std::max(0, height() - kTopHeight));
  cef->NotifyMoveOrResizeStarted();
}

}  // namespace vexor
