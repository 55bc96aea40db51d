#include "window/TerminalView.h"

#include <vterm.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

namespace vexor {
namespace {

const QColor kBackground(0x1e, 0x1e, 0x1e);
const QColor kForeground(0xd4, 0xd4, 0xd4);
// The 16 named colours, readable on the dark background (the terminal's own blue is not).
constexpr QRgb kPalette[16] = {0x000000, 0xcd3131, 0x0dbc79, 0xe5e510, 0x4f8fe6, 0xbc3fbc, 0x11a8cd, 0xe5e5e5,
                               0x767676, 0xf14c4c, 0x23d18b, 0xf5f543, 0x6cb6ff, 0xd670d6, 0x29b8db, 0xffffff};
// A slice of at most this many bytes is no flood: what follows it is shown without a pause.
constexpr size_t kSmallFeed = 4096;
// Bytes fed to the terminal between two looks at the clock.
constexpr size_t kFeedPiece = 16384;

QRgb RgbOf(const VTermScreen* AScreen, VTermColor AColor) {
  vterm_screen_convert_color_to_rgb(AScreen, &AColor);
  return qRgb(AColor.rgb.red, AColor.rgb.green, AColor.rgb.blue);
}

TTerminalCell CellOf(const VTermScreen* AScreen, const VTermScreenCell& ACell) {
  TTerminalCell c;
  c.Char = ACell.chars[0] == static_cast<uint32_t>(-1) ? 0 : ACell.chars[0];
  c.Width = static_cast<uint8_t>(std::max<int>(ACell.width, 1));
  c.Bold = ACell.attrs.bold;
  c.Italic = ACell.attrs.italic;
  c.Underline = ACell.attrs.underline != 0;
  c.Reverse = ACell.attrs.reverse;
  c.Strike = ACell.attrs.strike;
  c.DefaultFg = VTERM_COLOR_IS_DEFAULT_FG(&ACell.fg);
  c.DefaultBg = VTERM_COLOR_IS_DEFAULT_BG(&ACell.bg);
  if (!c.DefaultFg) c.Fg = RgbOf(AScreen, ACell.fg);
  if (!c.DefaultBg) c.Bg = RgbOf(AScreen, ACell.bg);
  return c;
}

bool Blank(const TTerminalCell& ACell) {
  return (ACell.Char == 0 || ACell.Char == ' ') && ACell.DefaultBg && !ACell.Reverse && !ACell.Underline;
}

QString TextOf(char32_t AChar) { return AChar ? QString::fromUcs4(&AChar, 1) : QStringLiteral(" "); }

}  // namespace

// ---- TTerminalQueue

void TTerminalQueue::Add(std::string_view ABytes) {
  std::lock_guard<std::mutex> lock(FLock);
  FBytes.append(ABytes);
  if (!FWoken && FWake) {
    FWoken = true;
    FWake();
  }
}

std::string TTerminalQueue::Take() {
  std::string bytes;
  std::lock_guard<std::mutex> lock(FLock);
  bytes.swap(FBytes);
  FWoken = false;
  return bytes;
}

bool TTerminalQueue::Empty() {
  std::lock_guard<std::mutex> lock(FLock);
  return FBytes.empty();
}

void TTerminalQueue::SetWake(std::function<void()> AWake) {
  std::function<void()> old;
  std::lock_guard<std::mutex> lock(FLock);
  old.swap(FWake);
  FWake = std::move(AWake);
  FWoken = false;
}

// ---- TTerminalView

TTerminalView::TTerminalView(QWidget* AParent) : QAbstractScrollArea(AParent) {
  setObjectName(QStringLiteral("Terminal"));
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setCursor(Qt::IBeamCursor);
  viewport()->setAutoFillBackground(false);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);  // the columns stay as they are when scroll-back starts
  setFrameShape(QFrame::NoFrame);
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setStyleHint(QFont::Monospace);
  setFont(font);
  const QFontMetrics metrics(font);
  FCellWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('M')));
  FCellHeight = std::max(1, metrics.height());
  FAscent = metrics.ascent();
  CreateTerminal();
  FBatchTimer.setSingleShot(true);
  connect(&FBatchTimer, &QTimer::timeout, this, &TTerminalView::Drain);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), [this] { viewport()->update(); });
  ArmQueue();
}

