#include "sync/local_time.h"

static_assert(sizeof(CalendarFields) == sizeof(SYSTEMTIME),
              "CalendarFields mirrors SYSTEMTIME field for field");

bool ToLocalFields(int64_t seconds, int32_t millis, SYSTEMTIME& out) {
  CalendarFields fields;
  if (!ToLocalFields(seconds, millis, fields)) return false;
  out.wYear = fields.year;
  out.wMonth = fields.month;
  out.wDayOfWeek = fields.dayOfWeek;
  out.wDay = fields.day;
  out.wHour = fields.hour;
  out.wMinute = fields.minute;
  out.wSecond = fields.second;
  out.wMilliseconds = fields.milliseconds;
  return true;
}

CalendarFields FieldsOf(const SYSTEMTIME& time) {
  return {time.wYear, time.wMonth, time.wDayOfWeek, time.wDay,
          time.wHour, time.wMinute, time.wSecond, time.wMilliseconds};
}
