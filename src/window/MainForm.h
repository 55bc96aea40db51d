#pragma once
// TMainForm, the debugger window "Vexor Tarnwick": a top bar with the script path, Debug/Restart,
// Stop and "Break on load", and below it the browser that shows the start page while nothing
// runs and the DevTools front end of the running script.
//
// The window owns at most one debug run (TDebugRun, with its Node.js debug requester). Debug (or
// Restart) frees the old one, which ends its node, and starts a new one with the script's run
// settings, in the script's project folder; when the run reports a DevTools address the window
// loads it with every "/bundled" removed. Every run event reaches the main thread by one queued
// hop and is dropped there when it belongs to an earlier run.
// Stop frees the requester and shows the start page; so does closing the window. The actions'
// enabling and captions are brought up to date whenever the application becomes idle. The
// window's placement is kept under "Software\Vexor\Tarnwick\1.0\TMainForm".
//
// Beyond that: a failure bar above the browser says in words what went wrong with a run (node
// not started, the script ended, the inspector port held by another program, no DevTools
// address in time); an output pane below it is the script's terminal (output, keys typed to the script)
// (its height and whether the user closed it are kept under "...\1.0\TOutputPane"); F5, Shift+F5,
// Ctrl+O, Ctrl+Q and Ctrl+J (output pane) work anywhere in the window; a script file dropped on
// the window is debugged; the path box offers the last scripts debugged, and picking one (or a
// file in the dialog, or Enter) starts it; "Run settings" beside the path box edits the
// script's arguments, node options, environment, working folder, watch mode and restart,
// remembered per script with the recent scripts. A script that finishes (exit code 0) is said
// in a neutral bar and not run again; a failed one keeps the restart after 30 s, counted down in
// the bar with a button to cancel it. In watch mode a change of a project file restarts the run.
// DevTools keeps at least kMinBrowserHeight; the output pane gives way.
//
// Threads: main thread only; the program's and the browser's services and a QApplication
// must exist.
#include <QAction>
#include <QCheckBox>
#include <QFileDialog>
#include <QFrame>
#include <QIcon>
#include <QLineEdit>
#include <QList>
#include <QMimeData>
#include <QTimer>
#include <QStringList>
#include <QToolButton>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>

#include "browser/ChromiumEx.h"
#include "window/FailureBar.h"
#include "window/FormState.h"
#include "nodejs/NodeJsRequester.h"
#include "window/TerminalView.h"
#include "app/DebugRun.h"
#include "app/FileWatcher.h"
#include "app/RecentScripts.h"
#include "window/RunEvents.h"
#include "app/TarnwickOptions.h"

class QCompleter;
class QSplitter;
class QStringListModel;

namespace vexor {

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  static constexpr const char* kCaption = "Vexor Tarnwick";
  static constexpr const char* kRegistryKey = "Software\\Vexor\\Tarnwick\\1.0";
  static constexpr const char* kSection = "TMainForm";
  static constexpr const char* kOutputSection = "TOutputPane";
  static constexpr int kDefaultOutputHeight = 180;
  // DevTools is never squeezed below this height by the output pane.
  static constexpr int kMinBrowserHeight = 200;

  // AOptions: the script (the path box's first text; an existing file starts at once), the
  // inspector port, watchdog, node program and whether "Break on load" starts ticked.
  explicit TMainForm(const TTarnwickOptions& AOptions, QWidget* AParent = nullptr);
  ~TMainForm() override;

  // What the tests and the program drive and inspect.
  TChromiumEx* Browser() const { return cef; }
  QLineEdit* ProjectFile() const { return edProjectFile; }
  QCheckBox* BreakOnLoad() const { return CheckBox1; }
  QAction* RunAction() const { return acnRun; }
  QAction* StopAction() const { return acnStop; }
  QFileDialog* FileDialog() const { return FileOpenDlg; }
  TBasicNodeJsRequester* Requester() const { return FDebugRun ? FDebugRun->Requester() : nullptr; }
  TDebugRun* DebugRun() const { return FDebugRun.get(); }
  QAction* SettingsAction() const { return acnSettings; }
  // The run settings the script in the path box would be debugged with.
  TScriptSettings SettingsOf(const QString& AScript) const;
  // Stores ASettings for AScript (they are used from its next run on).
  void SetSettingsOf(const QString& AScript, const TScriptSettings& ASettings);
  // Seconds left before a failed script starts again; -1 when no restart is counted down.
  int RestartCountdown() const { return FRestartLeft; }
  // True while the browser shows the start page.
  bool ShowsStartPage() const { return FShowsStartPage; }
  // The DevTools address last handed to the browser, "/bundled" removed (empty with the start page).
  const QString& DebuggerAddress() const { return FDebuggerAddress; }
  TFailureBar* FailureBar() const { return FFailureBar; }
  TTerminalView* OutputPane() const { return FOutput; }
  QSplitter* Splitter() const { return FSplitter; }
  QAction* OpenAction() const { return acnOpen; }
  QAction* QuitAction() const { return acnQuit; }
  QAction* OutputAction() const { return acnOutput; }
  // The scripts the path box offers, newest first.
  QStringList RecentScripts() const;
  // Whether a drop of AMime would start a debug run, and the script it names.
  static QString DroppedScript(const QMimeData* AMime);