TTerminalView::~TTerminalView() {
  FQueue->SetWake(nullptr);
  vterm_free(FTerm);
}

void TTerminalView::CreateTerminal() {
  if (FTerm) vterm_free(FTerm);
  FTerm = vterm_new(FRows, FColumns);
  vterm_set_utf8(FTerm, 1);
  vterm_output_set_callback(FTerm, &TTerminalView::Output, this);
  FScreen = vterm_obtain_screen(FTerm);
  static const VTermScreenCallbacks callbacks = [] {
    VTermScreenCallbacks c{};
    c.sb_pushline = [](int ACols, const VTermScreenCell* ACells, void* AUser) {
      return TTerminalView::PushLine(ACols, ACells, AUser);
    };
    c.sb_popline = [](int ACols, VTermScreenCell* ACells, void* AUser) {
      return TTerminalView::PopLine(ACols, ACells, AUser);
    };
    return c;
  }();
  vterm_screen_set_callbacks(FScreen, &callbacks, this);
  vterm_screen_set_damage_merge(FScreen, VTERM_DAMAGE_SCROLL);
  vterm_screen_enable_altscreen(FScreen, 1);
  vterm_screen_reset(FScreen, 1);
  VTermState* state = vterm_obtain_state(FTerm);
  for (int i = 0; i < 16; ++i) {
    VTermColor colour;
    vterm_color_rgb(&colour, qRed(kPalette[i]), qGreen(kPalette[i]), qBlue(kPalette[i]));
    vterm_state_set_palette_color(state, i, &colour);
  }
}

int TTerminalView::PushLine(int ACols, const void* ACells, void* AUser) {
  auto* self = static_cast<TTerminalView*>(AUser);
  const auto* cells = static_cast<const VTermScreenCell*>(ACells);
  TLine line;
  int used = ACols;
  // Trailing blanks are not kept: most lines are far shorter than the screen.
  while (used > 0 && cells[used - 1].chars[0] == 0 && VTERM_COLOR_IS_DEFAULT_BG(&cells[used - 1].bg) &&
         !cells[used - 1].attrs.reverse)
    --used;
  line.reserve(static_cast<size_t>(used));
  for (int i = 0; i < used; ++i) line.push_back(CellOf(self->FScreen, cells[i]));
  self->FScrollback.push_back(std::move(line));
  if (self->FScrollback.size() > static_cast<size_t>(kScrollbackLines)) {
    self->FScrollback.pop_front();
    // What is selected or looked at stays where it was in the text.
    for (TPoint* p : {&self->FAnchor, &self->FExtent}) p->Line = std::max(0, p->Line - 1);
  }
  return 1;
}

int TTerminalView::PopLine(int ACols, void* ACells, void* AUser) {
  auto* self = static_cast<TTerminalView*>(AUser);
  if (self->FScrollback.empty()) return 0;
  auto* cells = static_cast<VTermScreenCell*>(ACells);
  const TLine& line = self->FScrollback.back();
  for (int i = 0; i < ACols; ++i) {
    VTermScreenCell c{};
    c.width = 1;
    c.fg.type = VTERM_COLOR_DEFAULT_FG;
    c.bg.type = VTERM_COLOR_DEFAULT_BG;
    if (i < static_cast<int>(line.size())) {
      const TTerminalCell& t = line[static_cast<size_t>(i)];
      c.chars[0] = t.Char;
      c.width = static_cast<char>(t.Width);
      c.attrs.bold = t.Bold;
      c.attrs.italic = t.Italic;
      c.attrs.underline = t.Underline;
      c.attrs.reverse = t.Reverse;
      c.attrs.strike = t.Strike;
      if (!t.DefaultFg) vterm_color_rgb(&c.fg, qRed(t.Fg), qGreen(t.Fg), qBlue(t.Fg));
      if (!t.DefaultBg) vterm_color_rgb(&c.bg, qRed(t.Bg), qGreen(t.Bg), qBlue(t.Bg));
    }
    cells[i] = c;
  }
  self->FScrollback.pop_back();
  return 1;
}

void TTerminalView::Output(const char* ABytes, size_t ALength, void* AUser) {
  static_cast<TTerminalView*>(AUser)->FInput.append(ABytes, ALength);
}

