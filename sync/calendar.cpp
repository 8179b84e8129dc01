#include "sync/calendar.h"

#include "app/format_text.h"
#include "res/texts.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Days are counted in 32 bits, alike in both builds.
static_assert(kLastCalendarSecond / kSecondsPerDay + 719468 <= INT32_MAX, "days fit 32 bits");

struct CivilDate {
  int32_t year;
  int32_t month;
  int32_t day;
};

// The date `days` after 1970-01-01 (days >= 0). Counted from 0000-03-01, so
// that the leap day ends each counted year, in whole 400-year cycles of
// 146097 days; within a cycle the year's start and the month's follow from
// the leap rule and from months of 153 days per five (March to July, August
// to December). The C library's breakdown stops at 2038 where time_t has
// 32 bits.
CivilDate DateOfDay(int32_t days) {
  const int32_t sinceMarch = days + 719468;  // 1970-01-01 is day 719468 after 0000-03-01
  const int32_t cycle = sinceMarch / 146097;
  const int32_t dayOfCycle = sinceMarch - cycle * 146097;  // 0 to 146096
  const int32_t yearOfCycle =
      (dayOfCycle - dayOfCycle / 1460 + dayOfCycle / 36524 - dayOfCycle / 146096) / 365;
  const int32_t dayOfYear =
      dayOfCycle - (365 * yearOfCycle + yearOfCycle / 4 - yearOfCycle / 100);  // 0 to 365
  const int32_t monthFromMarch = (5 * dayOfYear + 2) / 153;                   // 0 to 11
  CivilDate date;
  date.day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  date.month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  date.year = cycle * 400 + yearOfCycle + (date.month <= 2 ? 1 : 0);
  return date;
}

}  // namespace

bool ToLocalFields(int64_t seconds, int32_t millis, CalendarFields& out) {
  if (millis < 0) return false;
  if (millis > 999) {
    seconds += millis / 1000;
    millis %= 1000;
  }
  if (seconds < 0 || seconds > kLastCalendarSecond) return false;
  const int32_t days = static_cast<int32_t>(seconds / kSecondsPerDay);
  const int32_t secondOfDay = static_cast<int32_t>(seconds % kSecondsPerDay);
  const CivilDate date = DateOfDay(days);
  out.year = static_cast<uint16_t>(date.year);
  out.month = static_cast<uint16_t>(date.month);
  out.day = static_cast<uint16_t>(date.day);
  out.dayOfWeek = static_cast<uint16_t>((days + 4) % 7);  // 1970-01-01 was a Thursday
  out.hour = static_cast<uint16_t>(secondOfDay / 3600);
  out.minute = static_cast<uint16_t>(secondOfDay / 60 % 60);
  out.second = static_cast<uint16_t>(secondOfDay % 60);
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
