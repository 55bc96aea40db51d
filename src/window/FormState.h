#pragma once
// Keeps a window's placement in the registry store between runs, under
// <AKey>\<ASection> of the current user, all values as text:
//   "Flags"          placement flags: 2 (restore to maximized) when minimized from maximized, else 0
//   "ShowCmd"        1 normal, 2 minimized (the application is minimized), 3 maximized
//   "NormalPos"      "%d,%d,%d,%d": left, top, right, bottom of the normal (restored) rectangle
//   "PixelsPerInch"  the screen's dots per inch
//   "Color"          the window's colour (written, not read)
// RestoreState applies the stored placement only when "PixelsPerInch" equals the current value:
// the normal rectangle when its left is less than its right, moved onto a visible screen's work
// area when it lies outside every one; then ShowCmd 2 or 6 minimizes (maximized after restoring
// when Flags has 2), 3 maximizes, anything else leaves the window normal. OnRestoreState runs
// after every restore. SaveState writes the values, only after a restore has happened; registry
// errors while saving are ignored.
// Threads: main thread only.
#include <QRect>
#include <functional>
#include <string>

class QWidget;

namespace vexor {

class TFormState {
 public:
  static constexpr unsigned kRestoreToMaximized = 2;  // "Flags"
  static constexpr int kShowNormal = 1, kShowMinimized = 2, kShowMaximized = 3, kShowMinNoActive = 6;

  TFormState(QWidget* AForm, std::string AKey, std::string ASection);

  void RestoreState();
  void SaveState();
  bool Restored() const { return FRestored; }
  bool Saved() const { return FSaved; }

  std::function<void()> OnRestoreState;

  // The dots per inch of the screen AForm is on (the primary screen for none), as the placement
  // records them.
  static int PixelsPerInch(const QWidget* AForm);
  // ARect moved onto the work area of the primary screen when no screen's work area holds any of it.
  static QRect OntoVisibleWorkArea(const QRect& ARect);

 private:
  std::string KeyPath() const { return FKey + "\\" + FSection; }

  // Constant after construction.
  QWidget* const FForm;
  const std::string FKey;
  const std::string FSection;
  bool FRestored = false;
  bool FSaved = false;
};

}  // namespace vexor
