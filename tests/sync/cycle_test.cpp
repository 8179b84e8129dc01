// The clock timer on a real window, without the network: ticks are sent by
// hand and the base time is set directly.
#include <gtest/gtest.h>

#include <cstdio>

#include "res/texts.h"
#include "sync/zone.h"
#include "tests/support/loopback_server.h"
#include "tests/support/message_boxes.h"
#include "tests/sync/clock_window.h"

std::vector<SYSTEMTIME> SetLocalTimeRecorder::calls;
BOOL SetLocalTimeRecorder::result = TRUE;
DWORD SetLocalTimeRecorder::error = ERROR_INVALID_PARAMETER;

namespace {

// 2026-12-31 16:00:00 UTC; 2027-01-01 00:00:00, a Friday, in UTC+8 (this
// test runs with TZ=Asia/Shanghai).
constexpr int32_t kUtc = 1798732800;
constexpr int32_t kShanghaiBias = -480;

class ClockTimer : public ClockWindow {
protected:
  // Runs one synced tick with the base `elapsedMs` in the past and checks
  // that the time line shows 00:00:ss local for an ss the elapsed time
  // allows (the tick itself takes a moment). baseSeconds lies that many
  // whole seconds before kUtc, give or take less than a minute.
  void ExpectLiveTickShowsMidnightPlus(uint64_t elapsedMs, int32_t baseSeconds) {
    window.synced = true;
    window.baseSeconds = baseSeconds;
    window.baseMillis = 0;
    uint64_t before = TickCount64();
    window.baseTick = before - elapsedMs;  // wraps below zero as the difference does
    Tick();
    uint64_t after = TickCount64();
    EXPECT_EQ(Text(IDC_DATE), "2027年01月01日星期五");
    std::string shown = Text(IDC_TIME);
    bool matched = false;
    int64_t first = int64_t{baseSeconds} - kUtc + static_cast<int64_t>(elapsedMs / 1000);
    int64_t last = int64_t{baseSeconds} - kUtc +
                   static_cast<int64_t>((elapsedMs + (after - before)) / 1000);
    for (int64_t s = first; s <= last; ++s) {
      char expected[32];
      std::snprintf(expected, sizeof expected, "00：00：%02d", static_cast<int>(s));
      matched = matched || shown == expected;
    }
    EXPECT_TRUE(matched) << "time line " << shown << " after " << elapsedMs << " ms";
    EXPECT_EQ(window.DisplayTime.wYear, 2027);
    EXPECT_EQ(window.DisplayTime.wDayOfWeek, 5);
  }
};

TEST_F(ClockTimer, UnsyncedTickRearmsAndLeavesTheClock) {
  window.tickCounter = 5;
  window.DisplayTime = SentinelTime();
  Tick();
  EXPECT_EQ(window.tickCounter, 6);
  EXPECT_TRUE(TimerArmed());
  EXPECT_EQ(Text(IDC_DATE), kTextDatePlaceholder);
  EXPECT_EQ(Text(IDC_TIME), kTextTimePlaceholder);
  EXPECT_TRUE(SameTime(window.DisplayTime, SentinelTime()));
  EXPECT_TRUE(SetLocalTimeRecorder::calls.empty());
}

TEST_F(ClockTimer, SyncsOnMultiplesOfTheIntervalOnly) {
  // A sync clears the status line first; the fetch then fails (the server
  // is under maintenance), so the clock drops to unsynced and the lines stay.
  LoopbackServer server("127.0.0.57", {HttpReply("~")});
  ASSERT_TRUE(server.listening());
  lstrcpynA(window.serverHost, "127.0.0.57", sizeof window.serverHost);
  const struct {
    int32_t tick;
    int32_t interval;
    bool syncs;
  } cases[] = {
      // The whole decision table is checked natively; these show the window
      // acts on it. Each failed sync costs a message box, so they are few.
      {0, 3600, true}, {1, 3600, false}, {3599, 3600, false}, {7200, 3600, true}, {3601, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "tick " << c.tick << " interval " << c.interval);
    MessageBoxRecorder boxes;
    window.tickCounter = c.tick;
    window.intervalSeconds = c.interval;
    window.synced = true;
    window.baseSeconds = kUtc;
    window.baseTick = TickCount64();
    SetText(IDC_STATUS, "marker");
    SetText(IDC_DATE, "date before");
    Tick();
    EXPECT_EQ(Text(IDC_STATUS), c.syncs ? "" : "marker");
    EXPECT_EQ(window.synced, !c.syncs);
    EXPECT_EQ(Text(IDC_DATE), c.syncs ? "date before" : "2027年01月01日星期五");
    EXPECT_EQ(window.tickCounter, c.tick + 1);
    EXPECT_TRUE(TimerArmed());
  }
  EXPECT_TRUE(SetLocalTimeRecorder::calls.empty());
}

TEST_F(ClockTimer, LiveTickShowsNetworkTimeInTheZone) {
  window.tickCounter = 2;
  window.biasMinutes = kShanghaiBias;
  SetText(IDC_ZONE_LINK, "unchanged bias keeps this");
  ExpectLiveTickShowsMidnightPlus(5000, kUtc);
  EXPECT_EQ(Text(IDC_ZONE_LINK), "unchanged bias keeps this");
  EXPECT_EQ(window.tickCounter, 3);
  EXPECT_TRUE(TimerArmed());
  EXPECT_TRUE(SetLocalTimeRecorder::calls.empty()) << "a tick must not set the system clock";
}

TEST_F(ClockTimer, BiasChangeUpdatesTheZoneLinkAndTheHourOnTheSameTick) {
  window.tickCounter = 2;
  window.biasMinutes = 0;  // as if the zone changed since the last tick
  SetText(IDC_ZONE_LINK, "old zone");
  ExpectLiveTickShowsMidnightPlus(2000, kUtc);
  char name[256];
  CurrentZoneName(name);
  EXPECT_EQ(Text(IDC_ZONE_LINK), name);
  EXPECT_EQ(window.biasMinutes, kShanghaiBias);
}

TEST_F(ClockTimer, LiveClockStaysRightPast24And49Days) {
  // 2,200,000,000 ms overflow a signed 32-bit millisecond sum; 50 days, a
  // 32-bit tick count.
  window.tickCounter = 2;
  window.biasMinutes = kShanghaiBias;
  ExpectLiveTickShowsMidnightPlus(2200000000u + 7000, kUtc - 2200000);
  ExpectLiveTickShowsMidnightPlus(50ull * 86400000 + 7000, kUtc - 50 * 86400);
}

TEST_F(ClockTimer, OnlyATickThatShowsATimeAsksTheAlarm) {
  // The alarm is set to the minute every case shows, so an alarm asked about
  // an old or uncomputed time would ring too.
  SetWindowTextA(window.alarmHour, "0");
  SetWindowTextA(window.alarmMinute, "0");
  const struct {
    const char* name;
    bool synced;
    int64_t baseSeconds;
    bool rings;
  } cases[] = {
      {"synced", true, kUtc, true},
      {"2038-01-20 in UTC+8", true, 2147529600LL, true},
      {"9999-12-31 in UTC+8", true, 253402185600LL, true},
      {"unsynced", false, kUtc, false},
      {"a time the calendar cannot hold", true, -40000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ShowWindow(window.alarmCancel, SW_HIDE);
    window.tickCounter = 2;
    window.synced = c.synced;
    window.biasMinutes = kShanghaiBias;
    window.baseSeconds = c.baseSeconds;
    window.baseMillis = 0;
    window.baseTick = TickCount64() - 5000;
    window.DisplayTime = SYSTEMTIME{2027, 1, 5, 1, 0, 0, 30, 0};
    Tick();
    EXPECT_EQ((GetWindowLongA(window.alarmCancel, GWL_STYLE) & WS_VISIBLE) != 0, c.rings);
  }
}

// The periods the window arms its timer with, and a tick count the test sets.
std::vector<UINT> g_periods;
UINT_PTR WINAPI RecordSetTimer(HWND window, UINT_PTR id, UINT period, TIMERPROC proc) {
  g_periods.push_back(period);
  return SetTimer(window, id, period, proc);
}
uint64_t g_tick = 0;
uint64_t TestTick() { return g_tick; }

TEST_F(ClockTimer, ArmsTheNextTickAtTheNextNetworkSecond) {
  window.calls.setTimer = RecordSetTimer;
  window.calls.tickCount = TestTick;
  const struct {
    bool synced;
    int32_t baseMillis;
    uint64_t elapsed;
    UINT period;
  } cases[] = {
      {true, 0, 5250, 750}, {true, 700, 5200, 100}, {true, 0, 5901, 1099},
      {false, 0, 5250, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.baseMillis << " + " << c.elapsed << " ms");
    g_periods.clear();
    window.tickCounter = 2;
    window.synced = c.synced;
    window.baseSeconds = kUtc;
    window.baseMillis = c.baseMillis;
    window.baseTick = 7000000000ull;
    g_tick = window.baseTick + c.elapsed;
    Tick();
    ASSERT_EQ(g_periods.size(), 1u);
    EXPECT_EQ(g_periods[0], c.period);
  }
}

TEST_F(ClockTimer, TimesTheCalendarCannotHoldLeaveEverythingAsItWas) {
  const struct {
    const char* name;
    int64_t baseSeconds;
  } cases[] = {
      {"local time before 1970", -40000},
      {"local time past 9999-12-31 23:59:59", 253402300799LL - 480 * 60 - 5},
      {"UTC near the top, pushed over by the bias", 253402300000LL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window.tickCounter = 2;
    window.synced = true;
    window.biasMinutes = kShanghaiBias;
    window.baseSeconds = c.baseSeconds;
    window.baseMillis = 0;
    window.baseTick = TickCount64() - 10000;
    window.DisplayTime = SentinelTime();
    SetText(IDC_DATE, "date kept");
    SetText(IDC_TIME, "time kept");
    Tick();
    EXPECT_TRUE(SameTime(window.DisplayTime, SentinelTime()));
    EXPECT_EQ(Text(IDC_DATE), "date kept");
    EXPECT_EQ(Text(IDC_TIME), "time kept");
    EXPECT_TRUE(window.synced);
    EXPECT_EQ(window.tickCounter, 3);
    EXPECT_TRUE(TimerArmed());
  }
  EXPECT_TRUE(SetLocalTimeRecorder::calls.empty());
}

TEST_F(ClockTimer, ShowClockWritesBothLinesFromDisplayTime) {
  const struct {
    SYSTEMTIME time;
    const char* date;
    const char* clock;
  } cases[] = {
      // The formats themselves are checked natively.
      {{2027, 1, 2, 5, 8, 3, 9, 999}, "2027年01月05日星期二", "08：03：09"},
      {{2024, 3, 0, 10, 10, 27, 5, 0}, "2024年03月10日星期日", "10：27：05"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.date);
    window.DisplayTime = c.time;
    EXPECT_EQ(window.ShowClock(), 0);
    EXPECT_EQ(Text(IDC_DATE), c.date);
    EXPECT_EQ(Text(IDC_TIME), c.clock);
  }
}

}  // namespace