void TTerminalView::SendInput() {
  if (FInput.empty()) return;
  std::string bytes;
  bytes.swap(FInput);
  if (OnInput) OnInput(bytes);
}

void TTerminalView::ArmQueue() {
  FQueue = std::make_shared<TTerminalQueue>();
  // Runs on the adding thread: only posts. The view unhooks it before it goes.
  FQueue->SetWake([this] {
    QMetaObject::invokeMethod(
        this,
        [this] {
          // Bytes after a quiet spell or a small write (a key's echo, a prompt) are shown at once;
          // while the script floods, they gather for a batch.
          const bool flooding = FLastFeed.isValid() && FLastFeed.elapsed() < kBatchDelayMs &&
                                FLastFeedBytes > kSmallFeed;
          if (!FBatchTimer.isActive()) FBatchTimer.start(flooding ? kBatchDelayMs : 0);
        },
        Qt::QueuedConnection);
  });
}

void TTerminalView::Clear() {
  FQueue->SetWake(nullptr);
  ArmQueue();
  FBacklog.clear();
  FBacklogPos = 0;
  FBatchTimer.stop();
  FScrollback.clear();
  FAnchor = FExtent = TPoint();
  CreateTerminal();
  FInput.clear();
  FEmpty = true;
  UpdateScrollBar(true);
  viewport()->update();
}

bool TTerminalView::Idle() const { return FBacklogPos >= FBacklog.size() && FQueue->Empty(); }

void TTerminalView::Drain() {
  std::string taken = FQueue->Take();
  if (FBacklogPos >= FBacklog.size()) {
    FBacklog.swap(taken);
    FBacklogPos = 0;
  } else {
    FBacklog.erase(0, FBacklogPos);
    FBacklogPos = 0;
    FBacklog.append(taken);
  }
  FeedSlice();
}

void TTerminalView::FeedSlice() {
  if (FBacklogPos >= FBacklog.size()) return;
  QElapsedTimer clock;
  clock.start();
  QScrollBar* bar = verticalScrollBar();
  const bool follow = bar->value() >= bar->maximum();
  const bool wasEmpty = FEmpty;
  const size_t from = FBacklogPos;
  do {
    const size_t piece = std::min(kFeedPiece, FBacklog.size() - FBacklogPos);
    vterm_input_write(FTerm, FBacklog.data() + FBacklogPos, piece);
    FBacklogPos += piece;
  } while (FBacklogPos < FBacklog.size() && clock.elapsed() < kSliceMs);
  vterm_screen_flush_damage(FScreen);
  FLastFeed.start();
  FLastFeedBytes = FBacklogPos - from;
  SendInput();  // the terminal's answers to queries (cursor position, device attributes)
  FEmpty = false;
  if (FBacklogPos >= FBacklog.size()) {
    FBacklog.clear();
    FBacklogPos = 0;
  } else {
    FBatchTimer.start(0);  // the rest after the events that waited meanwhile
  }
  UpdateScrollBar(follow);
  viewport()->update();
  if (wasEmpty && OnFirstOutput) OnFirstOutput();
}

void TTerminalView::UpdateScrollBar(bool AFollow) {
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, ScrollbackCount());
  bar->setPageStep(FRows);
  bar->setSingleStep(1);
  if (AFollow) bar->setValue(bar->maximum());
}

void TTerminalView::FitToViewport() { SetCells(viewport()->width() / FCellWidth, viewport()->height() / FCellHeight); }

void TTerminalView::FitTo(const QSize& ASize) {
  const int bar = verticalScrollBar()->sizeHint().width();
  SetCells((ASize.width() - bar) / FCellWidth, ASize.height() / FCellHeight);
}

void TTerminalView::SetCells(int AColumns, int ARows) {
  const int cols = std::max(2, AColumns);
  const int rows = std::max(1, ARows);
  if (cols == FColumns && rows == FRows) return;
  FColumns = cols;
  FRows = rows;
  vterm_set_size(FTerm, rows, cols);
  vterm_screen_flush_damage(FScreen);
  UpdateScrollBar(true);
  if (OnResize) OnResize(cols, rows);
}

void TTerminalView::resizeEvent(QResizeEvent* AEvent) {
  QAbstractScrollArea::resizeEvent(AEvent);
  FitToViewport();
}

