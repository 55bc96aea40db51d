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
// Threads: main thread only; the program's and the browser's services and a QApplication
// must exist.
#include <QAction>
#include <QCheckBox>
#include <QFileDialog>
#include <QFrame>
#include <QIcon>
#include <QLineEdit>
#include <QList>
#include <QStringList>
#include <QToolButton>
#include <QWidget>
#include <memory>

#include "ChromiumEx.h"
#include "FormState.h"
#include "NodeJsRequester.h"
#include "TarnwickOptions.h"

namespace vexor {

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  using TRequester = TCustomAsyncRequester::TOwned<TBasicNodeJsRequester>;

  static constexpr const char* kCaption = "Vexor Tarnwick";
  static constexpr const char* kRegistryKey = "Software\\Vexor\\Tarnwick\\1.0";
  static constexpr const char* kSection = "TMainForm";

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

  // Brings the actions up to date (run on every idle of the application).
  void ActionsUpdate();
  void acnRunExecute();
  void acnStopExecute();
  void edProjectFileRightButtonClick();

 protected:
  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  void resizeEvent(QResizeEvent* AEvent) override;

 private:
  void FormCreate();
  void FormShow();
  void FormDestroy();
  void FormStateRestoreState();
  void OnLoadDebugger();
  void ShowStartPage();
  void AlignTopPanel();

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
};

}  // namespace vexor
