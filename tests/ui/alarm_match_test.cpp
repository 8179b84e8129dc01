#include <gtest/gtest.h>

#include "ui/alarm_match.h"

namespace {

TEST(AlarmMatch, FieldCountsByItsFirstTwoCharacters) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {
      {"7", 7},   {"07", 7}, {"007", 0}, {"123", 12}, {"x", 0}, {"", 0},
      {"-1", -1}, {"24", 24}, {" 9", 9},  {"9x", 9},   {"+5", 5}, {"1 2", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.text << '"');
    EXPECT_EQ(AlarmFieldValue(c.text), c.value);
  }
}

TEST(AlarmMatch, StatesForEveryCombination) {
  struct Case {
    const char* hour;
    const char* minute;
    int clockHour;
    int clockMinute;
    AlarmState state;
  } cases[] = {
      {"7", "30", 7, 30, AlarmState::Ringing},
      {"07", "30", 7, 30, AlarmState::Ringing},
      {"7", "30", 7, 31, AlarmState::Waiting},
      {"7", "30", 8, 30, AlarmState::Waiting},
      {"7", "30", 6, 30, AlarmState::Waiting},
      {"x", "5", 0, 5, AlarmState::Ringing},
      {"24", "0", 0, 0, AlarmState::Waiting},
      {"-1", "0", 23, 0, AlarmState::Waiting},
      {"7", "", 7, 0, AlarmState::Disarmed},
      {"", "30", 0, 30, AlarmState::Disarmed},
      {"", "", 0, 0, AlarmState::Disarmed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.hour << "\":\"" << c.minute << "\" at "
                                    << c.clockHour << ':' << c.clockMinute);
    EXPECT_EQ(MatchAlarm(c.hour, c.minute, c.clockHour, c.clockMinute), c.state);
  }
}

}  // namespace
