#include "window/MainForm.h"

#include "platform/Exceptions.h"
#include "platform/Registry.h"
#include "app/WindowMessages.h"
#include "platform/AppPaths.h"
#include "window/RunSettingsDialog.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QDir>
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
      FileOpenDlg(new QFileDialog(this)),
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

  FileOpenDlg->setNameFilters({QStringLiteral("JavaScript (*.js *.mjs *.cjs *.es)"),
                               QStringLiteral("TypeScript (*.ts *.mts *.cts)"), QStringLiteral("All files (*)")});
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
  if (!FOptions.Program.empty()) {
    edProjectFile->setText(ProgramLine());
    acnRunExecute();
    return;
  }
  edProjectFile->setText(QString::fromStdString(FOptions.Script));
  // Run settings on the command line are the script's from now on.
  if (auto settings = ScriptSettingsFrom(FOptions); settings && !FOptions.Script.empty())
    FEdited[FOptions.Script] = *settings;
  if (!edProjectFile->text().isEmpty() && QFileInfo(edProjectFile->text()).isFile()) acnRunExecute();
}

void TMainForm::FormShow() {
  // The start page also covers the wait for the first DevTools address of an automatic start.
  if (!FShowsStartPage && (!FDebugRun || FDebuggerAddress.isEmpty())) ShowStartPage();
  AlignTopPanel();
}

void TMainForm::FormDestroy() {
  FWatcher.reset();
  FDebugRun.reset();
}

void TMainForm::FormStateRestoreState() { AlignTopPanel(); }

void TMainForm::ActionsUpdate() {
  const QString path = edProjectFile->text();
  const bool program = !FOptions.Program.empty() && path == ProgramLine();
  acnRun->setEnabled(program || (!path.isEmpty() && QFileInfo(path).isFile()));
  acnSettings->setEnabled(!program && !path.isEmpty() && QFileInfo(path).isFile());
  acnStop->setEnabled(FDebugRun != nullptr);
  acnRun->setText(acnStop->isEnabled() && !FRunEnded ? QStringLiteral("Restart") : QStringLiteral("Debug"));
  acnRun->setToolTip(QString::fromStdString(TWindowMessages::WithShortcut(acnRun->text().toStdString(), "F5")));
  // The desktop appends the application's name to a title that does not end with it already.
  const QString title = FDebugRun && !FRunScript.isEmpty()
                            ? FRunScript + QStringLiteral(" - ") + QString::fromLatin1(kCaption)
                            : QString::fromLatin1(kCaption);
  if (windowTitle() != title) setWindowTitle(title);
}

void TMainForm::acnRunExecute() {
  ++FRun;  // what the old run still reports is not shown
  FStartQueued = false;
  StopRestartCountdown();
  FWatcher.reset();
  FDebugRun.reset();  // ends the old node before a new one starts
  TDebugRunSettings settings = RunSettingsFrom(FOptions);
  settings.BreakOnLoad = CheckBox1->isChecked();
  TScriptSettings scriptSettings;
  QString name;
  const bool program = !FOptions.Program.empty() && edProjectFile->text() == ProgramLine();
  if (program) {
    scriptSettings = ScriptSettingsFrom(FOptions).value_or(TScriptSettings());
    name = QString::fromStdString(FOptions.Program.front());
  } else {
    const QFileInfo script(edProjectFile->text());
    const std::string path = AbsolutePathFrom(edProjectFile->text().toStdString());
    scriptSettings = SettingsOf(QString::fromStdString(path));
    FEdited.erase(path);
    FRecent.Add(path, scriptSettings);
    UpdateRecentList();
    settings.Program.clear();
    settings.Script = path;
    ApplyScriptSettings(scriptSettings, settings);
    name = script.fileName();
  }
  BeginRunExtras(name);
  // The script writes to the pane's terminal, of the size the pane will be shown in.
  if (!FOutput->isVisibleTo(this)) FOutput->FitTo(QSize(width(), FOutputHeight));  // the splitter spans the form
  settings.Terminal = TTerminalSize{static_cast<uint16_t>(FOutput->Columns()), static_cast<uint16_t>(FOutput->Rows())};
  FDebugRun = std::make_unique<TDebugRun>(settings, TRef<IChildProcessRequesterEvents>(FRunEvents), FRun,
                                          [this](const TRunEvent& AEvent) { PostRunEvent(AEvent); });
  try {
    FDebugRun->Start();
  } catch (const Exception& e) {
    FDebugRun.reset();
    FRunFailed = true;
    ShowFailure(TWindowMessages::RunNotStarted(e.what()));
    return;
  }
  FDevToolsTimer->start();
  // The front end reads source maps and sources from here only.
  if (!program) {
    const QString folder = QString::fromStdString(ExtractFilePath(settings.Script));
    cef->SetSourceFolders({QString::fromStdString(FDebugRun->WorkingFolder()), folder,
                           QString::fromStdString(ProjectFolder(settings.Script))});
  } else {
    cef->SetSourceFolders({QString::fromStdString(FDebugRun->WorkingFolder())});
  }
  if (!FDebugRun->PortNote().empty()) ShowNotice(TWindowMessages::PortReplaced(FDebugRun->PortNote()));
  if (scriptSettings.Watch) {
    try {
      FWatcher = std::make_unique<TFileWatcher>(FDebugRun->WorkingFolder(),
                                                [this, run = FRun](const std::string& AFile) {
                                                  QMetaObject::invokeMethod(
                                                      this,
                                                      [this, run, AFile] {
                                                        if (run == FRun) OnWatchedChange(AFile);
                                                      },
                                                      Qt::QueuedConnection);
                                                });
    } catch (const Exception& e) {
      ShowFailure(e.what());
    }
  }
}

