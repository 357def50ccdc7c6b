// TDateTime: days since 1899-12-30 00:00 local time, the fraction being the time of day.
// 0 stands for "no time". All text forms of the server come from here.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tavo {

using TDateTime = double;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond = 0);
TDateTimeParts DecodeDateTime(TDateTime value);

TDateTime DateOf(TDateTime value);  // midnight of the same day
int HourOf(TDateTime value);

// Local wall-clock time of a system time point.
TDateTime FromTimespecLocal(const struct timespec& ts);
// The system time of a local TDateTime (for file times and the like).
time_t ToTimeTLocal(TDateTime value);

// "yyyy-MM-dd"
std::string FormatDate(TDateTime value);
// "HH:mm:ss"
std::string FormatTime(TDateTime value);
// The date-time text: the date, then " HH:mm:ss" unless the time is exactly midnight.
std::string DateTimeToStr(TDateTime value);
// "YYYY-MM-DD HH:MM:SS.SSS", the form stored in SQLite.
std::string FormatIsoMillis(TDateTime value);
// Parses "YYYY-MM-DD[ HH:MM[:SS[.fff]]]" (also with 'T'); false when the text is not one.
bool ParseIsoDateTime(const std::string& text, TDateTime& out);

}  // namespace tavo
