#pragma once
// TMainForm, the debugger window "Vexor Tarnwick": a top bar with the script path, Debug/Restart,
// Stop and "Break on load", and below it the browser that shows the start page while nothing
// runs and the DevTools front end of the running script.
//
// The window owns at most one Node.js debug requester. Debug (or Restart) frees the old one,
// which ends its node, makes the script's folder the current folder and starts a new one; when
// the requester reports a DevTools address the window loads it with every "/bundled" removed.
// Stop frees the requester and shows the start page; so does closing the window. The actions'
// enabling and captions are brought up to date whenever the application becomes idle. The
// window's placement is kept under "Software\Vexor\Tarnwick\1.0\TMainForm".
//
// Beyond that: a failure bar above the browser says in words what went wrong with a run (node
// not started, the script ended, the inspector port held by another program, no DevTools
// address in time); an output pane below it shows the script's output and takes input for it
// (its height and whether the user closed it are kept under "...\1.0\TOutputPane"); F5, Shift+F5,
// Ctrl+O, Ctrl+Q and Ctrl+J (output pane) work anywhere in the window; a script file dropped on
// the window is debugged; the path box offers the last scripts debugged; the title names the
// running script.
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
#include <memory>

#include "browser/ChromiumEx.h"
#include "window/FailureBar.h"
#include "window/FormState.h"
#include "nodejs/NodeJsRequester.h"
#include "window/OutputPane.h"
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
  using TRequester = TCustomAsyncRequester::TOwned<TBasicNodeJsRequester>;

  static constexpr const char* kCaption = "Vexor Tarnwick";
  static constexpr const char* kRegistryKey = "Software\\Vexor\\Tarnwick\\1.0";
  static constexpr const char* kSection = "TMainForm";
  static constexpr const char* kOutputSection = "TOutputPane";
  static constexpr int kDefaultOutputHeight = 180;

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
  TBasicNodeJsRequester* Requester() const { return FRequester.get(); }
  // True while the browser shows the start page.
  bool ShowsStartPage() const { return FShowsStartPage; }
  // The DevTools address last handed to the browser, "/bundled" removed (empty with the start page).
  const QString& DebuggerAddress() const { return FDebuggerAddress; }
  TFailureBar* FailureBar() const { return FFailureBar; }
  TOutputPane* OutputPane() const { return FOutput; }
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
  void OnLoadDebugger();
  void ShowStartPage();
  void AlignTopPanel();

  // The additions to Debug, Stop and the browser (failure bar, output pane, shortcuts, drops).
  void CreateExtras();
  void LayOutBelowTop();
  // A run starts: AScript is remembered, the bar and the pane are emptied, new events made.
  void BeginRunExtras(const std::string& AScript, const QString& AFileName);
  // Its requester exists: its failures are hooked up and the wait for DevTools begins.
  void StartRunExtras(TBasicNodeJsRequester& ARequester);
  void EndRunExtras();
  // Main thread: AStep runs later on the main thread, only while run ARun is still the current one.
  void PostForRun(int ARun, std::function<void()> AStep);
  void ShowFailure(const std::string& AText);
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

  TRequester FRequester;
  bool FShowsStartPage = false;
  QString FDebuggerAddress;

  // The additions (main thread only; widgets owned by their Qt parents).
  TFailureBar* FFailureBar = nullptr;
  TOutputPane* FOutput = nullptr;
  QSplitter* FSplitter = nullptr;
  QAction* acnOpen = nullptr;
  QAction* acnQuit = nullptr;
  QAction* acnOutput = nullptr;
  QCompleter* FRecentCompleter = nullptr;
  QStringListModel* FRecentModel = nullptr;
  TRecentScripts FRecent;
  QTimer* FDevToolsTimer = nullptr;
  TRef<TRunEvents> FRunEvents;  // the current run's output and last error line
  int FRun = 0;                 // counts runs; events of an earlier one are dropped
  bool FRunFailed = false;      // the current run has said what went wrong
  QString FRunScript;           // the running script's file name, for the title
  bool FOutputWanted = true;    // false once the user closed the pane
  int FOutputHeight = kDefaultOutputHeight;
};

}  // namespace vexor
