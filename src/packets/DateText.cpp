#include "packets/DateText.h"

namespace vexor {
namespace {

void Append2(std::string& D, int V) {
  D.push_back(static_cast<char>('0' + V / 10 % 10));
  D.push_back(static_cast<char>('0' + V % 10));
}

bool Digits(std::string_view S, size_t APos, size_t ACount, int& AValue) {
  if (APos + ACount > S.size()) return false;
  int v = 0;
  for (size_t i = APos; i < APos + ACount; ++i) {
    if (S[i] < '0' || S[i] > '9') return false;
    v = v * 10 + (S[i] - '0');
  }
  AValue = v;
  return true;
}

bool IsLeap(int Y) { return (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0; }

int DaysInMonth(int Y, int M) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return M == 2 && IsLeap(Y) ? 29 : kDays[M - 1];
}

// yyyy-MM-dd at the start of S.
bool ParseDate(std::string_view S, int& Y, int& M, int& D) {
  if (S.size() < 10 || S[4] != '-' || S[7] != '-') return false;
  if (!Digits(S, 0, 4, Y) || !Digits(S, 5, 2, M) || !Digits(S, 8, 2, D)) return false;
  return Y >= 1 && M >= 1 && M <= 12 && D >= 1 && D <= DaysInMonth(Y, M);
}

// hh:mm[:ss[.zzz]] making up all of S.
bool ParseTime(std::string_view S, int& H, int& N, int& Sec, int& Ms) {
  Sec = Ms = 0;
  if (S.size() < 5 || S[2] != ':' || !Digits(S, 0, 2, H) || !Digits(S, 3, 2, N)) return false;
  size_t p = 5;
  if (p < S.size()) {
    if (S[p] != ':' || !Digits(S, p + 1, 2, Sec)) return false;
    p += 3;
    if (p < S.size()) {
      if (S[p] != '.' || S.size() - p - 1 < 1 || S.size() - p - 1 > 3) return false;
      int frac = 0;
      size_t n = S.size() - p - 1;
      if (!Digits(S, p + 1, n, frac)) return false;
      for (size_t i = n; i < 3; ++i) frac *= 10;
      Ms = frac;
      p = S.size();
    }
  }
  return p == S.size() && H <= 23 && N <= 59 && Sec <= 59;
}

}  // namespace

bool DateHasDatePart(TDateTime AValue) noexcept {
  TDecodedDateTime p = DecodeDateTime(AValue);
  return !(p.Year == 1899 && p.Month == 12 && p.Day == 30);
}

bool DateHasTimePart(TDateTime AValue) noexcept {
  TDecodedDateTime p = DecodeDateTime(AValue);
  return p.Hour || p.Minute || p.Second || p.MilliSecond;
}

void AppendDateDigits(std::string& ADest, const TDecodedDateTime& P) {
  int y = P.Year < 0 ? 0 : P.Year;
  Append2(ADest, y / 100);
  Append2(ADest, y % 100);
  ADest.push_back('-');
  Append2(ADest, P.Month);
  ADest.push_back('-');
  Append2(ADest, P.Day);
}

void AppendTimeDigits(std::string& ADest, const TDecodedDateTime& P) {
  Append2(ADest, P.Hour);
  ADest.push_back(':');
  Append2(ADest, P.Minute);
  ADest.push_back(':');
  Append2(ADest, P.Second);
  ADest.push_back('.');
  ADest.push_back(static_cast<char>('0' + P.MilliSecond / 100));
  Append2(ADest, P.MilliSecond % 100);
}

std::string PlainDateTimeText(TDateTime AValue, char ASeparator) {
  TDecodedDateTime p = DecodeDateTime(AValue);
  bool hasDate = !(p.Year == 1899 && p.Month == 12 && p.Day == 30);
  bool hasTime = p.Hour || p.Minute || p.Second || p.MilliSecond;
  std::string r;
  r.reserve(23);
  if (hasDate) AppendDateDigits(r, p);
  if (hasDate && hasTime) r.push_back(ASeparator);
  if (hasTime || !hasDate) AppendTimeDigits(r, p);
  return r;
}

bool TryParseDateTimeText(std::string_view S, TDateTime& AValue, bool* AHasDate, bool* AHasTime) noexcept {
  int y = 1899, m = 12, d = 30, h = 0, n = 0, s = 0, ms = 0;
  bool hasDate = false, hasTime = false;
  if (S.size() >= 10 && S[4] == '-') {
    if (!ParseDate(S, y, m, d)) return false;
    hasDate = true;
    if (S.size() > 10) {
      if (S[10] != 'T' && S[10] != ' ') return false;
      if (!ParseTime(S.substr(11), h, n, s, ms)) return false;
      hasTime = true;
    }
  } else {
    if (!ParseTime(S, h, n, s, ms)) return false;
    hasTime = true;
  }
  AValue = EncodeDateTime(y, m, d, h, n, s, ms);
  if (AHasDate) *AHasDate = hasDate;
  if (AHasTime) *AHasTime = hasTime;
  return true;
}

}  // namespace vexor
