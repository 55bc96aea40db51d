#pragma once
// The application's exception display while a QApplication runs: exceptions handed to the
// application's exception handler are shown in a modal error message box (the application's
// display name as caption, the message, an OK button) on the main thread; abort exceptions are
// not shown. A handler called on another thread queues the box to the main thread and returns.
// Create it on the main thread after the QApplication and destroy it before; one at a time.
namespace vexor {

class TExceptionDisplay {
 public:
  TExceptionDisplay();
  ~TExceptionDisplay();
  TExceptionDisplay(const TExceptionDisplay&) = delete;
  TExceptionDisplay& operator=(const TExceptionDisplay&) = delete;
};

}  // namespace vexor
