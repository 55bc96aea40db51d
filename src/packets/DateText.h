#pragma once
// The fixed date-time text layouts (yyyy-MM-dd, hh:mm:ss.zzz), independent of regional settings.
// Shared by the variant conversions and the text encoders. Pure functions, thread-safe.
#include <string>
#include <string_view>

#include "platform/DateTime.h"

namespace vexor {

// Parts a date-time value has: a whole-day part other than 0 and/or a time-of-day part.
bool DateHasDatePart(TDateTime AValue) noexcept;
bool DateHasTimePart(TDateTime AValue) noexcept;

void AppendDateDigits(std::string& ADest, const TDecodedDateTime& AParts);  // yyyy-MM-dd
void AppendTimeDigits(std::string& ADest, const TDecodedDateTime& AParts);  // hh:mm:ss.zzz

// The plain layout of a value with no time-zone change: yyyy-MM-dd for a date, hh:mm:ss.zzz for a
// time of day, both joined by ASeparator; 0 gives "00:00:00.000".
std::string PlainDateTimeText(TDateTime AValue, char ASeparator = 'T');

// Parses "yyyy-MM-dd", "hh:mm:ss.zzz" (seconds and milliseconds optional) or a date and a time
// joined by "T" or a blank. Fields must be in range. AHasDate/AHasTime tell which parts the text
// had.
bool TryParseDateTimeText(std::string_view AText, TDateTime& AValue, bool* AHasDate = nullptr,
                          bool* AHasTime = nullptr) noexcept;

}  // namespace vexor
