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


}  // namespace
