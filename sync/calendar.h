// Local seconds broken down into calendar fields, and the two clock lines.
// No Windows header: the record is laid out like SYSTEMTIME so the Win32 side
// can copy it field for field.
#pragma once
#include <cstddef>
#include <cstdint>

struct CalendarFields {
  uint16_t year;
  uint16_t month;      // 1 to 12
  uint16_t dayOfWeek;  // 0 Sunday to 6 Saturday
  uint16_t day;        // 1 to 31
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// 9999-12-31 23:59:59 counted like Unix time: the last second the calendar
// breaks down, and the last a time reply may carry.
inline constexpr int64_t kLastCalendarSecond = 253402300799;

// Both clock lines are formatted into one buffer of this size.
inline constexpr std::size_t kClockLineSize = 256;

// Breaks seconds (local wall-clock seconds counted like Unix time) plus a
// millisecond part down into out, in the Gregorian calendar; millis of 1000
// or more carry into the seconds. Returns false and leaves out untouched when
// millis is negative or the carried seconds fall outside 0 to
// kLastCalendarSecond.
bool ToLocalFields(int64_t seconds, int32_t millis, CalendarFields& out);

// "2024年03月10日星期日" and "10：27：05" into a kClockLineSize buffer.
void FormatDateLine(const CalendarFields& time, char* buffer);
void FormatTimeLine(const CalendarFields& time, char* buffer);
