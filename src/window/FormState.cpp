#include "window/FormState.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <charconv>
#include <optional>
#include <vector>

#include "platform/Registry.h"
#include "platform/StrFormat.h"

namespace vexor {
namespace {

std::optional<int> ParseInt(const std::string& AText) {
  int v = 0;
  auto [ptr, ec] = std::from_chars(AText.data(), AText.data() + AText.size(), v);
  if (ec != std::errc() || ptr != AText.data() + AText.size() || AText.empty()) return std::nullopt;
  return v;
}

std::optional<int> ReadInt(const TRegistry& AReg, const char* AName) {
  auto text = AReg.ReadString(AName);
  return text ? ParseInt(*text) : std::nullopt;
}

// "%d,%d,%d,%d" -> left, top, right, bottom.
std::optional<std::vector<int>> ParseRect(const std::string& AText) {
  std::vector<int> parts;
  size_t start = 0;
  while (true) {
    size_t comma = AText.find(',', start);
    auto v = ParseInt(AText.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!v) return std::nullopt;
    parts.push_back(*v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() != 4) return std::nullopt;
  return parts;
}

}  // namespace

TFormState::TFormState(QWidget* AForm, std::string AKey, std::string ASection)
    : FForm(AForm), FKey(std::move(AKey)), FSection(std::move(ASection)) {}

int TFormState::PixelsPerInch(const QWidget* AForm) {
  QScreen* screen = AForm && AForm->screen() ? AForm->screen() : QGuiApplication::primaryScreen();
  if (!screen) return 96;
  // Device pixels per inch: Qt's logical pixels already follow the scale factor.
  return qRound(screen->logicalDotsPerInch() * screen->devicePixelRatio());
}

QRect TFormState::OntoVisibleWorkArea(const QRect& ARect) {
  const auto screens = QGuiApplication::screens();
  for (QScreen* s : screens)
    if (s->availableGeometry().intersects(ARect)) return ARect;
  QScreen* primary = QGuiApplication::primaryScreen();
  if (!primary) return ARect;
  const QRect area = primary->availableGeometry();
  QRect r = ARect;
  r.moveLeft(std::max(area.left(), std::min(r.left(), area.right() + 1 - r.width())));
  r.moveTop(std::max(area.top(), std::min(r.top(), area.bottom() + 1 - r.height())));
  return r;
}

void TFormState::RestoreState() {
  TRegistry reg(TRegistryHive::rhCurrentUser);
  if (reg.OpenKeyReadOnly(KeyPath())) {
    auto ppi = ReadInt(reg, "PixelsPerInch");
    if (ppi && *ppi == PixelsPerInch(FForm)) {
      auto flags = ReadInt(reg, "Flags").value_or(0);
      auto show = ReadInt(reg, "ShowCmd").value_or(kShowNormal);
      if (auto pos = reg.ReadString("NormalPos")) {
        if (auto r = ParseRect(*pos); r && (*r)[0] < (*r)[2]) {
          QRect rect(QPoint((*r)[0], (*r)[1]), QPoint((*r)[2] - 1, (*r)[3] - 1));
          FForm->setGeometry(OntoVisibleWorkArea(rect));
        }
      }
      Qt::WindowStates state = Qt::WindowNoState;
      if (show == kShowMinimized || show == kShowMinNoActive) {
        state = Qt::WindowMinimized;
        if (static_cast<unsigned>(flags) & kRestoreToMaximized) state |= Qt::WindowMaximized;
      } else if (show == kShowMaximized) {
        state = Qt::WindowMaximized;
      }
      FForm->setWindowState(state);
    }
  }
  FRestored = true;
  if (OnRestoreState) OnRestoreState();
}

void TFormState::SaveState() {
  if (!FRestored) return;
  FSaved = true;
  const Qt::WindowStates state = FForm->windowState();
  int show = kShowNormal;
  if (state & Qt::WindowMinimized)
    show = kShowMinimized;
  else if (state & Qt::WindowMaximized)
    show = kShowMaximized;
  unsigned flags = (state & Qt::WindowMinimized) && (state & Qt::WindowMaximized) ? kRestoreToMaximized : 0;
  QRect normal = FForm->normalGeometry();
  if (!normal.isValid()) normal = FForm->geometry();
  const QColor colour = FForm->palette().color(FForm->backgroundRole());
  try {
    TRegistry reg(TRegistryHive::rhCurrentUser);
    if (!reg.OpenKey(KeyPath(), true)) return;
    reg.WriteString("Flags", std::to_string(flags));
    reg.WriteString("ShowCmd", std::to_string(show));
    reg.WriteString("NormalPos", Format("%d,%d,%d,%d", normal.left(), normal.top(), normal.left() + normal.width(),
                                        normal.top() + normal.height()));
    reg.WriteString("PixelsPerInch", std::to_string(PixelsPerInch(FForm)));
    // As a colour number: red in the low byte, blue in the third.
    reg.WriteString("Color", std::to_string(colour.red() | colour.green() << 8 | colour.blue() << 16));
  } catch (...) {
    // The placement is a convenience: a store that cannot be written costs nothing else.
  }
}

}  // namespace vexor
