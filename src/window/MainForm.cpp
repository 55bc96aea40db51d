#include "window/MainForm.h"

#include "platform/Exceptions.h"
#include "platform/Registry.h"
#include "app/WindowMessages.h"

#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStyle>
#include <QCompleter>
#include <QDropEvent>
#include <QKeySequence>
#include <QSplitter>
#include <QStringListModel>
#include <QUrl>

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

  CreateExtras();
  FormCreate();
  FormState.OnRestoreState = [this] { FormStateRestoreState(); };
  FormState.RestoreState();
  RestoreOutputState();
}

TMainForm::~TMainForm() {
  if (!FormState.Saved()) {
    FormState.SaveState();
    SaveOutputState();
  }
  qApp->removeEventFilter(this);
  ++FRun;
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
  acnRun->setToolTip(QString::fromStdString(TWindowMessages::WithShortcut(acnRun->text().toStdString(), "F5")));
  const QString title = FRequester && !FRunScript.isEmpty()
                            ? QString::fromLatin1(kCaption) + QStringLiteral(" - ") + FRunScript
                            : QString::fromLatin1(kCaption);
  if (windowTitle() != title) setWindowTitle(title);
}

void TMainForm::acnRunExecute() {
  ++FRun;              // what the old run still reports is not shown
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
  BeginRunExtras(path, script.fileName());
  FRequester = TCustomAsyncRequester::New<TBasicNodeJsRequester>(TRef<IChildProcessRequesterEvents>(FRunEvents), path,
                                                                 FOptions.Port, FOptions.WatchdogMs, FOptions.Node);
  FRequester->SetStopOnStart(CheckBox1->isChecked());
  FRequester->SetOnDebugger([this](TBasicNodeJsRequester*) { OnLoadDebugger(); });
  StartRunExtras(*FRequester);
  FRequester->Run();
}

void TMainForm::acnStopExecute() {
  ++FRun;
  EndRunExtras();
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
  FDevToolsTimer->stop();
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
  if (auto* bevel = pnlTop->findChild<QFrame*>(QStringLiteral("pnlTopBevel")))
    bevel->setGeometry(0, kTopHeight - 2, w, 2);
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
  ++FRun;
  FormState.SaveState();
  SaveOutputState();
  FRequester.reset();  // no node outlives the window
  AEvent->accept();
}

void TMainForm::resizeEvent(QResizeEvent* AEvent) {
  QWidget::resizeEvent(AEvent);
  AlignTopPanel();
  LayOutBelowTop();
  cef->NotifyMoveOrResizeStarted();
}

// ---------------------------------------------------------------------------------------------
// Additions around the described window: failure bar, output pane, shortcuts, drops, recent
// scripts.

namespace {

bool IsScriptFile(const QString& APath) {
  static const QStringList suffixes{QStringLiteral("js"), QStringLiteral("es"), QStringLiteral("mjs"),
                                    QStringLiteral("cjs")};
  const QFileInfo info(APath);
  return info.isFile() && suffixes.contains(info.suffix(), Qt::CaseInsensitive);
}

std::string OutputKey() { return std::string(TMainForm::kRegistryKey) + "\\" + TMainForm::kOutputSection; }

}  // namespace

