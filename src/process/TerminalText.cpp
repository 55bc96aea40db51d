#include "process/TerminalText.h"

namespace vexor {

std::string TerminalLineText(std::string_view ALine) {
  while (!ALine.empty() && ALine.back() == '\r') ALine.remove_suffix(1);
  const size_t lastReturn = ALine.rfind('\r');
  if (lastReturn != std::string_view::npos) ALine.remove_prefix(lastReturn + 1);
  std::string text;
  text.reserve(ALine.size());
  size_t i = 0;
  while (i < ALine.size()) {
    const unsigned char c = static_cast<unsigned char>(ALine[i]);
    if (c != 0x1b) {
      // Other C0 controls (bell, backspace) show nothing; a tab is text.
      if (c >= 0x20 || c == '\t') text.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (++i >= ALine.size()) break;
    const char kind = ALine[i++];
    if (kind == '[') {
      // CSI: parameter and intermediate bytes up to a final byte in 0x40-0x7e.
      while (i < ALine.size() && !(ALine[i] >= 0x40 && ALine[i] <= 0x7e)) ++i;
      ++i;
    } else if (kind == ']' || kind == 'P' || kind == '_' || kind == '^') {
      // A string up to BEL or ESC backslash.
      while (i < ALine.size() && ALine[i] != '\a' &&
             !(ALine[i] == 0x1b && i + 1 < ALine.size() && ALine[i + 1] == '\\'))
        ++i;
      i += i < ALine.size() && ALine[i] == 0x1b ? 2 : 1;
    } else if (kind >= 0x20 && kind <= 0x2f) {
      ++i;  // a character set choice: ESC ( B
    }
  }
  return text;
}

}  // namespace vexor