  // Brings the actions up to date (run on every idle of the application).
  void ActionsUpdate();
  void acnRunExecute();
  void acnStopExecute();
  void edProjectFileRightButtonClick();
  // Opens the run settings of the script in the path box.
  void acnSettingsExecute();

 protected:
  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  void resizeEvent(QResizeEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  void FormCreate();
  void FormShow();
  void FormDestroy();
  void FormStateRestoreState();
  void OnLoadDebugger(const std::string& AUrl);
  void ShowStartPage();
  void AlignTopPanel();

  // The additions to Debug, Stop and the browser (failure bar, output pane, shortcuts, drops).
  void CreateExtras();
  void LayOutBelowTop();
  // A run starts: the bar and the pane are emptied, new events made.
  void BeginRunExtras(const QString& AFileName);
  void EndRunExtras();
  // Any thread: AEvent is handled on the main thread while its run is still the current one.
  void PostRunEvent(const TRunEvent& AEvent);
  void OnRunEvent(const TRunEvent& AEvent);
  // Starts the run of the path box's script once, after the current event (a pick, Enter).
  void StartFromPathBox();
  void OnWatchedChange(const std::string& AFile);
  void StartRestartCountdown(const TRunEvent& AEvent);
  void StopRestartCountdown();
  void UpdateRestartCountdown();
  // The program line shown in the path box for "-- PROGRAM"; empty without one.
  QString ProgramLine() const;
  void ShowFailure(const std::string& AText);
  void ShowNotice(const std::string& AText);
  void ShowOutput(bool AShow);
  void RestoreOutputState();
  void SaveOutputState();
  void UpdateRecentList();

  // Constant after construction (the widgets are owned by their Qt parents).
  const TTarnwickOptions FOptions;
  TChromiumEx* cef;
  QFrame* pnlTop;
  QLineEdit* edProjectFile;
  QList<QIcon> Images;
  QToolButton* btnRun;
  QCheckBox* CheckBox1;
  QAction* acnRun;
  QFileDialog* FileOpenDlg;
  QToolButton* btnStop;
  QAction* acnStop;
  TFormState FormState;
  QStringList StartPageHtml;
  QWidget* Panel1;

  std::unique_ptr<TDebugRun> FDebugRun;
  std::unique_ptr<TFileWatcher> FWatcher;  // the current run's, in watch mode
  bool FShowsStartPage = false;
  QString FDebuggerAddress;

  // The additions (main thread only; widgets owned by their Qt parents).
  TFailureBar* FFailureBar = nullptr;
  TTerminalView* FOutput = nullptr;
  QSplitter* FSplitter = nullptr;
  QAction* acnOpen = nullptr;
  QAction* acnQuit = nullptr;
  QAction* acnOutput = nullptr;
  QCompleter* FRecentCompleter = nullptr;
  QStringListModel* FRecentModel = nullptr;
  TRecentScripts FRecent;
  QTimer* FDevToolsTimer = nullptr;
  QTimer* FRestartTimer = nullptr;
  QToolButton* btnSettings = nullptr;
  QAction* acnSettings = nullptr;
  TRef<TRunEvents> FRunEvents;   // the current run's output
  int FRun = 0;                  // counts runs; events of an earlier one are dropped
  bool FRunFailed = false;       // the current run has said what went wrong (or that it finished)
  bool FRunEnded = false;        // the current run's script has ended and waits for Debug
  bool FStartQueued = false;     // StartFromPathBox has a start pending
  bool FClearOnAddress = false;  // the next DevTools address (a restart) clears the bar
  int FRestartLeft = -1;
  TRunEvent FRestartEvent;                         // the failure being counted down
  std::map<std::string, TScriptSettings> FEdited;  // settings set but not yet run
  QString FRunScript;                              // the running script's file name, for the title
  bool FOutputWanted = true;                       // false once the user closed the pane
  int FOutputHeight = kDefaultOutputHeight;
};

}  // namespace vexor
