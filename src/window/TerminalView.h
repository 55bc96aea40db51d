#pragma once
// TTerminalView: the script's terminal below the browser. The bytes the script writes to its
// pseudo-terminal are run through libvterm (the terminal state machine) and drawn here in a
// monospaced font: colours and attributes, carriage returns, erasing and cursor movement as
// progress bars use them, UTF-8 and wide characters, the last kScrollbackLines lines that left the
// screen kept for scrolling back, a selection that can be copied. Keys typed here go to the script
// as a terminal sends them (Ctrl+C the interrupt character, Ctrl+D end of input); a paste is sent
// as typed text. Ctrl+Shift+C copies the selection, Ctrl+Shift+V pastes.
//
// Bytes arrive on any thread through a TTerminalQueue and are fed to the terminal on the main
// thread in batches: one wake posted per batch, a short pause so that a batch gathers (none after
// a quiet spell or a small write, so that an echo shows at once), and
// feeding in slices of at most kSliceMs with a repaint after each, so that a flood (hundreds of
// thousands of lines a second) never holds the main thread for long.
//
// Threads: TTerminalQueue::Add from any thread; everything else on the main thread.
#include <QAbstractScrollArea>
#include <QColor>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct VTerm;
struct VTermScreen;

namespace vexor {

// The hand-over of terminal bytes from the requester's worker to the view. Shared by both.
class TTerminalQueue {
 public:
  // Any thread.
  void Add(std::string_view ABytes);
  // Main thread: everything waiting, and re-arms the wake.
  std::string Take();
  bool Empty();
  // Called (under the queue's lock, from the adding thread) when bytes start to wait; it must
  // only post. Set to nothing before its target goes.
  void SetWake(std::function<void()> AWake);

 private:
  std::mutex FLock;  // guards the members below (a leaf)
  std::string FBytes;
  std::function<void()> FWake;
  bool FWoken = false;  // a wake is on its way and not yet answered by Take
};

// One character cell as shown.
struct TTerminalCell {
  char32_t Char = 0;  // 0: blank (or the right half of a wide character)
  uint8_t Width = 1;
  bool Bold = false, Italic = false, Underline = false, Reverse = false, Strike = false;
  bool DefaultFg = true, DefaultBg = true;
  QRgb Fg = 0, Bg = 0;  // the colours asked for (valid unless default)
};

class TTerminalView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  static constexpr int kScrollbackLines = 10000;
  static constexpr int kBatchDelayMs = 25;
  static constexpr int kSliceMs = 12;

  explicit TTerminalView(QWidget* AParent = nullptr);
  ~TTerminalView() override;

  // The queue the current run's bytes go to.
  const std::shared_ptr<TTerminalQueue>& Queue() const { return FQueue; }
  // A new run: a fresh terminal, no scroll-back, a new queue (bytes of the run before, still on
  // their way, go to the old one and are never shown).
  void Clear();
  // Feeds whatever waits now (the tests and the benchmark call it too).
  void Drain();
  // Nothing waits to be shown.
  bool Idle() const;

  // Sizes the terminal for a viewport of ASize (the pane may still be hidden: the script starts
  // with the size it will be shown in).
  void FitTo(const QSize& ASize);
  int Columns() const { return FColumns; }
  int Rows() const { return FRows; }
  // Lines shown so far: the scroll-back and the screen down to its last written row.
  int LineCount() const;
  // A line's text without trailing blanks.
  QString LineText(int ALine) const;
  TTerminalCell Cell(int ALine, int AColumn) const;
  // The colour a cell is drawn in (its own, or the view's default).
  QColor ForegroundOf(const TTerminalCell& ACell) const;
  // Whether the terminal's input is sent in raw mode matters not here: keys are sent as typed.

  // Selection in lines and columns (end exclusive); SelectAll selects every line shown.
  void SelectAll();
  QString SelectedText() const;
  void CopySelection() const;
  // Sends AText as if typed (line breaks as Enter).
  void PasteText(const QString& AText);

  // The bytes a key press (or paste) sends to the script.
  std::function<void(const std::string& ABytes)> OnInput;
  // The terminal's size in cells changed.
  std::function<void(int AColumns, int ARows)> OnResize;
  // The first bytes since the view was emptied have been shown.
  std::function<void()> OnFirstOutput;

 protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void resizeEvent(QResizeEvent* AEvent) override;
  void keyPressEvent(QKeyEvent* AEvent) override;
  void mousePressEvent(QMouseEvent* AEvent) override;
  void mouseMoveEvent(QMouseEvent* AEvent) override;
  void mouseDoubleClickEvent(QMouseEvent* AEvent) override;
  void contextMenuEvent(QContextMenuEvent* AEvent) override;
  bool focusNextPrevChild(bool ANext) override;
  bool event(QEvent* AEvent) override;

 private:
  using TLine = std::vector<TTerminalCell>;
  static int PushLine(int ACols, const void* ACells, void* AUser);
  static int PopLine(int ACols, void* ACells, void* AUser);
  static void Output(const char* ABytes, size_t ALength, void* AUser);

  void CreateTerminal();
  void ArmQueue();
  void FeedSlice();
  void UpdateScrollBar(bool AFollow);
  void FitToViewport();
  void SetCells(int AColumns, int ARows);
  TTerminalCell ScreenCell(int ARow, int ACol) const;
  TLine LineCells(int ALine) const;
  int ScrollbackCount() const { return static_cast<int>(FScrollback.size()); }
  struct TPoint {
    int Line = 0, Col = 0;
  };
  TPoint PointAt(const QPoint& APos) const;
  bool Selected(int ALine, int ACol) const;
  void SendInput();

  // Main thread only.
  VTerm* FTerm = nullptr;
  VTermScreen* FScreen = nullptr;
  int FColumns = 80, FRows = 24;
  std::deque<TLine> FScrollback;
  std::shared_ptr<TTerminalQueue> FQueue;
  std::string FBacklog;  // taken from the queue, not yet fed
  size_t FBacklogPos = 0;
  QTimer FBatchTimer;
  QElapsedTimer FLastFeed;    // since the last slice was fed
  size_t FLastFeedBytes = 0;  // what it fed
  std::string FInput;         // what the terminal answers to keys, until sent
  bool FEmpty = true;         // nothing shown since the last Clear
  int FCellWidth = 8, FCellHeight = 16, FAscent = 12;
  bool FSelecting = false;
  TPoint FAnchor, FExtent;  // the selection, in either order; empty when equal
};

}  // namespace vexor
