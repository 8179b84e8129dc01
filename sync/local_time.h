// The calendar breakdown into and out of the Win32 SYSTEMTIME record.
#pragma once
#include <windows.h>

#include <cstdint>

#include "sync/calendar.h"

// As the pure ToLocalFields; out is untouched when it returns false.
bool ToLocalFields(int64_t seconds, int32_t millis, SYSTEMTIME& out);

CalendarFields FieldsOf(const SYSTEMTIME& time);
