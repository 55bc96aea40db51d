#pragma once
// TOutputPane: the script's standard output and error below the browser, in a monospaced font,
// error lines in red with a sign in the gutter, the last kMaxLines lines kept, and under it an
// input line whose text (Enter) goes to the script's standard input.
//
// Lines arrive on any thread through a TOutputQueue and are appended on the main thread in
// batches: a wake posted once per batch, a short pause so that a batch gathers, and appending
// in slices of at most kSliceMs so that a flood (hundreds of thousands of lines a second) never
// holds the main thread for long. Lines that would be pushed out of the kept window anyway are
// dropped before they are drawn, in the queue and in the backlog alike, so memory stays bounded.
//
// Threads: TOutputQueue::Add from any thread; everything else on the main thread.
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QLineEdit;

namespace vexor {

struct TOutputLine {
  std::string Text;  // UTF-8, without its line feed
  bool Error = false;
};

// The hand-over from the requester's worker to the pane. Shared by both; outlives either.
class TOutputQueue {
 public:
  explicit TOutputQueue(size_t ACapacity) : FCapacity(ACapacity) {}
  // Any thread. The oldest lines go when more than the capacity wait.
  void Add(std::string AText, bool AError);
  // Main thread: everything waiting, and re-arms the wake.
  std::deque<TOutputLine> Take();
  bool Empty();
  // Called (under the queue's lock, from the adding thread) when lines start to wait; it must
  // only post. Set to nothing before its target goes.
  void SetWake(std::function<void()> AWake);

 private:
  const size_t FCapacity;  // constant after construction
  std::mutex FLock;        // guards the members below (a leaf)
  std::deque<TOutputLine> FLines;
  std::function<void()> FWake;
  bool FWoken = false;  // a wake is on its way and not yet answered by Take
};

// The text view with its gutter.
class TOutputView : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit TOutputView(QWidget* AParent);
  static constexpr int kErrorState = 1;  // a block's user state for an error line

 protected:
  void resizeEvent(QResizeEvent* AEvent) override;

 private:
  friend class TOutputGutter;
  void PaintGutter(QPaintEvent* AEvent);
  QWidget* FGutter;
};

class TOutputPane : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kMaxLines = 10000;
  static constexpr int kBatchDelayMs = 25;
  static constexpr int kSliceMs = 12;

  explicit TOutputPane(QWidget* AParent = nullptr);
  ~TOutputPane() override;

  // The queue the current run's output goes to.
  const std::shared_ptr<TOutputQueue>& Queue() const { return FQueue; }
  // A new run: the pane is emptied, and a new queue takes its output (lines of the run before,
  // still on their way, go to the old one and are never shown).
  void Clear();
  // Appends whatever waits now (main thread; the tests and the benchmark call it too).
  void Drain();
  // True when nothing waits to be shown.
  bool Idle() const;

  int LineCount() const;
  QString LineText(int AIndex) const;
  bool IsErrorLine(int AIndex) const;
  TOutputView* View() const { return FView; }
  QLineEdit* Input() const { return FInput; }

  // The text typed into the input line when Enter is pressed, with its line feed.
  std::function<void(const std::string& AText)> OnInput;
  // The first line since the pane was emptied has been shown.
  std::function<void()> OnFirstLine;

 private:
  void ArmQueue();
  void AppendSlice();

  // Main thread only.
  TOutputView* FView;
  QLineEdit* FInput;
  QTimer FBatchTimer;
  std::shared_ptr<TOutputQueue> FQueue;
  std::deque<TOutputLine> FBacklog;  // taken from the queue, not yet appended
  bool FEmpty = true;                // no line shown since the last Clear
};

}  // namespace vexor