void TMainForm::CreateExtras() {
  FFailureBar = new TFailureBar(this);
  connect(FFailureBar, &TFailureBar::visibilityChanged, this, &TMainForm::LayOutBelowTop);

  FOutput = new TOutputPane(this);
  FOutput->OnInput = [this](const std::string& AText) {
    if (FRequester) FRequester->SendInput(AText);
  };
  FOutput->OnFirstLine = [this] {
    if (FOutputWanted) ShowOutput(true);
  };
  FSplitter = new QSplitter(Qt::Vertical, this);
  FSplitter->setObjectName(QStringLiteral("BrowserAndOutput"));
  FSplitter->setChildrenCollapsible(false);
  FSplitter->addWidget(cef);
  FSplitter->addWidget(FOutput);
  FSplitter->setStretchFactor(0, 1);
  FSplitter->setStretchFactor(1, 0);
  FOutput->hide();  // closed until a run's first line
  connect(FSplitter, &QSplitter::splitterMoved, this, [this] {
    if (FOutput->isVisibleTo(this)) FOutputHeight = FSplitter->sizes().value(1, FOutputHeight);
  });

  acnRun->setShortcut(QKeySequence(Qt::Key_F5));
  acnStop->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
  acnStop->setToolTip(QString::fromStdString(TWindowMessages::WithShortcut("Stop", "Shift+F5")));
  acnOpen = new QAction(QStringLiteral("Select file"), this);
  acnOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  connect(acnOpen, &QAction::triggered, this, &TMainForm::edProjectFileRightButtonClick);
  acnQuit = new QAction(QStringLiteral("Quit"), this);
  acnQuit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(acnQuit, &QAction::triggered, this, &QWidget::close);
  acnOutput = new QAction(QStringLiteral("Output"), this);
  acnOutput->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_J));
  acnOutput->setToolTip(QString::fromStdString(TWindowMessages::WithShortcut("Show or hide the output", "Ctrl+J")));
  connect(acnOutput, &QAction::triggered, this, [this] {
    const bool show = !FOutput->isVisibleTo(this);
    FOutputWanted = show;
    ShowOutput(show);
  });
  // Window-wide shortcuts, also while the browser has the focus.
  for (QAction* action : {acnRun, acnStop, acnOpen, acnQuit, acnOutput}) {
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
  }
  // The button inside the path box keeps its hint "Select file"; the box itself names the key.
  edProjectFile->setToolTip(QString::fromStdString(TWindowMessages::WithShortcut("Select file", "Ctrl+O")));

  FRecentModel = new QStringListModel(this);
  FRecentCompleter = new QCompleter(FRecentModel, this);
  FRecentCompleter->setFilterMode(Qt::MatchContains);
  FRecentCompleter->setCaseSensitivity(Qt::CaseSensitive);
  edProjectFile->setCompleter(FRecentCompleter);
  QAction* recent = edProjectFile->addAction(QIcon::fromTheme(QStringLiteral("document-open-recent"),
                                                              style()->standardIcon(QStyle::SP_FileDialogDetailedView)),
                                             QLineEdit::TrailingPosition);
  recent->setToolTip(QStringLiteral("Recent scripts"));
  connect(recent, &QAction::triggered, this, [this] {
    UpdateRecentList();
    FRecentCompleter->setCompletionPrefix(QString());
    FRecentCompleter->complete();
  });
  UpdateRecentList();

  FDevToolsTimer = new QTimer(this);
  FDevToolsTimer->setSingleShot(true);
  FDevToolsTimer->setInterval(TWindowMessages::kDevToolsWaitSeconds * 1000);
  connect(FDevToolsTimer, &QTimer::timeout, this, [this] {
    if (FRequester && FDebuggerAddress.isEmpty() && !FRunFailed)
      ShowFailure(TWindowMessages::NoDevToolsAddress(FRunEvents ? FRunEvents->LastError() : std::string()));
  });

  setAcceptDrops(true);
  // Drops anywhere in the window, the browser's own widgets included.
  qApp->installEventFilter(this);
}

void TMainForm::LayOutBelowTop() {
  int top = kTopHeight;
  if (FFailureBar->isVisibleTo(this)) {
    const int h = FFailureBar->heightForWidth(width()) > 0 ? FFailureBar->heightForWidth(width())
                                                           : FFailureBar->sizeHint().height();
    FFailureBar->setGeometry(0, top, width(), h);
    FFailureBar->raise();
    top += h;
  }
  FSplitter->setGeometry(0, top, width(), std::max(0, height() - top));
}

void TMainForm::BeginRunExtras(const std::string& AScript, const QString& AFileName) {
  FRecent.Add(AScript);
  UpdateRecentList();
  FRunScript = AFileName;
  FRunFailed = false;
  FFailureBar->Clear();
  FOutput->Clear();
  ShowOutput(false);
  FRunEvents = MakeRef<TRunEvents>(FOutput->Queue());
}

void TMainForm::PostForRun(int ARun, std::function<void()> AStep) {
  QMetaObject::invokeMethod(
      this,
      [this, ARun, step = std::move(AStep)] {
        if (ARun == FRun) step();
      },
      Qt::QueuedConnection);
}

