#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "ui/interval.h"

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

TEST(IntervalArithmetic, ShownValueRoundsUpToWholeMinutes) {
  struct Case {
    int32_t seconds;
    int32_t showSeconds;
    int32_t shown;
  } cases[] = {
      {3600, 0, 60}, {60, 0, 1},  {61, 0, 2},        {90, 0, 2},       {1, 0, 1},
      {119, 0, 2},   {120, 0, 2}, {kMax, 0, 35791395}, {2147483640, 0, 35791394}, {2147483641, 0, 35791395},
      {90, 1, 90},   {90, 2, 90}, {90, -1, 90},      {kMax, 1, kMax},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.seconds << " s, showSeconds " << c.showSeconds);
    EXPECT_EQ(ShownIntervalValue(c.seconds, c.showSeconds), c.shown);
  }
}

TEST(IntervalArithmetic, EntryReadsLikeAtoiAndConvertsToSeconds) {
  struct Case {
    const char* text;
    int32_t showSeconds;
    int32_t seconds;
  } cases[] = {
      {"5", 0, 300},
      {"60", 0, 3600},
      {"12abc", 0, 720},
      {"  7", 0, 420},
      {"\t+2", 0, 120},
      {"-3", 0, -180},
      {"0", 0, 0},
      {"", 0, 0},
      {"abc", 0, 0},
      {"- 3", 0, 0},
      {"007", 0, 420},
      {"5", 1, 5},
      {"5", 2, 5},
      {"3600", 1, 3600},
      // The largest minute count whose seconds still fit.
      {"35791394", 0, 2147483640},
      // Too large in seconds: invalid rather than wrapped or clamped.
      {"35791395", 0, 0},
      {"2147483647", 1, kMax},
      {"2147483648", 1, 0},
      {"4294967297", 1, 0},  // 2^32 + 1 would wrap to 1
      {"4294967297", 0, 0},
      {"99999999999", 0, 0},
      {"99999999999999999999999999999", 1, 0},
      {"-2147483648", 1, kMin},
      {"-2147483649", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.text << "\" showSeconds " << c.showSeconds);
    EXPECT_EQ(IntervalEntrySeconds(c.text, c.showSeconds), c.seconds);
  }
}

TEST(IntervalArithmetic, OnlyAPositiveDifferentValueIsNew) {
  EXPECT_TRUE(IsNewInterval(300, 3600));
  EXPECT_TRUE(IsNewInterval(1, 3600));
  EXPECT_FALSE(IsNewInterval(3600, 3600));
  EXPECT_FALSE(IsNewInterval(0, 3600));
  EXPECT_FALSE(IsNewInterval(-180, 3600));
  EXPECT_FALSE(IsNewInterval(kMin, 3600));
}

}  // namespace
