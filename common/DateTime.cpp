#include "common/DateTime.h"

#include <cmath>
#include <cstdio>

namespace tavo {
namespace {

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
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

constexpr int64_t kEpochOffsetDays = 25569;  // 1899-12-30 .. 1970-01-01
constexpr double kMsPerDay = 86400000.0;

}  // namespace

TDateTime EncodeDate(int year, int month, int day) {
  return static_cast<double>(DaysFromCivil(year, month, day) + kEpochOffsetDays);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMsPerDay;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, millisecond);
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts p;
  if (!std::isfinite(value)) return p;
  // Whole milliseconds since the epoch of the format, rounded so that 12:00:00 stays 12:00:00.
  double days = std::trunc(value);
  double frac = std::fabs(value - days);
  int64_t ms = static_cast<int64_t>(std::llround(frac * kMsPerDay));
  if (ms >= static_cast<int64_t>(kMsPerDay)) {
    ms -= static_cast<int64_t>(kMsPerDay);
    days += value < 0 ? -1 : 1;
  }
  CivilFromDays(static_cast<int64_t>(days) - kEpochOffsetDays, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Millisecond = static_cast<int>(ms % 1000);
  return p;
}

TDateTime DateOf(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  return EncodeDate(p.Year, p.Month, p.Day);
}

int HourOf(TDateTime value) { return DecodeDateTime(value).Hour; }

TDateTime FromTimespecLocal(const struct timespec& ts) {
  struct tm lt {};
  localtime_r(&ts.tv_sec, &lt);
  return EncodeDateTime(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min,
                        lt.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

time_t ToTimeTLocal(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  struct tm lt {};
  lt.tm_year = p.Year - 1900;
  lt.tm_mon = p.Month - 1;
  lt.tm_mday = p.Day;
  lt.tm_hour = p.Hour;
  lt.tm_min = p.Minute;
  lt.tm_sec = p.Second;
  lt.tm_isdst = -1;
  return mktime(&lt);
}

std::string FormatDate(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.Year, p.Month, p.Day);
  return buf;
}

std::string FormatTime(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", p.Hour, p.Minute, p.Second);
  return buf;
}

std::string DateTimeToStr(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  std::string text = FormatDate(value);
  if (p.Hour != 0 || p.Minute != 0 || p.Second != 0 || p.Millisecond != 0)
    text += " " + FormatTime(value);
  return text;
}

std::string FormatIsoMillis(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day,
                p.Hour, p.Minute, p.Second, p.Millisecond);
  return buf;
}

bool ParseIsoDateTime(const std::string& text, TDateTime& out) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  double frac = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &consumed) != 3) return false;
  size_t pos = static_cast<size_t>(consumed);
  if (pos < text.size() && (text[pos] == ' ' || text[pos] == 'T')) {
    int n = 0;
    if (std::sscanf(text.c_str() + pos + 1, "%2d:%2d%n", &h, &mi, &n) != 2) return false;
    pos += 1 + static_cast<size_t>(n);
    if (pos < text.size() && text[pos] == ':') {
      if (std::sscanf(text.c_str() + pos + 1, "%2d%n", &s, &n) != 1) return false;
      pos += 1 + static_cast<size_t>(n);
      if (pos < text.size() && text[pos] == '.') {
        std::string digits;
        for (size_t i = pos + 1; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
          digits += text[i];
        if (!digits.empty()) frac = std::stod("0." + digits);
      }
    }
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
  int ms = static_cast<int>(std::lround(frac * 1000.0));
  out = EncodeDateTime(y, mo, d, h, mi, s, ms > 999 ? 999 : ms);
  return true;
}

}  // namespace tavo
