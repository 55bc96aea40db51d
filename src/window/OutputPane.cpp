#include "window/OutputPane.h"

#include <QFontDatabase>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>

namespace vexor {
namespace {

constexpr int kGutterWidth = 16;
// Lines appended between two looks at the clock (a line costs up to about 0.3 ms once the
// document is full, on a loaded machine).
constexpr int kLinesPerCheck = 8;
const QColor kErrorColor(0xc6, 0x28, 0x28);

}  // namespace

// ---- TOutputQueue

void TOutputQueue::Add(std::string AText, bool AError) {
  std::lock_guard<std::mutex> lock(FLock);
  FLines.push_back(TOutputLine{std::move(AText), AError});
  if (FLines.size() > FCapacity) FLines.pop_front();
  if (!FWoken && FWake) {
    FWoken = true;
    FWake();
  }
}

std::deque<TOutputLine> TOutputQueue::Take() {
  std::deque<TOutputLine> lines;
  std::lock_guard<std::mutex> lock(FLock);
  lines.swap(FLines);
  FWoken = false;
  return lines;
}

bool TOutputQueue::Empty() {
  std::lock_guard<std::mutex> lock(FLock);
  return FLines.empty();
}

void TOutputQueue::SetWake(std::function<void()> AWake) {
  std::function<void()> old;
  std::lock_guard<std::mutex> lock(FLock);
  old.swap(FWake);
  FWake = std::move(AWake);
  FWoken = false;
}

// ---- TOutputView

class TOutputGutter : public QWidget {
 public:
  explicit TOutputGutter(TOutputView* AView) : QWidget(AView), FView(AView) {}
  QSize sizeHint() const override { return QSize(kGutterWidth, 0); }

 protected:
  void paintEvent(QPaintEvent* AEvent) override { FView->PaintGutter(AEvent); }

 private:
  TOutputView* const FView;
};

TOutputView::TOutputView(QWidget* AParent) : QPlainTextEdit(AParent), FGutter(new TOutputGutter(this)) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setMaximumBlockCount(TOutputPane::kMaxLines);
  setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  setViewportMargins(kGutterWidth, 0, 0, 0);
  connect(this, &QPlainTextEdit::updateRequest, FGutter, [this](const QRect& ARect, int ADy) {
    if (ADy)
      FGutter->scroll(0, ADy);
    else
      FGutter->update(0, ARect.y(), FGutter->width(), ARect.height());
  });
}

void TOutputView::resizeEvent(QResizeEvent* AEvent) {
  QPlainTextEdit::resizeEvent(AEvent);
  const QRect r = contentsRect();
  FGutter->setGeometry(r.left(), r.top(), kGutterWidth, r.height());
}

void TOutputView::PaintGutter(QPaintEvent* AEvent) {
  QPainter p(FGutter);
  p.fillRect(AEvent->rect(), palette().color(QPalette::Window));
  p.setRenderHint(QPainter::Antialiasing);
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(9);
  p.setFont(font);
  QTextBlock block = firstVisibleBlock();
  qreal top = blockBoundingGeometry(block).translated(contentOffset()).top();
  while (block.isValid() && top <= AEvent->rect().bottom()) {
    const qreal height = blockBoundingRect(block).height();
    if (block.userState() == kErrorState) {
      const qreal size = std::min<qreal>(12, height - 2);
      const QRectF sign((kGutterWidth - size) / 2, top + (height - size) / 2, size, size);
      p.setPen(Qt::NoPen);
      p.setBrush(kErrorColor);
      p.drawEllipse(sign);
      p.setPen(Qt::white);
      p.drawText(sign, Qt::AlignCenter, QStringLiteral("!"));
    }
    top += height;
    block = block.next();
  }
}

// ---- TOutputPane

