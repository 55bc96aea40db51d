#include "platform/TextUtf.h"

#include <cstdint>

namespace vexor {
namespace {

// Length of the well-formed UTF-8 sequence starting at p (1..4), or 0 when malformed or cut.
size_t SequenceLength(const unsigned char* p, size_t avail) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (avail < len) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return len;
}

}  // namespace

size_t Utf16Length(std::string_view AUtf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(AUtf8.data());
  size_t n = AUtf8.size(), i = 0, units = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      ++units;
      continue;
    }
    size_t len = SequenceLength(p + i, n - i);
    if (len == 0) {
      ++i;
      ++units;
    } else {
      i += len;
      units += len == 4 ? 2 : 1;
    }
  }
  return units;
}

size_t Utf8IncompleteTail(std::string_view AUtf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(AUtf8.data());
  size_t n = AUtf8.size();
  // Look back at most 3 bytes for a lead byte whose sequence runs past the end.
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    unsigned char c = p[n - back];
    if ((c & 0xC0) == 0x80) continue;  // continuation: keep looking for the lead
    size_t need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
    if (need <= back) return 0;
    // Only a prefix that could still become valid is kept back.
    unsigned char probe[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < back; ++i) probe[i] = p[n - back + i];
    for (size_t i = back; i < need; ++i) probe[i] = 0x80;
    // Fix the second byte for the range-restricted leads so the probe is well-formed if possible.
    if (back == 1) {
      if (c == 0xE0) probe[1] = 0xA0;
      if (c == 0xF0) probe[1] = 0x90;
    }
    return SequenceLength(probe, need) == need ? back : 0;
  }
  return 0;
}

std::string Utf8Sanitize(std::string_view AUtf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(AUtf8.data());
  size_t n = AUtf8.size(), i = 0;
  std::string out;
  out.reserve(n);
  while (i < n) {
    if (p[i] < 0x80) {
      out.push_back(static_cast<char>(p[i++]));
      continue;
    }
    size_t len = SequenceLength(p + i, n - i);
    if (len == 0) {
      out.append("\xEF\xBF\xBD");
      ++i;
    } else {
      out.append(AUtf8.data() + i, len);
      i += len;
    }
  }
  return out;
}

void AppendUtf8(std::string& ADest, char32_t ACodePoint) {
  uint32_t c = ACodePoint;
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    ADest.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    ADest.push_back(static_cast<char>(0xC0 | (c >> 6)));
    ADest.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    ADest.push_back(static_cast<char>(0xE0 | (c >> 12)));
    ADest.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    ADest.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    ADest.push_back(static_cast<char>(0xF0 | (c >> 18)));
    ADest.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    ADest.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    ADest.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string_view Utf8PrefixByUtf16Units(std::string_view AUtf8, size_t AMaxUnits) {
  const auto* p = reinterpret_cast<const unsigned char*>(AUtf8.data());
  size_t n = AUtf8.size(), i = 0, units = 0;
  while (i < n) {
    size_t len = p[i] < 0x80 ? 1 : SequenceLength(p + i, n - i);
    size_t u = len == 4 ? 2 : 1;
    if (len == 0) len = 1;
    if (units + u > AMaxUnits) break;
    units += u;
    i += len;
  }
  return AUtf8.substr(0, i);
}

}  // namespace vexor

namespace vexor {

std::string Utf8StripControls(std::string_view AUtf8) {
  const std::string text = Utf8Sanitize(AUtf8);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) continue;
    // C1 controls (U+0080..U+009F) are 0xC2 0x80..0x9F; terminals take U+009B as CSI.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      ++i;
      continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace vexor
