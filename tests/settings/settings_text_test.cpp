#include <gtest/gtest.h>

#include <cstring>

#include "settings/settings_text.h"

namespace {

constexpr int32_t kSentinel = static_cast<int32_t>(0xdeadbeef);

TEST(ParseSettingNumber, ReadsLikeAtoiWithinThirtyTwoBits) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"90", 90},         {"  -5", -5},        {"\t\n42", 42},       {"+7", 7},
      {"12abc", 12},      {"abc", 0},          {"", 0},              {"0x10", 0},
      {"2147483647", 2147483647},              {"-2147483648", -2147483647 - 1},
      {"2147483648", 0},  {"-2147483649", 0},  {"99999999999999999999999", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseSettingNumber(c.text), c.value);
  }
}

TEST(OlderIntervalSeconds, TurnsMinutesIntoSecondsOrZeroWhenTooLarge) {
  const struct {
    const char* text;
    int32_t seconds;
  } cases[] = {
      {"5", 300},           {"0", 0},         {"x", 0},
      {"-2", -120},         {"35791394", 2147483640},
      {"35791395", 0},      {"-35791395", 0}, {"2147483647", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(OlderIntervalSeconds(c.text), c.seconds);
  }
}

TEST(ParseDailyCount, ReadsDayAndCountOrTheMissingValueDefaults) {
  const struct {
    const char* text;
    bool parsed;
    int32_t day;
    int32_t count;
  } cases[] = {
      {"5,7", true, 5, 7},     {"31,1", true, 31, 1},   {"-3,-4", true, -3, -4},
      {" 6, 2", true, 6, 2},   {"5,8junk", true, 5, 8}, {"5", false, 0, -1},
      {"5,", false, 0, -1},    {",5", false, 0, -1},    {"x", false, 0, -1},
      {"", false, 0, -1},      {"5;7", false, 0, -1},   {"5 ,7", false, 0, -1},
      // Beyond 32 bits is no count the program wrote.
      {"5,2147483648", false, 0, -1},  {"-2147483649,1", false, 0, -1},
      {"-2147483648,2147483647", true, -2147483647 - 1, 2147483647},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int32_t day = kSentinel;
    int32_t count = kSentinel;
    EXPECT_EQ(ParseDailyCount(c.text, day, count), c.parsed);
    EXPECT_EQ(day, c.day);
    EXPECT_EQ(count, c.count);
  }
}

TEST(FormatDailyCount, WritesDayCommaCount) {
  const struct {
    int32_t day;
    int32_t count;
    const char* text;
  } cases[] = {
      {5, 8, "5,8"}, {6, 1, "6,1"}, {0, -1, "0,-1"}, {31, 2147483647, "31,2147483647"},
      {-2147483647 - 1, 0, "-2147483648,0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char buffer[kDailyCountSize];
    std::memset(buffer, 0xcc, sizeof buffer);
    FormatDailyCount(c.day, c.count, buffer);
    EXPECT_STREQ(buffer, c.text);
  }
}

}  // namespace
