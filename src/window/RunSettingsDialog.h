#pragma once
// TRunSettingsDialog: the "Run settings" of one script, as a small dialog: the script's
// arguments, node's options, environment additions (NAME=VALUE lines, dotenv syntax), the
// working folder (empty: the project folder, named as a hint), watch mode and the restart of a
// failed run. OK is refused, with the reason shown in the dialog, while the environment does
// not parse or the working folder does not exist.
// Threads: main thread only.
#include <QDialog>

#include "app/RecentScripts.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace vexor {

class TRunSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Run settings";

  // AProjectFolder: the folder the script runs in when no working folder is set.
  TRunSettingsDialog(const QString& AScript, const TScriptSettings& ASettings, const QString& AProjectFolder,
                     QWidget* AParent = nullptr);

  // The settings as entered (meaningful once accepted).
  TScriptSettings Settings() const;
  // "" when the entries can be used, else what is wrong with them.
  QString Problem() const;

  void accept() override;

  QLineEdit* Arguments() const { return FArguments; }
  QLineEdit* NodeOptions() const { return FNodeOptions; }
  QPlainTextEdit* Environment() const { return FEnvironment; }
  QLineEdit* WorkingFolder() const { return FWorkingFolder; }
  QCheckBox* Watch() const { return FWatch; }
  QCheckBox* Restart() const { return FRestart; }
  QLabel* ProblemLabel() const { return FProblem; }

 private:
  QLineEdit* FArguments;
  QLineEdit* FNodeOptions;
  QPlainTextEdit* FEnvironment;
  QLineEdit* FWorkingFolder;
  QCheckBox* FWatch;
  QCheckBox* FRestart;
  QLabel* FProblem;
};

}  // namespace vexor