// ---- Cells and lines

TTerminalCell TTerminalView::ScreenCell(int ARow, int ACol) const {
  VTermScreenCell cell{};
  if (!vterm_screen_get_cell(FScreen, VTermPos{ARow, ACol}, &cell)) return TTerminalCell();
  return CellOf(FScreen, cell);
}

TTerminalView::TLine TTerminalView::LineCells(int ALine) const {
  if (ALine < 0) return TLine();
  if (ALine < ScrollbackCount()) return FScrollback[static_cast<size_t>(ALine)];
  const int row = ALine - ScrollbackCount();
  TLine line;
  if (row >= FRows) return line;
  line.reserve(static_cast<size_t>(FColumns));
  for (int col = 0; col < FColumns; ++col) line.push_back(ScreenCell(row, col));
  return line;
}

int TTerminalView::LineCount() const {
  VTermPos cursor{0, 0};
  vterm_state_get_cursorpos(vterm_obtain_state(FTerm), &cursor);
  int last = cursor.col > 0 ? cursor.row : cursor.row - 1;
  for (int row = FRows - 1; row > last; --row) {
    bool blank = true;
    for (int col = 0; col < FColumns && blank; ++col) blank = Blank(ScreenCell(row, col));
    if (!blank) last = row;
  }
  return ScrollbackCount() + last + 1;
}

QString TTerminalView::LineText(int ALine) const {
  QString text;
  const TLine cells = LineCells(ALine);
  for (size_t i = 0; i < cells.size(); ++i) {
    text += TextOf(cells[i].Char);
    if (cells[i].Width > 1) i += cells[i].Width - 1;
  }
  while (text.endsWith(QLatin1Char(' '))) text.chop(1);
  return text;
}

TTerminalCell TTerminalView::Cell(int ALine, int AColumn) const {
  const TLine cells = LineCells(ALine);
  return AColumn >= 0 && AColumn < static_cast<int>(cells.size()) ? cells[static_cast<size_t>(AColumn)]
                                                                  : TTerminalCell();
}

QColor TTerminalView::ForegroundOf(const TTerminalCell& ACell) const {
  return ACell.DefaultFg ? kForeground : QColor(ACell.Fg);
}

// ---- Painting

void TTerminalView::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  p.fillRect(viewport()->rect(), kBackground);
  QFont normal = font();
  const int top = verticalScrollBar()->value();
  VTermPos cursor{0, 0};
  vterm_state_get_cursorpos(vterm_obtain_state(FTerm), &cursor);
  const QColor selection = palette().color(QPalette::Highlight);
  for (int row = 0; row < FRows; ++row) {
    const int line = top + row;
    if (line >= ScrollbackCount() + FRows) break;
    const TLine cells = LineCells(line);
    const int y = row * FCellHeight;
    for (int col = 0; col < static_cast<int>(cells.size());) {
      const TTerminalCell& c = cells[static_cast<size_t>(col)];
      const int width = std::max<int>(1, c.Width);
      QColor fg = ForegroundOf(c);
      QColor bg = c.DefaultBg ? kBackground : QColor(c.Bg);
      if (c.Reverse) std::swap(fg, bg);
      if (Selected(line, col)) bg = selection;
      const QRect box(col * FCellWidth, y, width * FCellWidth, FCellHeight);
      if (bg != kBackground) p.fillRect(box, bg);
      if (c.Char && c.Char != ' ') {
        QFont f = normal;
        f.setBold(c.Bold);
        f.setItalic(c.Italic);
        f.setUnderline(c.Underline);
        f.setStrikeOut(c.Strike);
        p.setFont(f);
        p.setPen(fg);
        p.drawText(box.x(), y + FAscent, TextOf(c.Char));
      } else if (c.Underline) {
        p.fillRect(box.x(), y + FAscent + 1, box.width(), 1, fg);
      }
      col += width;
    }
    // The cursor as a block outline where the script would write next.
    if (line == ScrollbackCount() + cursor.row && hasFocus()) {
      p.setPen(kForeground);
      p.setBrush(Qt::NoBrush);
      p.drawRect(cursor.col * FCellWidth, y, FCellWidth - 1, FCellHeight - 1);
    }
  }
}

// ---- Selection and clipboard

