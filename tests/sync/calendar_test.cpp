#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sync/calendar.h"

namespace {

constexpr uint16_t kSentinel = 0xbeef;

CalendarFields Sentinel() {
  return {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
}

std::string Fields(const CalendarFields& f) {
  char text[96];
  std::snprintf(text, sizeof text, "%u-%u-%u wd%u %u:%u:%u.%u", f.year, f.month, f.day,
                f.dayOfWeek, f.hour, f.minute, f.second, f.milliseconds);
  return text;
}

struct ConversionCase {
  const char* name;
  int64_t seconds;
  int32_t millis;
  const char* expected;  // as Fields() prints it
};

TEST(ToLocalFields, BreaksDownEveryField) {
  const int32_t bias = -480;
  const ConversionCase cases[] = {
      {"epoch is a Thursday", 0, 0, "1970-1-1 wd4 0:0:0.0"},
      {"last second a 32-bit time holds", 2147483647, 0, "2038-1-19 wd2 3:14:7.0"},
      {"leap day 2000", 951782400, 0, "2000-2-29 wd2 0:0:0.0"},
      {"leap day 2024 at noon", 1709208000, 0, "2024-2-29 wd4 12:0:0.0"},
      {"day before a leap day", 1709208000 - 86400, 0, "2024-2-28 wd3 12:0:0.0"},
      {"March after a leap day", 1709208000 + 86400, 0, "2024-3-1 wd5 12:0:0.0"},
      {"UTC+8 shift within the day", 1710037625 - bias * 60, 0, "2024-3-10 wd0 10:27:5.0"},
      {"UTC+8 rolls into a new year", 1798732800 - bias * 60, 0, "2027-1-1 wd5 0:0:0.0"},
      {"last second of a year", 1798761600 - 1, 0, "2026-12-31 wd4 23:59:59.0"},
      {"999 ms are kept", 0, 999, "1970-1-1 wd4 0:0:0.999"},
      {"1000 ms carry one second", 0, 1000, "1970-1-1 wd4 0:0:1.0"},
      {"2500 ms carry two seconds", 0, 2500, "1970-1-1 wd4 0:0:2.500"},
      {"carry across midnight", 86399, 1000, "1970-1-2 wd5 0:0:0.0"},
      {"carry onto the last second", 2147483646, 1500, "2038-1-19 wd2 3:14:7.500"},
      {"first second past 32 bits", 2147483648LL, 0, "2038-1-19 wd2 3:14:8.0"},
      {"leap day 2040", 2214086400LL, 0, "2040-2-29 wd3 0:0:0.0"},
      {"March 2100 follows February 28", 4107542400LL, 0, "2100-3-1 wd1 0:0:0.0"},
      {"last second of 9999", 253402300799LL, 999, "9999-12-31 wd5 23:59:59.999"},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(c.name);
    CalendarFields out = Sentinel();
    ASSERT_TRUE(ToLocalFields(c.seconds, c.millis, out));
    EXPECT_EQ(Fields(out), c.expected);
  }
}

TEST(ToLocalFields, RefusesTimesOutsideTheRangeAndLeavesTheRecord) {
  const ConversionCase cases[] = {
      {"one second before the epoch", -1, 0, nullptr},
      {"a negative local time after the bias", -28800, 999, nullptr},
      {"one second past 9999", 253402300800LL, 0, nullptr},
      {"a carry past 9999", 253402300799LL, 1000, nullptr},
      {"a carry of many seconds past it", 253402300792LL, 8000, nullptr},
      {"a negative millisecond part", 100, -1, nullptr},
      {"beyond 64-bit milliseconds", INT64_MAX / 1000 + 1, 0, nullptr},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(c.name);
    CalendarFields out = Sentinel();
    EXPECT_FALSE(ToLocalFields(c.seconds, c.millis, out));
    EXPECT_EQ(Fields(out), Fields(Sentinel()));
  }
}

TEST(ToLocalFields, EveryDayFollowsTheOneBeforeUpTo9999) {
  // Walked one day at a time by the leap rule, the plainest reading of the
  // calendar: each breakdown must be the day after the last one.
  const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year = 1970, month = 1, day = 1, weekday = 4;
  for (int64_t seconds = 43200; seconds <= 253402300799LL; seconds += 86400) {
    CalendarFields out = Sentinel();
    ASSERT_TRUE(ToLocalFields(seconds, 0, out)) << seconds;
    if (out.year != year || out.month != month || out.day != day || out.dayOfWeek != weekday ||
        out.hour != 12 || out.minute != 0 || out.second != 0) {
      FAIL() << seconds << ": " << Fields(out) << ", expected " << year << "-" << month << "-"
             << day << " wd" << weekday;
    }
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    weekday = (weekday + 1) % 7;
    if (++day > kMonthDays[month - 1] + (month == 2 && leap ? 1 : 0)) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
  }
  EXPECT_EQ(year, 10000);
}

struct LineCase {
  const char* name;
  CalendarFields time;
  const char* date;
  const char* clock;
};

TEST(ClockLines, FormatWithPaddingAndWeekday) {
  const LineCase cases[] = {
      {"epoch", {1970, 1, 4, 1, 0, 0, 0, 0}, "1970年01月01日星期四", "00：00：00"},
      {"single digits padded, year not", {2027, 1, 2, 5, 8, 3, 9, 999}, "2027年01月05日星期二",
       "08：03：09"},
      {"two-digit fields unchanged", {2024, 12, 0, 31, 23, 59, 59, 0}, "2024年12月31日星期日",
       "23：59：59"},
      {"Saturday, last table entry", {2038, 1, 6, 16, 10, 27, 5, 0}, "2038年01月16日星期六",
       "10：27：05"},
      {"year 9999", {9999, 12, 5, 31, 23, 59, 59, 999}, "9999年12月31日星期五", "23：59：59"},
      {"weekday outside the table", {2024, 3, 7, 10, 1, 2, 3, 0}, "2024年03月10日星期", "01：02：03"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[kClockLineSize];
    std::memset(buffer, 0xcc, sizeof buffer);
    FormatDateLine(c.time, buffer);
    EXPECT_STREQ(buffer, c.date);
    std::memset(buffer, 0xcc, sizeof buffer);
    FormatTimeLine(c.time, buffer);
    EXPECT_STREQ(buffer, c.clock);
  }
}

TEST(ClockLines, AreCodePage936Bytes) {
  char buffer[kClockLineSize];
  FormatDateLine({1970, 1, 4, 1, 0, 0, 0, 0}, buffer);
  EXPECT_STREQ(buffer,
               "1970\xc4\xea" "01\xd4\xc2" "01\xc8\xd5\xd0\xc7\xc6\xda\xcb\xc4");
  FormatTimeLine({1970, 1, 4, 1, 12, 34, 56, 0}, buffer);
  EXPECT_STREQ(buffer, "12\xa3\xba" "34\xa3\xba" "56");
}

}  // namespace