void TMainForm::acnStopExecute() {
  ++FRun;
  EndRunExtras();
  FWatcher.reset();
  FDebugRun.reset();
  ShowStartPage();
}

void TMainForm::OnLoadDebugger(const std::string& AUrl) {
  // A run being freed can still report while the main thread waits for its threads; the window
  // no longer holds it then.
  if (!FDebugRun) return;
  QString url = QString::fromStdString(AUrl);
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
  // "Run settings..." sits between the path box and the buttons.
  const int settingsWidth = btnSettings ? btnSettings->sizeHint().width() : 0;
  const int box = std::max(0, w - kPanel1Width - 8 - (settingsWidth ? settingsWidth + 6 : 0));
  edProjectFile->setGeometry(8, 8, box, kTopHeight - 8 - 6);
  if (btnSettings) btnSettings->setGeometry(8 + box + 6, 7, settingsWidth, 25);
}

void TMainForm::edProjectFileRightButtonClick() {
  if (FileOpenDlg->exec() != QDialog::Accepted) return;
  const QStringList files = FileOpenDlg->selectedFiles();
  if (files.isEmpty()) return;
  edProjectFile->setText(QFileInfo(files.first()).absoluteFilePath());
  StartFromPathBox();
}

void TMainForm::StartFromPathBox() {
  if (FStartQueued) return;
  FStartQueued = true;
  // Queued: a pick from the recent list also ends as Enter in the box; it starts one run.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (!FStartQueued) return;
        FStartQueued = false;
        const QString path = edProjectFile->text();
        if (!path.isEmpty() && QFileInfo(path).isFile()) acnRunExecute();
      },
      Qt::QueuedConnection);
}

TScriptSettings TMainForm::SettingsOf(const QString& AScript) const {
  const std::string path = AbsolutePathFrom(AScript.toStdString());
  if (auto edited = FEdited.find(path); edited != FEdited.end()) return edited->second;
  if (auto stored = FRecent.SettingsOf(path)) return *stored;
  TScriptSettings defaults;
  defaults.Restart = FOptions.Restart;
  return defaults;
}

void TMainForm::SetSettingsOf(const QString& AScript, const TScriptSettings& ASettings) {
  FEdited[AbsolutePathFrom(AScript.toStdString())] = ASettings;
}

void TMainForm::acnSettingsExecute() {
  const QString script = edProjectFile->text();
  if (script.isEmpty() || !QFileInfo(script).isFile()) return;
  const std::string path = AbsolutePathFrom(script.toStdString());
  TRunSettingsDialog dialog(QString::fromStdString(path), SettingsOf(script),
                            QString::fromStdString(ProjectFolder(path)), this);
  if (dialog.exec() != QDialog::Accepted) return;
  SetSettingsOf(script, dialog.Settings());
}

QString TMainForm::ProgramLine() const { return QString::fromStdString(JoinArguments(FOptions.Program)); }

void TMainForm::showEvent(QShowEvent* AEvent) {
  QWidget::showEvent(AEvent);
  if (!AEvent->spontaneous()) FormShow();
}

void TMainForm::closeEvent(QCloseEvent* AEvent) {
  ++FRun;
  FormState.SaveState();
  SaveOutputState();
  FWatcher.reset();
  FDebugRun.reset();  // no node outlives the window
  AEvent->accept();
}

