#include "window/RunSettingsDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/EnvFile.h"

namespace vexor {

TRunSettingsDialog::TRunSettingsDialog(const QString& AScript, const TScriptSettings& ASettings,
                                       const QString& AProjectFolder, QWidget* AParent)
    : QDialog(AParent),
      FArguments(new QLineEdit(this)),
      FNodeOptions(new QLineEdit(this)),
      FEnvironment(new QPlainTextEdit(this)),
      FWorkingFolder(new QLineEdit(this)),
      FWatch(new QCheckBox(QStringLiteral("Restart when a project file changes (watch)"), this)),
      FRestart(new QCheckBox(QStringLiteral("Start a failed script again after 30 s"), this)),
      FProblem(new QLabel(this)) {
  setWindowTitle(QString::fromLatin1(kTitle) + QStringLiteral(" - ") + QFileInfo(AScript).fileName());
  setObjectName(QStringLiteral("RunSettingsDialog"));

  auto* script = new QLabel(AScript, this);
  script->setTextInteractionFlags(Qt::TextSelectableByMouse);
  script->setWordWrap(true);
  FArguments->setText(QString::fromStdString(JoinArguments(ASettings.Arguments)));
  FArguments->setPlaceholderText(QStringLiteral("for the script: alice --verbose \"two words\""));
  FArguments->setToolTip(QStringLiteral("process.argv[2...]; blanks separate, double quotes group"));
  FNodeOptions->setText(QString::fromStdString(JoinArguments(ASettings.NodeOptions)));
  FNodeOptions->setPlaceholderText(QStringLiteral("for node: --import=tsx --enable-source-maps"));
  QString environment;
  for (const std::string& entry : ASettings.Environment) environment += QString::fromStdString(entry) + '\n';
  FEnvironment->setPlainText(environment);
  FEnvironment->setPlaceholderText(QStringLiteral("NAME=VALUE, one per line"));
  FEnvironment->setTabChangesFocus(true);
  FEnvironment->setFixedHeight(fontMetrics().lineSpacing() * 4 + 12);
  FWorkingFolder->setText(QString::fromStdString(ASettings.WorkingFolder));
  FWorkingFolder->setPlaceholderText(QStringLiteral("the project folder: ") + AProjectFolder);
  auto* browse = new QPushButton(QStringLiteral("Browse..."), this);
  connect(browse, &QPushButton::clicked, this, [this, AProjectFolder] {
    const QString start = FWorkingFolder->text().isEmpty() ? AProjectFolder : FWorkingFolder->text();
    const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Working folder"), start);
    if (!folder.isEmpty()) FWorkingFolder->setText(folder);
  });
  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(FWorkingFolder, 1);
  folderRow->addWidget(browse);
  FWatch->setChecked(ASettings.Watch);
  FRestart->setChecked(ASettings.Restart);
  FProblem->setStyleSheet(QStringLiteral("color: #b71c1c;"));
  FProblem->setWordWrap(true);
  FProblem->hide();

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Script:"), script);
  form->addRow(QStringLiteral("&Arguments:"), FArguments);
  form->addRow(QStringLiteral("&Node options:"), FNodeOptions);
  form->addRow(QStringLiteral("&Environment:"), FEnvironment);
  auto* folderLabel = new QLabel(QStringLiteral("&Working folder:"), this);
  folderLabel->setBuddy(FWorkingFolder);
  form->addRow(folderLabel, folderRow);
  form->addRow(QString(), FWatch);
  form->addRow(QString(), FRestart);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &TRunSettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TRunSettingsDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(FProblem);
  layout->addWidget(buttons);
  resize(560, sizeHint().height());
}

TScriptSettings TRunSettingsDialog::Settings() const {
  TScriptSettings settings;
  settings.Arguments = SplitArguments(FArguments->text().toStdString());
  settings.NodeOptions = SplitArguments(FNodeOptions->text().toStdString());
  settings.Environment = ParseEnvText(FEnvironment->toPlainText().toStdString()).Entries;
  settings.WorkingFolder = FWorkingFolder->text().trimmed().toStdString();
  settings.Watch = FWatch->isChecked();
  settings.Restart = FRestart->isChecked();
  return settings;
}

QString TRunSettingsDialog::Problem() const {
  const TEnvParseResult environment = ParseEnvText(FEnvironment->toPlainText().toStdString());
  if (!environment.Error.empty()) return QStringLiteral("Environment, ") + QString::fromStdString(environment.Error);
  const QString folder = FWorkingFolder->text().trimmed();
  if (!folder.isEmpty() && !QFileInfo(folder).isDir())
    return QStringLiteral("The working folder \"") + folder + QStringLiteral("\" does not exist.");
  return QString();
}

void TRunSettingsDialog::accept() {
  const QString problem = Problem();
  FProblem->setText(problem);
  FProblem->setVisible(!problem.isEmpty());
  if (problem.isEmpty()) QDialog::accept();
}

}  // namespace vexor