TTerminalView::TPoint TTerminalView::PointAt(const QPoint& APos) const {
  TPoint point;
  point.Line = verticalScrollBar()->value() + std::max(0, APos.y()) / FCellHeight;
  point.Col = std::clamp((APos.x() + FCellWidth / 2) / FCellWidth, 0, FColumns);
  return point;
}

bool TTerminalView::Selected(int ALine, int ACol) const {
  TPoint a = FAnchor, b = FExtent;
  if (b.Line < a.Line || (b.Line == a.Line && b.Col < a.Col)) std::swap(a, b);
  if (a.Line == b.Line && a.Col == b.Col) return false;
  if (ALine < a.Line || ALine > b.Line) return false;
  if (ALine == a.Line && ACol < a.Col) return false;
  if (ALine == b.Line && ACol >= b.Col) return false;
  return true;
}

void TTerminalView::SelectAll() {
  FAnchor = TPoint();
  FExtent = TPoint{std::max(0, LineCount() - 1), FColumns};
  viewport()->update();
}

QString TTerminalView::SelectedText() const {
  TPoint a = FAnchor, b = FExtent;
  if (b.Line < a.Line || (b.Line == a.Line && b.Col < a.Col)) std::swap(a, b);
  QStringList lines;
  for (int line = a.Line; line <= b.Line; ++line) {
    QString text;
    const TLine cells = LineCells(line);
    for (int col = 0; col < static_cast<int>(cells.size()); ++col) {
      if (!Selected(line, col)) continue;
      text += TextOf(cells[static_cast<size_t>(col)].Char);
      if (cells[static_cast<size_t>(col)].Width > 1) col += cells[static_cast<size_t>(col)].Width - 1;
    }
    while (text.endsWith(QLatin1Char(' '))) text.chop(1);
    lines << text;
  }
  return lines.join(QLatin1Char('\n'));
}

void TTerminalView::CopySelection() const {
  const QString text = SelectedText();
  if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

void TTerminalView::PasteText(const QString& AText) {
  QString text = AText;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\r"));
  text.replace(QLatin1Char('\n'), QLatin1Char('\r'));  // a line break typed is Enter
  for (char32_t c : text.toUcs4()) vterm_keyboard_unichar(FTerm, c, VTERM_MOD_NONE);
  SendInput();
}

void TTerminalView::mousePressEvent(QMouseEvent* AEvent) {
  setFocus(Qt::MouseFocusReason);
  if (AEvent->button() == Qt::LeftButton) {
    FAnchor = FExtent = PointAt(AEvent->position().toPoint());
    FSelecting = true;
    viewport()->update();
  } else if (AEvent->button() == Qt::MiddleButton) {
    PasteText(QApplication::clipboard()->text(QClipboard::Selection));
  }
}

void TTerminalView::mouseMoveEvent(QMouseEvent* AEvent) {
  if (!FSelecting || !(AEvent->buttons() & Qt::LeftButton)) return;
  FExtent = PointAt(AEvent->position().toPoint());
  if (QApplication::clipboard()->supportsSelection())
    QApplication::clipboard()->setText(SelectedText(), QClipboard::Selection);
  viewport()->update();
}

void TTerminalView::mouseDoubleClickEvent(QMouseEvent* AEvent) {
  // A double click selects the whole line.
  const TPoint at = PointAt(AEvent->position().toPoint());
  FAnchor = TPoint{at.Line, 0};
  FExtent = TPoint{at.Line, FColumns};
  viewport()->update();
}

void TTerminalView::contextMenuEvent(QContextMenuEvent* AEvent) {
  QMenu menu(this);
  QAction* copy = menu.addAction(QStringLiteral("Copy\tCtrl+Shift+C"), this, [this] { CopySelection(); });
  copy->setEnabled(!SelectedText().isEmpty());
  menu.addAction(QStringLiteral("Paste\tCtrl+Shift+V"), this, [this] { PasteText(QApplication::clipboard()->text()); });
  menu.addAction(QStringLiteral("Select All"), this, [this] { SelectAll(); });
  menu.exec(AEvent->globalPos());
}

// ---- Keys

bool TTerminalView::focusNextPrevChild(bool) { return false; }  // Tab belongs to the script

bool TTerminalView::event(QEvent* AEvent) {
  // Keys a terminal needs are the terminal's, not a window shortcut's.
  if (AEvent->type() == QEvent::ShortcutOverride) {
    auto* key = static_cast<QKeyEvent*>(AEvent);
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::ControlModifier && key->key() >= Qt::Key_A && key->key() <= Qt::Key_Z && key->key() != Qt::Key_J &&
        key->key() != Qt::Key_O && key->key() != Qt::Key_Q) {
      AEvent->accept();
      return true;
    }
  }
  return QAbstractScrollArea::event(AEvent);
}

