#include "sync/calendar.h"

#include <ctime>

#include "app/format_text.h"
#include "res/texts.h"

bool ToLocalFields(int64_t seconds, int32_t millis, CalendarFields& out) {
  if (millis < 0) return false;
  if (millis > 999) {
    seconds += millis / 1000;
    millis %= 1000;
  }
  if (seconds < 0 || seconds > INT32_MAX) return false;
  std::time_t value = static_cast<std::time_t>(seconds);
  const std::tm* tm = std::gmtime(&value);
  if (tm == nullptr) return false;
  out.year = static_cast<uint16_t>(tm->tm_year + 1900);
  out.month = static_cast<uint16_t>(tm->tm_mon + 1);
  out.day = static_cast<uint16_t>(tm->tm_mday);
  out.dayOfWeek = static_cast<uint16_t>(tm->tm_wday);
  out.hour = static_cast<uint16_t>(tm->tm_hour);
  out.minute = static_cast<uint16_t>(tm->tm_min);
  out.second = static_cast<uint16_t>(tm->tm_sec);
  out.milliseconds = static_cast<uint16_t>(millis);
  return true;
}

void FormatDateLine(const CalendarFields& time, char* buffer) {
  // The record is public in the window; a weekday that no breakdown gives
  // must not index past the table.
  const char* weekday = time.dayOfWeek < 7 ? kWeekdayNames[time.dayOfWeek] : "";
  FormatText(buffer, kClockLineSize, kTextDateFormat, time.year, time.month, time.day,
                weekday);
}

void FormatTimeLine(const CalendarFields& time, char* buffer) {
  FormatText(buffer, kClockLineSize, kTextTimeFormat, time.hour, time.minute, time.second);
}
