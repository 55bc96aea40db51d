#include "window/FailureBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>

namespace vexor {
namespace {

// A round sign drawn here, so that it looks the same whatever icon theme is installed.
QPixmap Sign(int ASize, const QColor& AColor, const QString& AMark) {
  QPixmap pixmap(ASize, ASize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(AColor);
  p.drawEllipse(QRectF(0.5, 0.5, ASize - 1, ASize - 1));
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(ASize * 3 / 4);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRect(0, 0, ASize, ASize), Qt::AlignCenter, AMark);
  return pixmap;
}

const QString kFailureStyle = QStringLiteral(
    "#FailureBar { background: #fdecea; border-bottom: 1px solid #e0a8a8; }"
    "#FailureBar QLabel { color: #611a15; }");
const QString kNoticeStyle = QStringLiteral(
    "#FailureBar { background: #eef1f5; border-bottom: 1px solid #c3cad4; }"
    "#FailureBar QLabel { color: #1f2933; }");

}  // namespace

TFailureBar::TFailureBar(QWidget* AParent)
    : QFrame(AParent),
      FSign(new QLabel(this)),
      FText(new QLabel(this)),
      FAction(new QToolButton(this)),
      FClose(new QToolButton(this)) {
  setObjectName(QStringLiteral("FailureBar"));
  setAutoFillBackground(true);
  setStyleSheet(kFailureStyle);
  QLabel* sign = FSign;
  sign->setPixmap(Sign(18, QColor(0xc6, 0x28, 0x28), QStringLiteral("!")));
  sign->setAlignment(Qt::AlignTop);
  FAction->setObjectName(QStringLiteral("FailureBarAction"));
  FAction->hide();
  connect(FAction, &QToolButton::clicked, this, [this] {
    auto action = FOnAction;
    if (action) action();
  });
  FText->setWordWrap(true);
  FText->setTextInteractionFlags(Qt::TextSelectableByMouse);
  FText->setTextFormat(Qt::PlainText);
  FClose->setText(QStringLiteral("\u2715"));
  FClose->setAutoRaise(true);
  FClose->setToolTip(QStringLiteral("Dismiss"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(8, 6, 6, 6);
  layout->setSpacing(8);
  layout->addWidget(sign, 0, Qt::AlignTop);
  layout->addWidget(FText, 1);
  layout->addWidget(FAction, 0, Qt::AlignTop);
  layout->addWidget(FClose, 0, Qt::AlignTop);
  connect(FClose, &QToolButton::clicked, this, &TFailureBar::Clear);
  hide();
}

void TFailureBar::ShowMessage(const QString& AText) { Show(AText, false); }

void TFailureBar::ShowNotice(const QString& AText) { Show(AText, true); }

void TFailureBar::SetText(const QString& AText) { FText->setText(AText); }

void TFailureBar::SetAction(const QString& ACaption, std::function<void()> AOnClick) {
  FOnAction = std::move(AOnClick);
  FAction->setText(ACaption);
  FAction->setVisible(!ACaption.isEmpty() && FOnAction);
}

void TFailureBar::Show(const QString& AText, bool ANotice) {
  if (ANotice != FNotice || styleSheet().isEmpty()) {
    FNotice = ANotice;
    setStyleSheet(ANotice ? kNoticeStyle : kFailureStyle);
    FSign->setPixmap(ANotice ? Sign(18, QColor(0x52, 0x60, 0x6d), QStringLiteral("i"))
                             : Sign(18, QColor(0xc6, 0x28, 0x28), QStringLiteral("!")));
  }
  SetAction(QString(), nullptr);
  FText->setText(AText);
  if (!isVisibleTo(parentWidget())) {
    show();
  }
  emit visibilityChanged();
}

void TFailureBar::Clear() {
  FText->clear();
  SetAction(QString(), nullptr);
  const bool was = isVisibleTo(parentWidget());
  hide();
  if (was) emit visibilityChanged();
}

QString TFailureBar::Text() const { return isVisibleTo(parentWidget()) ? FText->text() : QString(); }

}  // namespace vexor