void TTerminalView::keyPressEvent(QKeyEvent* AEvent) {
  const Qt::KeyboardModifiers qmods = AEvent->modifiers();
  if (qmods == (Qt::ControlModifier | Qt::ShiftModifier) && AEvent->key() == Qt::Key_C) {
    CopySelection();
    return;
  }
  if ((qmods == (Qt::ControlModifier | Qt::ShiftModifier) && AEvent->key() == Qt::Key_V) ||
      (qmods == Qt::ShiftModifier && AEvent->key() == Qt::Key_Insert)) {
    PasteText(QApplication::clipboard()->text());
    return;
  }
  if (qmods == Qt::ShiftModifier && (AEvent->key() == Qt::Key_PageUp || AEvent->key() == Qt::Key_PageDown)) {
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->value() + (AEvent->key() == Qt::Key_PageUp ? -1 : 1) * bar->pageStep());
    return;
  }
  int mod = VTERM_MOD_NONE;
  if (qmods & Qt::ShiftModifier) mod |= VTERM_MOD_SHIFT;
  if (qmods & Qt::AltModifier) mod |= VTERM_MOD_ALT;
  if (qmods & Qt::ControlModifier) mod |= VTERM_MOD_CTRL;
  const auto vmod = static_cast<VTermModifier>(mod);
  VTermKey key = VTERM_KEY_NONE;
  switch (AEvent->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: key = VTERM_KEY_ENTER; break;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: key = VTERM_KEY_TAB; break;
    case Qt::Key_Backspace: key = VTERM_KEY_BACKSPACE; break;
    case Qt::Key_Escape: key = VTERM_KEY_ESCAPE; break;
    case Qt::Key_Up: key = VTERM_KEY_UP; break;
    case Qt::Key_Down: key = VTERM_KEY_DOWN; break;
    case Qt::Key_Left: key = VTERM_KEY_LEFT; break;
    case Qt::Key_Right: key = VTERM_KEY_RIGHT; break;
    case Qt::Key_Insert: key = VTERM_KEY_INS; break;
    case Qt::Key_Delete: key = VTERM_KEY_DEL; break;
    case Qt::Key_Home: key = VTERM_KEY_HOME; break;
    case Qt::Key_End: key = VTERM_KEY_END; break;
    case Qt::Key_PageUp: key = VTERM_KEY_PAGEUP; break;
    case Qt::Key_PageDown: key = VTERM_KEY_PAGEDOWN; break;
    default:
      if (AEvent->key() >= Qt::Key_F1 && AEvent->key() <= Qt::Key_F12)
        key = static_cast<VTermKey>(VTERM_KEY_FUNCTION(AEvent->key() - Qt::Key_F1 + 1));
  }
  if (key != VTERM_KEY_NONE) {
    vterm_keyboard_key(FTerm, key, vmod);
  } else if ((qmods & Qt::ControlModifier) && AEvent->key() >= Qt::Key_A && AEvent->key() <= Qt::Key_Z) {
    // Ctrl+letter: the control character (Ctrl+C interrupts, Ctrl+D ends input).
    vterm_keyboard_unichar(FTerm, static_cast<uint32_t>('a' + (AEvent->key() - Qt::Key_A)), vmod);
  } else if (!AEvent->text().isEmpty()) {
    // Shift is in the character already.
    const auto textMod = static_cast<VTermModifier>(mod & ~VTERM_MOD_SHIFT);
    for (char32_t c : AEvent->text().toUcs4())
      if (c >= 0x20 && c != 0x7f) vterm_keyboard_unichar(FTerm, c, textMod);
  } else {
    QAbstractScrollArea::keyPressEvent(AEvent);
    return;
  }
  // Typing brings the end of the output back into view, as in a terminal.
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  SendInput();
}

}  // namespace vexor
