#pragma once
// Helpers of the raw stream tests: hex texts of byte buffers.
#include <string>
#include <string_view>

inline std::string Hex(std::string_view ABytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : ABytes) {
    if (!s.empty()) s += ' ';
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

inline std::string Unhex(std::string_view AHex) {
  std::string s;
  int half = -1;
  for (char c : AHex) {
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) continue;
    if (half < 0) {
      half = v;
    } else {
      s += static_cast<char>(half * 16 + v);
      half = -1;
    }
  }
  return s;
}
