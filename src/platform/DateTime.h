#pragma once
// TDateTime: days since 1899-12-30 as a double, the fraction being the time of day, in local
// time. Conversions use the C library's time-zone rules; every function is thread-safe.
#include <cstdint>
#include <ctime>

namespace vexor {

using TDateTime = double;

// Seconds between 1899-12-30 and the Unix epoch.
constexpr int64_t kDateTimeUnixOffsetDays = 25569;

struct TDecodedDateTime {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
  int DayOfWeek = 0;  // 0 = Sunday
};

// Now in local time.
TDateTime Now();
// Now in UTC.
TDateTime NowUTC();

// Splits a date-time into its calendar fields (no time-zone change); milliseconds are rounded.
TDecodedDateTime DecodeDateTime(TDateTime AValue);
TDateTime EncodeDateTime(int AYear, int AMonth, int ADay, int AHour = 0, int AMinute = 0, int ASecond = 0,
                         int AMilliSecond = 0);

// Local <-> UTC through the time-zone rules in force at that moment.
TDateTime LocalToUTC(TDateTime ALocal);
TDateTime UTCToLocal(TDateTime AUtc);
// Offset of local time from UTC at that local moment, in minutes (east positive).
int LocalUTCOffsetMinutes(TDateTime ALocal);

// Unix seconds (UTC) <-> UTC date-time.
TDateTime UnixToDateTime(double AUnixSeconds);
double DateTimeToUnix(TDateTime AUtc);

}  // namespace vexor
