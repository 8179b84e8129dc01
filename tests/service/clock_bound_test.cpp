// What a received time may do to the clock through the service, and which
// outcomes reach the event log how often.
#include <gtest/gtest.h>

#include <cstdint>

#include "service/clock_bound.h"

namespace {

constexpr int64_t kHourMs = 3600 * 1000;
constexpr int64_t kBuild = 1790000000;  // seconds
// The anchor as the service found it, a day after the build; asked an hour
// later by the tick count.
constexpr ClockAnchor kAnchor{(kBuild + 86400) * 1000, 5000};
constexpr uint64_t kNowTick = kAnchor.tick + kHourMs;
constexpr UnixMs kAnchorNow = kAnchor.time + kHourMs;
constexpr PhaseBounds kDefault{kDefaultPhaseCorrection, kDefaultPhaseCorrection};
constexpr PhaseBounds kNone{kNoPhaseBound, kNoPhaseBound};

TEST(ClockBound, SetsOnlyWithinTheBoundsOrWhenAuthenticated) {
  const struct {
    const char* name;
    int64_t stepMs;  // from the anchor's time now
    bool authenticated;
    PhaseBounds bounds;
    StepVerdict verdict;
  } cases[] = {
      {"no step", 0, false, kDefault, StepVerdict::Set},
      {"15 h ahead", 54000 * 1000, false, kDefault, StepVerdict::Set},
      {"a ms more", 54000 * 1000 + 1, false, kDefault, StepVerdict::TooFar},
      {"16 h ahead", 16 * kHourMs, false, kDefault, StepVerdict::TooFar},
      {"15 h behind", -54000 * 1000, false, kDefault, StepVerdict::Set},
      {"a ms more behind", -54000 * 1000 - 1, false, kDefault, StepVerdict::TooFar},
      {"own bounds ahead", 3601 * 1000, false, {3600, 60}, StepVerdict::TooFar},
      {"own bounds behind", -61 * 1000, false, {3600, 60}, StepVerdict::TooFar},
      {"own bounds, within", -60 * 1000, false, {3600, 60}, StepVerdict::Set},
      {"no step allowed", 1, false, {0, 0}, StepVerdict::TooFar},
      {"no step allowed, none made", 0, false, {0, 0}, StepVerdict::Set},
      {"no bound ahead", 10 * 8766 * kHourMs, false, {kNoPhaseBound, 0}, StepVerdict::Set},
      {"bound behind kept", -1, false, {kNoPhaseBound, 0}, StepVerdict::TooFar},
      {"no bound behind", -20 * kHourMs, false, {0, kNoPhaseBound}, StepVerdict::Set},
      {"authenticated, a year ahead", 8766 * kHourMs, true, kDefault, StepVerdict::Set},
      // The anchor lies a day and an hour after the build.
      {"at the build", -25 * kHourMs, true, kNone, StepVerdict::Set},
      {"a ms before the build", -25 * kHourMs - 1, true, kNone, StepVerdict::BeforeBuild},
      {"before the build, unbounded", -30 * kHourMs, false, kNone, StepVerdict::BeforeBuild},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StepDecision d = DecideStep(kAnchorNow + c.stepMs, c.authenticated, kAnchor, kNowTick,
                                c.bounds, kBuild);
    EXPECT_EQ(d.verdict, c.verdict);
    EXPECT_EQ(d.stepMs, c.stepMs);
    EXPECT_EQ(d.movesAnchor, c.authenticated && c.verdict == StepVerdict::Set);
  }
}

TEST(ClockBound, StepsThatAreNotAuthenticatedCannotWalkTheClock) {
  // Each reply 10 hours further on than the one before, 2 s apart; the anchor
  // moves only as the service applies movesAnchor.
  ClockAnchor anchor = kAnchor;
  const StepVerdict expected[] = {StepVerdict::Set, StepVerdict::TooFar, StepVerdict::TooFar};
  uint64_t tick = kAnchor.tick;
  for (int i = 0; i < 3; ++i) {
    tick += 2000;
    UnixMs received = AnchorTimeAt(kAnchor, tick) + (i + 1) * 10 * kHourMs;
    StepDecision d = DecideStep(received, false, anchor, tick, kDefault, kBuild);
    EXPECT_EQ(d.verdict, expected[i]) << "reply " << i;
    if (d.movesAnchor) anchor = {received, tick};
  }
  // One authenticated time moves it, and the bound then holds around it.
  UnixMs trusted = AnchorTimeAt(kAnchor, tick) + 30 * kHourMs;
  StepDecision d = DecideStep(trusted, true, anchor, tick, kDefault, kBuild);
  ASSERT_TRUE(d.movesAnchor);
  anchor = {trusted, tick};
  EXPECT_EQ(DecideStep(trusted + 14 * kHourMs, false, anchor, tick + 1000, kDefault, kBuild).verdict,
            StepVerdict::Set);
}

TEST(ClockBound, StepSecondsRoundToTheNearestAndFitTheContract) {
  const struct {
    int64_t ms;
    int32_t seconds;
  } cases[] = {
      {0, 0},           {499, 0},          {500, 1},
      {-499, 0},        {-500, -1},        {57600 * 1000 + 400, 57600},
      {-1500, -2},      {INT64_C(2147483647499), INT32_MAX},
      {INT64_C(2147483647500), INT32_MAX}, {INT64_C(-2147483648499), INT32_MIN},
      {INT64_MAX, INT32_MAX},              {INT64_MIN, INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(StepSeconds(c.ms), c.seconds) << c.ms << " ms";
}

TEST(ClockEvents, LogsRefusalsAndStepsOfMoreThanFiveMinutes) {
  const struct {
    StepVerdict verdict;
    int64_t movedMs;
    ClockEvent event;
  } cases[] = {
      {StepVerdict::TooFar, 0, ClockEvent::Refused},
      {StepVerdict::BeforeBuild, 0, ClockEvent::BeforeBuild},
      {StepVerdict::Set, 300000, ClockEvent::None},
      {StepVerdict::Set, 300001, ClockEvent::LargeStep},
      {StepVerdict::Set, -300000, ClockEvent::None},
      {StepVerdict::Set, -300001, ClockEvent::LargeStep},
      {StepVerdict::Set, INT64_MIN, ClockEvent::LargeStep},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EventFor(c.verdict, c.movedMs), c.event)
        << static_cast<int>(c.verdict) << ", " << c.movedMs << " ms";
  }
}

TEST(ClockEvents, WritesAtMostOneEntryAMinuteAndCountsTheRest) {
  const struct {
    uint64_t tick;
    bool pass;
    uint32_t heldBefore;  // when it passes
  } calls[] = {
      {0, true, 0},       {2000, false, 0},    {59999, false, 0}, {60000, true, 2},
      {60001, false, 0},  {200000, true, 1},   {260000, true, 0},
  };
  EventGate gate;
  for (const auto& c : calls) {
    uint32_t held = 0xdeadbeef;
    EXPECT_EQ(PassEvent(&gate, c.tick, &held), c.pass) << "tick " << c.tick;
    EXPECT_EQ(held, c.pass ? c.heldBefore : 0xdeadbeef) << "tick " << c.tick;
  }
}

}  // namespace
