#include "ui/alarm_match.h"

#include <cstdlib>

int AlarmFieldValue(const char* text) {
  char firstTwo[3] = {};
  for (int i = 0; i < 2 && text[i] != '\0'; ++i) firstTwo[i] = text[i];
  return std::atoi(firstTwo);
}

AlarmState MatchAlarm(const char* hourText, const char* minuteText, int hour, int minute) {
  if (hourText[0] == '\0' || minuteText[0] == '\0') return AlarmState::Disarmed;
  if (AlarmFieldValue(hourText) == hour && AlarmFieldValue(minuteText) == minute) {
    return AlarmState::Ringing;
  }
  return AlarmState::Waiting;
}