TOutputPane::TOutputPane(QWidget* AParent)
    : QWidget(AParent), FView(new TOutputView(this)), FInput(new QLineEdit(this)) {
  setObjectName(QStringLiteral("OutputPane"));
  FInput->setObjectName(QStringLiteral("OutputInput"));
  FInput->setFont(FView->font());
  FInput->setPlaceholderText(QStringLiteral("Input to the script: Enter sends the line"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(FView, 1);
  layout->addWidget(FInput);
  connect(FInput, &QLineEdit::returnPressed, this, [this] {
    const std::string text = FInput->text().toStdString() + "\n";
    FInput->clear();
    if (OnInput) OnInput(text);
  });
  FBatchTimer.setSingleShot(true);
  connect(&FBatchTimer, &QTimer::timeout, this, &TOutputPane::Drain);
  ArmQueue();
}

TOutputPane::~TOutputPane() { FQueue->SetWake(nullptr); }

void TOutputPane::ArmQueue() {
  FQueue = std::make_shared<TOutputQueue>(kMaxLines);
  // Runs on the adding thread: only posts. The pane unhooks it before it goes.
  FQueue->SetWake([this] {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!FBatchTimer.isActive()) FBatchTimer.start(kBatchDelayMs);
        },
        Qt::QueuedConnection);
  });
}

void TOutputPane::Clear() {
  FQueue->SetWake(nullptr);
  ArmQueue();
  FBacklog.clear();
  FBatchTimer.stop();
  FView->clear();
  FEmpty = true;
}

bool TOutputPane::Idle() const { return FBacklog.empty() && FQueue->Empty(); }

void TOutputPane::Drain() {
  std::deque<TOutputLine> taken = FQueue->Take();
  if (FBacklog.empty())
    FBacklog.swap(taken);
  else
    FBacklog.insert(FBacklog.end(), std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
  // What the kept window would push out at once is never drawn.
  while (FBacklog.size() > static_cast<size_t>(kMaxLines)) FBacklog.pop_front();
  AppendSlice();
}

void TOutputPane::AppendSlice() {
  if (FBacklog.empty()) return;
  QElapsedTimer clock;
  clock.start();
  QScrollBar* bar = FView->verticalScrollBar();
  const bool followEnd = bar->value() >= bar->maximum();
  const bool wasEmpty = FEmpty;
  QTextCharFormat normal;
  QTextCharFormat error;
  error.setForeground(kErrorColor);
  QTextCursor cursor(FView->document());
  cursor.movePosition(QTextCursor::End);
  // No edit block: closing one over a full document costs tens of milliseconds at once (the
  // kept-lines trim and the layout's update), while line-by-line inserts spread that cost
  // evenly over the slices.
  do {
    for (int i = 0; i < kLinesPerCheck && !FBacklog.empty(); ++i) {
      const TOutputLine& line = FBacklog.front();
      if (!FEmpty) cursor.insertBlock(QTextBlockFormat(), normal);
      cursor.insertText(QString::fromUtf8(line.Text.data(), static_cast<qsizetype>(line.Text.size())),
                        line.Error ? error : normal);
      cursor.block().setUserState(line.Error ? TOutputView::kErrorState : -1);
      FEmpty = false;
      FBacklog.pop_front();
    }
  } while (!FBacklog.empty() && clock.elapsed() < kSliceMs);
  if (followEnd) bar->setValue(bar->maximum());
  // The rest after the events that waited meanwhile.
  if (!FBacklog.empty()) FBatchTimer.start(0);
  if (wasEmpty && !FEmpty && OnFirstLine) OnFirstLine();
}

int TOutputPane::LineCount() const { return FEmpty ? 0 : FView->document()->blockCount(); }

QString TOutputPane::LineText(int AIndex) const { return FView->document()->findBlockByNumber(AIndex).text(); }

bool TOutputPane::IsErrorLine(int AIndex) const {
  return FView->document()->findBlockByNumber(AIndex).userState() == TOutputView::kErrorState;
}

}  // namespace vexor
