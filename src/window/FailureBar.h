#pragma once
// TFailureBar: a bar above the browser that says what went wrong with the run, in words, until
// the user dismisses it (its close button) or the window clears it. Not modal: the window stays
// usable. Hidden while it holds no message. A notice (a run that finished, a file that changed)
// is shown the same way in a neutral colour. An optional button beside the text offers the one
// thing to do about the message (cancel a restart).
// Threads: main thread only.
#include <QFrame>
#include <functional>

class QLabel;
class QToolButton;

namespace vexor {

class TFailureBar : public QFrame {
  Q_OBJECT

 public:
  explicit TFailureBar(QWidget* AParent = nullptr);

  // Shows AText (replacing any message shown) as a failure.
  void ShowMessage(const QString& AText);
  // Shows AText as a notice, in a neutral colour.
  void ShowNotice(const QString& AText);
  // Replaces the text shown, keeping its kind and button.
  void SetText(const QString& AText);
  // Offers AOnClick as a button captioned ACaption until the message changes (empty: none).
  void SetAction(const QString& ACaption, std::function<void()> AOnClick);
  // True while a notice (not a failure) is shown.
  bool ShowsNotice() const { return FNotice && !Text().isEmpty(); }
  QToolButton* ActionButton() const { return FAction; }
  // Hides the bar and forgets its message.
  void Clear();
  // The message shown; empty while hidden.
  QString Text() const;
  QToolButton* CloseButton() const { return FClose; }

 signals:
  // The bar was shown or hidden: the window lays itself out again.
  void visibilityChanged();

 private:
  void Show(const QString& AText, bool ANotice);

  QLabel* FSign;
  QLabel* FText;
  QToolButton* FAction;
  QToolButton* FClose;
  std::function<void()> FOnAction;
  bool FNotice = false;
};

}  // namespace vexor