void TMainForm::StartRunExtras(TBasicNodeJsRequester& ARequester) {
  const int run = FRun;
  TRef<TRunEvents> events = FRunEvents;
  // These arrive on the requester's worker; the window answers on the main thread.
  ARequester.SetOnStartFailed([this, run](const std::string& AProgram, const std::string& AReason) {
    PostForRun(run, [this, AProgram, AReason] {
      FRunFailed = true;
      ShowFailure(TWindowMessages::NodeNotStarted(AProgram, AReason));
    });
  });
  ARequester.SetOnChildExit([this, run, events](const TChildExit& AExit) {
    PostForRun(run, [this, AExit, events] {
      FRunFailed = true;
      // Its last lines first, so that the message and the pane agree.
      FOutput->Drain();
      ShowFailure(TWindowMessages::ScriptEnded(AExit, events->LastError()));
    });
  });
  // The sink keeps this handler: it holds no reference to the sink (no cycle). A step that still
  // runs belongs to the current run, whose sink FRunEvents is.
  events->OnWaitingForDisconnect = [this, run] {
    PostForRun(run, [this] {
      FRunFailed = true;
      FOutput->Drain();
      ShowFailure(TWindowMessages::ScriptFinished(FRunEvents->LastError()));
    });
  };
  ARequester.SetOnInspectorFailed([this, run](int32_t APort, const std::string&) {
    PostForRun(run, [this, APort] {
      // Undebugged, the script would run on unpaused: the run ends here.
      acnStopExecute();
      FRunFailed = true;
      ShowFailure(TWindowMessages::PortInUse(APort));
    });
  });
  // Called on the main thread already; the requester has written it to standard error.
  ARequester.SetOnFrontEndRefused([this](const std::string& AText) {
    FRunFailed = true;
    ShowFailure(AText + " " + TWindowMessages::kFrontEndRefusedHint);
  });
  FDevToolsTimer->start();
}

void TMainForm::EndRunExtras() {
  FDevToolsTimer->stop();
  FFailureBar->Clear();
  FRunScript.clear();
}

void TMainForm::ShowFailure(const std::string& AText) { FFailureBar->ShowMessage(QString::fromStdString(AText)); }

void TMainForm::ShowOutput(bool AShow) {
  if (AShow == FOutput->isVisibleTo(this)) return;
  if (!AShow) {
    if (FOutput->isVisibleTo(this)) FOutputHeight = FSplitter->sizes().value(1, FOutputHeight);
    FOutput->hide();
    return;
  }
  FOutput->show();
  const int total = std::max(FSplitter->height(), 2 * FOutputHeight);
  FSplitter->setSizes({total - FOutputHeight, FOutputHeight});
}

void TMainForm::RestoreOutputState() {
  TRegistry reg;
  if (!reg.OpenKeyReadOnly(OutputKey())) return;
  if (auto h = reg.ReadInteger("Height"); h && *h >= 40 && *h <= 10000) FOutputHeight = static_cast<int>(*h);
  if (auto open = reg.ReadInteger("Open")) FOutputWanted = *open != 0;
}

void TMainForm::SaveOutputState() {
  if (FOutput->isVisibleTo(this)) FOutputHeight = FSplitter->sizes().value(1, FOutputHeight);
  try {
    TRegistry reg;
    if (!reg.OpenKey(OutputKey(), true)) return;
    reg.WriteString("Height", std::to_string(FOutputHeight));
    reg.WriteString("Open", FOutputWanted ? "1" : "0");
  } catch (const Exception&) {
    // As with the placement: a store that cannot be written is not worth an error at closing.
  }
}

void TMainForm::UpdateRecentList() {
  QStringList items;
  for (const std::string& item : FRecent.Items()) items << QString::fromStdString(item);
  FRecentModel->setStringList(items);
}

QStringList TMainForm::RecentScripts() const { return FRecentModel->stringList(); }

QString TMainForm::DroppedScript(const QMimeData* AMime) {
  if (!AMime || !AMime->hasUrls()) return {};
  const QList<QUrl> urls = AMime->urls();
  if (urls.size() != 1 || !urls.first().isLocalFile()) return {};
  const QString path = urls.first().toLocalFile();
  return IsScriptFile(path) ? QFileInfo(path).absoluteFilePath() : QString();
}

bool TMainForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
  const QEvent::Type type = AEvent->type();
  if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
    return QWidget::eventFilter(AWatched, AEvent);
  auto* widget = qobject_cast<QWidget*>(AWatched);
  if (!widget || widget->window() != this) return QWidget::eventFilter(AWatched, AEvent);
  auto* drop = static_cast<QDropEvent*>(AEvent);
  const QString script = DroppedScript(drop->mimeData());
  if (script.isEmpty()) return QWidget::eventFilter(AWatched, AEvent);
  drop->acceptProposedAction();
  if (type == QEvent::Drop) {
    edProjectFile->setText(script);
    acnRunExecute();
  }
  return true;
}

}  // namespace vexor
