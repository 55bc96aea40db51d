#include "platform/DateTime.h"

#include <cmath>
#include <ctime>
#include <sys/time.h>

namespace vexor {
namespace {

constexpr double kMsPerDay = 86400000.0;

// Days from 1970-01-01 to the civil date (proleptic Gregorian), any year.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

// Milliseconds since 1899-12-30 00:00 for a date-time; the fraction's sign follows the
// convention that negative values count the time of day forward from the (negative) day.
int64_t ToMs(TDateTime AValue) {
  double day = std::trunc(AValue);
  double frac = std::fabs(AValue - day);
  return static_cast<int64_t>(day) * 86400000 + static_cast<int64_t>(std::llround(frac * kMsPerDay));
}

TDateTime FromMs(int64_t AMs) {
  int64_t day = AMs >= 0 ? AMs / 86400000 : -((-AMs + 86399999) / 86400000);
  int64_t rest = AMs - day * 86400000;
  double frac = static_cast<double>(rest) / kMsPerDay;
  return day >= 0 ? static_cast<double>(day) + frac : static_cast<double>(day) - frac;
}

}  // namespace

TDateTime UnixToDateTime(double AUnixSeconds) {
  return FromMs(static_cast<int64_t>(std::llround(AUnixSeconds * 1000.0)) + kDateTimeUnixOffsetDays * 86400000);
}

double DateTimeToUnix(TDateTime AUtc) {
  return static_cast<double>(ToMs(AUtc) - kDateTimeUnixOffsetDays * 86400000) / 1000.0;
}

TDateTime NowUTC() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixToDateTime(static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9);
}

TDateTime Now() { return UTCToLocal(NowUTC()); }

TDecodedDateTime DecodeDateTime(TDateTime AValue) {
  int64_t ms = ToMs(AValue);
  int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
  int64_t rest = ms - days * 86400000;
  TDecodedDateTime r;
  CivilFromDays(days - kDateTimeUnixOffsetDays, r.Year, r.Month, r.Day);
  r.Hour = static_cast<int>(rest / 3600000);
  r.Minute = static_cast<int>(rest / 60000 % 60);
  r.Second = static_cast<int>(rest / 1000 % 60);
  r.MilliSecond = static_cast<int>(rest % 1000);
  int64_t unixDays = days - kDateTimeUnixOffsetDays;  // 1970-01-01 was a Thursday
  r.DayOfWeek = static_cast<int>(((unixDays % 7) + 7 + 4) % 7);
  return r;
}

TDateTime EncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMinute, int ASecond, int AMilliSecond) {
  int64_t days = DaysFromCivil(AYear, static_cast<unsigned>(AMonth), static_cast<unsigned>(ADay)) +
                 kDateTimeUnixOffsetDays;
  int64_t ms = days * 86400000 + ((AHour * 60LL + AMinute) * 60LL + ASecond) * 1000LL + AMilliSecond;
  return FromMs(ms);
}

TDateTime UTCToLocal(TDateTime AUtc) {
  double unix = DateTimeToUnix(AUtc);
  time_t t = static_cast<time_t>(std::floor(unix));
  tm local{};
  if (!localtime_r(&t, &local)) return AUtc;
  return AUtc + static_cast<double>(local.tm_gmtoff) / 86400.0;
}

int LocalUTCOffsetMinutes(TDateTime ALocal) {
  // Treat the local fields as UTC to get a first guess, then ask the zone for the offset there;
  // a second round settles moments near a transition.
  double guess = DateTimeToUnix(ALocal);
  long offset = 0;
  for (int i = 0; i < 2; ++i) {
    time_t t = static_cast<time_t>(std::floor(guess - offset));
    tm local{};
    if (!localtime_r(&t, &local)) return 0;
    offset = local.tm_gmtoff;
  }
  return static_cast<int>(offset / 60);
}

TDateTime LocalToUTC(TDateTime ALocal) { return ALocal - static_cast<double>(LocalUTCOffsetMinutes(ALocal)) / 1440.0; }

}  // namespace vexor