void TMainForm::resizeEvent(QResizeEvent* AEvent) {
  QWidget::resizeEvent(AEvent);
  AlignTopPanel();
  LayOutBelowTop();
  cef->NotifyMoveOrResizeStarted();
}

// ---------------------------------------------------------------------------------------------
// What the window adds to Debug, Stop and the browser: failure bar, output pane, shortcuts, drops,
// recent scripts.

namespace {

bool IsScriptFile(const QString& APath) {
  static const QStringList suffixes{QStringLiteral("js"),  QStringLiteral("es"), QStringLiteral("mjs"),
                                    QStringLiteral("cjs"), QStringLiteral("ts"), QStringLiteral("mts"),
                                    QStringLiteral("cts")};
  const QFileInfo info(APath);
  return info.isFile() && suffixes.contains(info.suffix(), Qt::CaseInsensitive);
}

std::string OutputKey() { return std::string(TMainForm::kRegistryKey) + "\\" + TMainForm::kOutputSection; }

}  // namespace

void TMainForm::CreateExtras() {
  FFailureBar = new TFailureBar(this);
  connect(FFailureBar, &TFailureBar::visibilityChanged, this, &TMainForm::LayOutBelowTop);

  FOutput = new TTerminalView(this);
  FOutput->OnInput = [this](const std::string& AText) {
    if (TBasicNodeJsRequester* requester = Requester()) requester->SendInput(AText);
  };
  FOutput->OnResize = [this](int AColumns, int ARows) {
    if (TBasicNodeJsRequester* requester = Requester())
      requester->SetTerminalSize(TTerminalSize{static_cast<uint16_t>(AColumns), static_cast<uint16_t>(ARows)});
  };
  FOutput->OnFirstOutput = [this] {
    if (FOutputWanted) ShowOutput(true);
  };
  FSplitter = new QSplitter(Qt::Vertical, this);
  FSplitter->setObjectName(QStringLiteral("BrowserAndOutput"));
  FSplitter->setChildrenCollapsible(false);
  cef->setMinimumHeight(kMinBrowserHeight);
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
    if (FDebugRun && FDebuggerAddress.isEmpty() && !FRunFailed)
      ShowFailure(TWindowMessages::NoDevToolsAddress(FDebugRun->LastError()));
  });
  FRestartTimer = new QTimer(this);
  FRestartTimer->setInterval(1000);
  connect(FRestartTimer, &QTimer::timeout, this, &TMainForm::UpdateRestartCountdown);

  // Picking a recent script, or Enter in the path box, starts it.
  connect(FRecentCompleter, qOverload<const QString&>(&QCompleter::activated), this, [this](const QString& AScript) {
    edProjectFile->setText(AScript);
    StartFromPathBox();
  });
  connect(edProjectFile, &QLineEdit::returnPressed, this, &TMainForm::StartFromPathBox);

  acnSettings = new QAction(QStringLiteral("Run settings..."), this);
  acnSettings
      ->setToolTip(QStringLiteral("Arguments, node options, environment, working folder and watch mode of "
                                  "the script"));
  connect(acnSettings, &QAction::triggered, this, &TMainForm::acnSettingsExecute);
  btnSettings = new QToolButton(pnlTop);
  btnSettings->setObjectName(QStringLiteral("btnSettings"));
  btnSettings->setDefaultAction(acnSettings);
  btnSettings->setToolButtonStyle(Qt::ToolButtonTextOnly);

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

void TMainForm::BeginRunExtras(const QString& AFileName) {
  FRunScript = AFileName;
  FRunFailed = false;
  FRunEnded = false;
  FClearOnAddress = false;
  FFailureBar->Clear();
  FOutput->Clear();
  ShowOutput(false);
  FRunEvents = MakeRef<TRunEvents>(FOutput->Queue());
}

void TMainForm::PostRunEvent(const TRunEvent& AEvent) {
  QMetaObject::invokeMethod(
      this,
      [this, AEvent] {
        if (AEvent.Run == FRun) OnRunEvent(AEvent);
      },
      Qt::QueuedConnection);
}

