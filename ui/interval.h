// Arithmetic of the interval editor: the interval in force is kept in
// seconds and shown in minutes or seconds.
#pragma once
#include <cstdint>

// What the edit shows: the interval itself in seconds, else rounded up to
// whole minutes. The rounding is done in 64 bits so an interval near the
// top of the range cannot overflow.
int32_t ShownIntervalValue(int32_t intervalSeconds, int32_t showSeconds);

// The edit's text read as atoi reads it (leading white space, a sign, digits
// up to the first other character, 0 without digits), in the shown unit, and
// converted to seconds. An entry whose seconds do not fit a signed 32-bit
// integer gives 0, which no caller takes as a valid interval.
int32_t IntervalEntrySeconds(const char* text, int32_t showSeconds);

// An entry is worth saving when it is a positive number of seconds that
// differs from the interval in force.
bool IsNewInterval(int32_t enteredSeconds, int32_t intervalSeconds);
