#include <gtest/gtest.h>

#include "sync/clock_math.h"

namespace {

struct TimeCase {
  const char* name;
  int64_t baseSeconds;
  int32_t baseMillis;
  uint64_t baseTick;
  uint64_t nowTick;
  int32_t bias;
  int64_t seconds;
  int32_t millis;
};

TEST(LocalTimeAt, AddsTicksAndShiftsByTheBias) {
  const TimeCase cases[] = {
      {"no time elapsed", 1000000, 250, 5000, 5000, 0, 1000000, 250},
      {"millis carry into seconds", 1000000, 900, 0, 150, 0, 1000001, 50},
      {"bias east of Greenwich adds hours", 1798732800, 0, 7, 7, -480, 1798761600, 0},
      {"bias west of Greenwich subtracts", 1798732800, 0, 7, 1007, 300, 1798714801, 0},
      {"64-bit tick wraps, with a base millisecond part", 1000, 500, ~uint64_t{0} - 295, 704,
       0, 1001, 500},
      {"past 24.8 days elapsed", 1000000000, 999, 0, 2200000000u, 0, 1002200000, 999},
      {"nearly 49.7 days elapsed", 1000000000, 999, 1, 0xFFFFFFFFu, 0, 1004294968, 293},
      {"50 days elapsed", 1000000000, 250, 7, 4320000007u, 0, 1004320000, 250},
      {"20 years elapsed", 1000000000, 0, 0, 631152000000u, -480, 1631180800, 0},
      {"result beyond 32 bits is kept", 2147483000, 0, 0, 1000000, -480, 2147512800, 0},
      {"a negative base millisecond part borrows", 100, -1, 0, 0, 0, 99, 999},
      {"base past 2038", 2147483648LL, 500, 0, 1500, -480, 2147512450, 0},
      {"base in 9999", 253402271999LL, 0, 0, 1000, -480, 253402300800LL, 0},
  };
  for (const TimeCase& c : cases) {
    SCOPED_TRACE(c.name);
    NetworkTime t = LocalTimeAt(c.baseSeconds, c.baseMillis, c.baseTick, c.nowTick, c.bias);
    EXPECT_EQ(t.seconds, c.seconds);
    EXPECT_EQ(t.millis, c.millis);
  }
}

TEST(ExtendTick, CarriesThe32BitCountOverItsWrap) {
  const struct {
    const char* name;
    uint32_t reading;
    uint64_t last;
    uint64_t extended;
  } cases[] = {
      {"first reading", 0xFFFFFED8u, 0, 0xFFFFFED8u},
      {"296 ms before the wrap, then 704", 704, 0xFFFFFED8u, 0x100000000u + 704},
      {"the same reading again", 704, 0x100000000u + 704, 0x100000000u + 704},
      {"second wrap, onto zero", 0, 0x1FFFFFFFFu, 0x200000000u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ExtendTick(c.reading, c.last), c.extended);
  }
  // Through the live clock: a base 296 ms before the wrap, a tick at 704.
  uint64_t base = ExtendTick(0xFFFFFFFFu - 295, 0);
  uint64_t now = ExtendTick(704, base);
  EXPECT_EQ(now - base, 1000u);
  NetworkTime t = LocalTimeAt(1000, 0, base, now, 0);
  EXPECT_EQ(t.seconds, 1001);
  EXPECT_EQ(t.millis, 0);
}

TEST(RearmPeriod, AlignsToTheNextNetworkSecond) {
  const struct {
    int32_t millis;
    int32_t period;
  } cases[] = {{0, 1000}, {1, 999}, {500, 500}, {899, 101}, {900, 100}, {901, 1099}, {999, 1001}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.millis);
    EXPECT_EQ(RearmPeriod(c.millis), c.period);
  }
}

TEST(ActionForTick, SyncsOnMultiplesAndFetchesTheBannerOnPhaseOne) {
  const struct {
    int32_t tick;
    int32_t interval;
    TickAction action;
  } cases[] = {
      {0, 3600, TickAction::Sync},      {1, 3600, TickAction::Banner},
      {2, 3600, TickAction::Nothing},   {3599, 3600, TickAction::Nothing},
      {3600, 3600, TickAction::Sync},   {3601, 3600, TickAction::Banner},
      {7201, 3600, TickAction::Banner}, {0, 1, TickAction::Sync},
      {1, 1, TickAction::Sync},         {3601, 1, TickAction::Sync},
      {90, 90, TickAction::Sync},       {3601, 90, TickAction::Banner},
      {3690, 90, TickAction::Sync},     {3602, 90, TickAction::Nothing},
      {1, 7200, TickAction::Banner},    {3601, 7200, TickAction::Banner},
      {0, 0, TickAction::Nothing},      {1, 0, TickAction::Banner},
      {1, -5, TickAction::Banner},      {2147483647, 2147483647, TickAction::Sync},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "tick " << c.tick << " interval " << c.interval);
    EXPECT_EQ(static_cast<int>(ActionForTick(c.tick, c.interval)), static_cast<int>(c.action));
  }
}

TEST(NextDailyCount, CountsWithinADayAndRestartsOnAnother) {
  const struct {
    const char* name;
    DailyCount stored;
    int32_t today;
    DailyCount next;
  } cases[] = {
      {"same day adds one", {5, 7}, 5, {5, 8}},
      {"next day starts at one", {5, 7}, 6, {6, 1}},
      {"nothing stored starts at one", {0, -1}, 1, {1, 1}},
      {"nothing stored on the 31st", {0, -1}, 31, {31, 1}},
      {"same day of another month continues", {17, 3}, 17, {17, 4}},
      {"count at the top stays there", {9, 2147483647}, 9, {9, 2147483647}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DailyCount next = NextDailyCount(c.stored, c.today);
    EXPECT_EQ(next.day, c.next.day);
    EXPECT_EQ(next.count, c.next.count);
  }
}

}  // namespace
