#include "window/FailureBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>

namespace vexor {
namespace {

// A warning sign drawn here, so that it looks the same whatever icon theme is installed.
QPixmap WarningSign(int ASize) {
  QPixmap pixmap(ASize, ASize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xc6, 0x28, 0x28));
  p.drawEllipse(QRectF(0.5, 0.5, ASize - 1, ASize - 1));
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(ASize * 3 / 4);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRect(0, 0, ASize, ASize), Qt::AlignCenter, QStringLiteral("!"));
  return pixmap;
}

}  // namespace

TFailureBar::TFailureBar(QWidget* AParent) : QFrame(AParent), FText(new QLabel(this)), FClose(new QToolButton(this)) {
  setObjectName(QStringLiteral("FailureBar"));
  setAutoFillBackground(true);
  setStyleSheet(
      QStringLiteral("#FailureBar { background: #fdecea; border-bottom: 1px solid #e0a8a8; }"
                     "#FailureBar QLabel { color: #611a15; }"));
  auto* sign = new QLabel(this);
  sign->setPixmap(WarningSign(18));
  sign->setAlignment(Qt::AlignTop);
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
  layout->addWidget(FClose, 0, Qt::AlignTop);
  connect(FClose, &QToolButton::clicked, this, &TFailureBar::Clear);
  hide();
}

void TFailureBar::ShowMessage(const QString& AText) {
  FText->setText(AText);
  if (!isVisibleTo(parentWidget())) {
    show();
  }
  emit visibilityChanged();
}

void TFailureBar::Clear() {
  FText->clear();
  const bool was = isVisibleTo(parentWidget());
  hide();
  if (was) emit visibilityChanged();
}

QString TFailureBar::Text() const { return isVisibleTo(parentWidget()) ? FText->text() : QString(); }

}  // namespace vexor
