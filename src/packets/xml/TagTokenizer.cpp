#include "packets/xml/TagTokenizer.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "platform/TextUtf.h"

namespace vexor {

namespace {

struct TEntity {
  std::string_view Name;
  char32_t Code;
};

// The Latin-1 names in code order from U+00A0, then the markup names and three older aliases.
constexpr std::string_view kLatin1Names[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",   "ordf",
    "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",   "acute",  "micro",
    "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave",
    "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",
    "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",
    "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute",
    "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave",
    "iacute", "icirc",  "iuml",   "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide",
    "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

constexpr std::array<TEntity, 104> MakeEntityTable() {
  std::array<TEntity, 104> t{};
  size_t k = 0;
  for (size_t i = 0; i < 96; ++i) t[k++] = {kLatin1Names[i], static_cast<char32_t>(0xA0 + i)};
  t[k++] = {"amp", U'&'};
  t[k++] = {"apos", U'\''};
  t[k++] = {"gt", U'>'};
  t[k++] = {"lt", U'<'};
  t[k++] = {"quot", U'"'};
  t[k++] = {"brkbar", 0xA6};
  t[k++] = {"die", 0xA8};
  t[k++] = {"hibar", 0xAF};
  // Ordinal (case-sensitive) order, for lookup by halving.
  std::sort(t.begin(), t.end(), [](const TEntity& A, const TEntity& B) { return A.Name < B.Name; });
  return t;
}

constexpr std::array<TEntity, 104> kEntities = MakeEntityTable();

char32_t LookupEntity(std::string_view AName) {
  auto it = std::lower_bound(kEntities.begin(), kEntities.end(), AName,
                             [](const TEntity& E, std::string_view N) { return E.Name < N; });
  return it != kEntities.end() && it->Name == AName ? it->Code : 0;
}

// The character an entity body (between "&" and ";") stands for; 0 for none.
char32_t EntityCode(std::string_view ABody) {
  if (ABody.find('#') == std::string_view::npos) return LookupEntity(ABody);
  // The characters other than "#" as a decimal number.
  char digits[10];
  size_t n = 0;
  for (char c : ABody)
    if (c != '#') digits[n++] = c;
  uint32_t v = 0;
  auto r = std::from_chars(digits, digits + n, v);
  if (n == 0 || r.ec != std::errc() || r.ptr != digits + n) return 0;
  // Not a character: no code point beyond the last, no lone surrogate.
  if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  return v;
}

constexpr size_t kMaxEntityLength = 10;

struct TEncodeTable {
  bool Special[256] = {};
  constexpr TEncodeTable() {
    for (unsigned char c : {'<', '&', '>', '"', '\'', static_cast<char>(0xC2)}) Special[c] = true;
  }
};
constexpr TEncodeTable kEncode;

}  // namespace

void AppendDecodedEntities(std::string& ADest, std::string_view S) {
  size_t i = 0;
  while (i < S.size()) {
    const size_t amp = S.find('&', i);
    if (amp == std::string_view::npos) break;
    ADest.append(S.data() + i, amp - i);
    i = amp + 1;
    const size_t semi = S.substr(i, kMaxEntityLength + 1).find(';');
    if (semi == std::string_view::npos || semi == 0) continue;  // the "&" is dropped
    const char32_t code = EntityCode(S.substr(i, semi));
    if (code == 0) continue;
    AppendUtf8(ADest, code);
    i += semi + 1;
  }
  ADest.append(S.data() + i, S.size() - i);
}

std::string DecodeEntities(std::string_view AText) {
  std::string r;
  r.reserve(AText.size());
  AppendDecodedEntities(r, AText);
  return r;
}

void AppendEncodedEntities(std::string& ADest, std::string_view S, bool AKeepEntities) {
  static constexpr std::string_view kBodies[] = {"lt;", "amp;", "gt;", "quot;", "#39;", "nbsp;"};
  size_t run = 0;
  for (size_t i = 0; i < S.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(S[i]);
    if (!kEncode.Special[c]) continue;
    std::string_view ent;
    switch (c) {
      case '<': ent = "&lt;"; break;
      case '>': ent = "&gt;"; break;
      case '"': ent = "&quot;"; break;
      case '\'': ent = "&#39;"; break;
      case '&': {
        if (AKeepEntities) {
          std::string_view after = S.substr(i + 1);
          bool known = false;
          for (std::string_view b : kBodies) known = known || after.substr(0, b.size()) == b;
          if (known) continue;
        }
        ent = "&amp;";
        break;
      }
      default:  // 0xC2: U+00A0 is C2 A0
        if (i + 1 >= S.size() || static_cast<unsigned char>(S[i + 1]) != 0xA0) continue;
        ADest.append(S.data() + run, i - run);
        ADest.append("&nbsp;");
        run = ++i + 1;
        continue;
    }
    ADest.append(S.data() + run, i - run);
    ADest.append(ent);
    run = i + 1;
  }
  ADest.append(S.data() + run, S.size() - run);
}

std::string EncodeEntities(std::string_view AText, bool AKeepEntities) {
  std::string r;
  r.reserve(AText.size() + 512);
  AppendEncodedEntities(r, AText, AKeepEntities);
  return r;
}

}  // namespace vexor