void TMainForm::OnRunEvent(const TRunEvent& AEvent) {
  switch (AEvent.Kind) {
    case rekDebugger:
      if (FClearOnAddress) {
        FClearOnAddress = false;
        FRunFailed = false;
        FFailureBar->Clear();
      }
      OnLoadDebugger(AEvent.Url);
      break;
    case rekStartFailed:
      FRunFailed = true;
      ShowFailure(TWindowMessages::NodeNotStarted(AEvent.Program, AEvent.Reason));
      break;
    case rekEnded:
      FRunFailed = true;
      // Its last lines first, so that the message and the pane agree.
      FOutput->Drain();
      if (AEvent.Finished) {
        FRunEnded = true;
        ShowNotice(TWindowMessages::ScriptCompleted(AEvent.Seconds, FWatcher != nullptr));
      } else {
        ShowFailure(TWindowMessages::ScriptEnded(AEvent.Exit, AEvent.LastError));
        if (AEvent.Exit.RestartInSeconds > 0)
          StartRestartCountdown(AEvent);
        else if (AEvent.Exit.RestartInSeconds < 0)
          FRunEnded = true;
      }
      break;
    case rekWaitingForDisconnect:
      FRunFailed = true;
      FOutput->Drain();
      if (AEvent.Finished)
        ShowNotice(TWindowMessages::ScriptEndedWaiting(false, std::string()));
      else
        ShowFailure(TWindowMessages::ScriptEndedWaiting(true, AEvent.LastError));
      break;
    case rekFrontEndRefused:
      FRunFailed = true;
      ShowFailure(AEvent.Reason + " " + TWindowMessages::kFrontEndRefusedHint);
      break;
    case rekInspectorFailed:
      // Undebugged, the script would run on unpaused: the run ends here.
      acnStopExecute();
      FRunFailed = true;
      ShowFailure(TWindowMessages::PortInUse(AEvent.Port));
      break;
  }
}

void TMainForm::StartRestartCountdown(const TRunEvent& AEvent) {
  FRestartEvent = AEvent;
  FRestartLeft = AEvent.Exit.RestartInSeconds;
  FRestartTimer->start();
  FFailureBar->SetAction(QStringLiteral("Cancel restart"), [this] {
    if (FDebugRun) FDebugRun->CancelRestart();
    TChildExit exit = FRestartEvent.Exit;
    exit.RestartInSeconds = -1;
    StopRestartCountdown();
    FRunEnded = true;
    ShowFailure(TWindowMessages::ScriptEnded(exit, FRestartEvent.LastError));
  });
}

void TMainForm::StopRestartCountdown() {
  FRestartTimer->stop();
  FRestartLeft = -1;
}

void TMainForm::UpdateRestartCountdown() {
  if (FRestartLeft <= 0) return;
  --FRestartLeft;
  TChildExit exit = FRestartEvent.Exit;
  exit.RestartInSeconds = FRestartLeft;
  FFailureBar->SetText(QString::fromStdString(TWindowMessages::ScriptEnded(exit, FRestartEvent.LastError)));
  if (FRestartLeft > 0) return;
  // The requester starts the script now; its new DevTools address clears the bar.
  StopRestartCountdown();
  FFailureBar->SetAction(QString(), nullptr);
  FClearOnAddress = true;
  FDebuggerAddress.clear();
}

void TMainForm::OnWatchedChange(const std::string& AFile) {
  std::string shown = AFile;
  if (FDebugRun) {
    const std::string folder = IncludeTrailingPathDelimiter(FDebugRun->WorkingFolder());
    if (shown.rfind(folder, 0) == 0) shown = shown.substr(folder.size());
  }
  acnRunExecute();
  ShowNotice(TWindowMessages::FileChanged(shown));
}

void TMainForm::EndRunExtras() {
  FDevToolsTimer->stop();
  StopRestartCountdown();
  FFailureBar->Clear();
  FRunScript.clear();
  FRunEnded = false;
}

void TMainForm::ShowNotice(const std::string& AText) { FFailureBar->ShowNotice(QString::fromStdString(AText)); }

void TMainForm::ShowFailure(const std::string& AText) { FFailureBar->ShowMessage(QString::fromStdString(AText)); }

void TMainForm::ShowOutput(bool AShow) {
  if (AShow == FOutput->isVisibleTo(this)) return;
  if (!AShow) {
    if (FOutput->isVisibleTo(this)) FOutputHeight = FSplitter->sizes().value(1, FOutputHeight);
    FOutput->hide();
    return;
  }
  FOutput->show();
  // The pane gives way: a stored height that would squeeze DevTools is not used.
  const int total = FSplitter->height();
  const int height = std::max(40, std::min(FOutputHeight, total - kMinBrowserHeight - FSplitter->handleWidth()));
  FSplitter->setSizes({std::max(kMinBrowserHeight, total - height), height});
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
