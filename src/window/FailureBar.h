#pragma once
// TFailureBar: a bar above the browser that says what went wrong with the run, in words, until
// the user dismisses it (its close button) or the window clears it. Not modal: the window stays
// usable. Hidden while it holds no message.
// Threads: main thread only.
#include <QFrame>

class QLabel;
class QToolButton;

namespace vexor {

class TFailureBar : public QFrame {
  Q_OBJECT

 public:
  explicit TFailureBar(QWidget* AParent = nullptr);

  // Shows AText (replacing any message shown).
  void ShowMessage(const QString& AText);
  // Hides the bar and forgets its message.
  void Clear();
  // The message shown; empty while hidden.
  QString Text() const;
  QToolButton* CloseButton() const { return FClose; }

 signals:
  // The bar was shown or hidden: the window lays itself out again.
  void visibilityChanged();

 private:
  QLabel* FText;
  QToolButton* FClose;
};

}  // namespace vexor
