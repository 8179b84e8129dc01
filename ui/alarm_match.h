// The alarm's reading of its two edits and its comparison with the clock.
#pragma once

// One alarm edit's value: only its first two characters count, read as atoi
// reads them, so "123" is 12, "007" is 0 and "x" is 0.
int AlarmFieldValue(const char* text);

enum class AlarmState {
  Disarmed,  // an edit is empty
  Waiting,   // both filled, another minute
  Ringing,   // both filled, this minute
};

AlarmState MatchAlarm(const char* hourText, const char* minuteText, int hour, int minute);
