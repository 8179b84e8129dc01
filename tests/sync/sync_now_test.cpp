// Synchronisation through a loopback time server.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "res/texts.h"
#include "settings/registry.h"
#include "tests/support/loopback_server.h"
#include "tests/support/message_boxes.h"
#include "tests/sync/clock_window.h"

namespace {

// 2026-12-31 16:00:00.000 UTC: 2027-01-01 00:00:00 in UTC+8, a Friday, the
// 1st of the month.
const char kServedTime[] = "1798732800000";

class SyncNow : public ClockWindow {
protected:
  // Runs SyncNow against `server` at `ip`. False when the fetch never ran:
  // no connection and no message box.
  bool Sync(LoopbackServer& server, const char* ip) {
    lstrcpynA(window.serverHost, ip, sizeof window.serverHost);
    int connectionsBefore = server.connections();
    size_t boxesBefore = boxes.boxes().size();
    window.SyncNow();
    return server.connections() > connectionsBefore || boxes.boxes().size() > boxesBefore;
  }

  MessageBoxRecorder boxes;
};

#define SYNC_OR_FAIL(server, ip) \
  ASSERT_TRUE(Sync(server, ip)) << "SyncNow neither connected nor reported a failure"

// The tick count the live clock reads in the table below.
uint64_t g_tick = 0;
uint64_t TestTick() { return g_tick; }

TEST_F(SyncNow, GoodReplyShowsCountsAndSetsTheClock) {
  // Local times in UTC+8; the live tick comes exactly at the next second.
  const struct {
    const char* name;
    const char* body;
    SYSTEMTIME set;  // milliseconds: at least these, plus half the round trip
    const char* date;
    const char* time;
    const char* nextDate;
    const char* nextTime;
  } cases[] = {
      {"2027-01-01", kServedTime, {2027, 1, 5, 1, 0, 0, 0, 0}, "2027年01月01日星期五",
       "00：00：00", "2027年01月01日星期五", "00：00：01"},
      {"2038-01-19 03:14:08 UTC", "2147483648000", {2038, 1, 2, 19, 11, 14, 8, 0},
       "2038年01月19日星期二", "11：14：08", "2038年01月19日星期二", "11：14：09"},
      {"last second of 2040-02-29", "2214143999500", {2040, 2, 3, 29, 23, 59, 59, 500},
       "2040年02月29日星期三", "23：59：59", "2040年03月01日星期四", "00：00：00"},
      {"last second of 2100-02-28", "4107513599500", {2100, 2, 0, 28, 23, 59, 59, 500},
       "2100年02月28日星期日", "23：59：59", "2100年03月01日星期一", "00：00：00"},
  };
  LoopbackServer server("127.0.0.50");
  ASSERT_TRUE(server.listening());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WipeSettings();
    SetLocalTimeRecorder::calls.clear();
    window.calls.tickCount = ::TickCount64;
    window.DisplayTime = SentinelTime();
    server.SetScript({HttpReply(c.body)});
    size_t requestsBefore = server.requests().size();
    SYNC_OR_FAIL(server, "127.0.0.50");
    EXPECT_TRUE(boxes.boxes().empty());
    ASSERT_EQ(server.requests().size(), requestsBefore + 1);
    EXPECT_EQ(server.requests().back().rfind("GET /?", 0), 0u) << server.requests().back();
    EXPECT_EQ(Text(IDC_DATE), c.date);
    EXPECT_EQ(Text(IDC_TIME), c.time);
    EXPECT_EQ(Text(IDC_FETCH_COUNT), "取时1次");
    EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
    EXPECT_TRUE(window.synced);
    ASSERT_EQ(SetLocalTimeRecorder::calls.size(), 1u);
    const SYSTEMTIME& set = SetLocalTimeRecorder::calls[0];
    EXPECT_TRUE(SameTime(set, window.DisplayTime));
    SYSTEMTIME expected = c.set;
    expected.wMilliseconds = set.wMilliseconds;
    EXPECT_TRUE(SameTime(set, expected)) << set.wYear << "-" << set.wMonth << "-" << set.wDay;
    // The served part plus half a loopback round trip; below it wraps high.
    EXPECT_LT(static_cast<unsigned>(set.wMilliseconds - c.set.wMilliseconds), 300u);

    window.calls.tickCount = TestTick;
    g_tick = window.baseTick + (1000 - window.baseMillis);
    window.tickCounter = 2;
    Tick();
    EXPECT_EQ(Text(IDC_DATE), c.nextDate);
    EXPECT_EQ(Text(IDC_TIME), c.nextTime);
    EXPECT_EQ(window.DisplayTime.wMilliseconds, 0);
    EXPECT_EQ(SetLocalTimeRecorder::calls.size(), 1u) << "a tick must not set the clock";
    EXPECT_TRUE(TimerArmed());
  }
}

TEST_F(SyncNow, DailyCountContinuesOnTheSameDayAndRestartsOnAnother) {
  // Local days in UTC+8: 2038-01-19 11:14:08, and 2038-01-20 00:00:00.
  const char* k19th = "2147483648000";
  const char* k20th = "2147529600000";
  const struct {
    const char* stored;  // nullptr: no value
    const char* body;
    const char* shown;
    const char* storedAfter;
  } cases[] = {
      {"1,7", kServedTime, "取时8次", "1,8"},  // the served day is the 1st
      {"2,7", kServedTime, "取时1次", "1,1"},
      {"31,40", kServedTime, "取时1次", "1,1"},
      {"x", kServedTime, "取时1次", "1,1"},
      {"18,5", k19th, "取时1次", "19,1"},
      {"19,3", k19th, "取时4次", "19,4"},
      {"19,4", k20th, "取时1次", "20,1"},
  };
  LoopbackServer server("127.0.0.51");
  ASSERT_TRUE(server.listening());
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.stored ? c.stored : "nothing stored") + " " + c.body);
    WipeSettings();
    if (c.stored != nullptr) {
      ASSERT_EQ(RegWriteString(kSettingsKey, "Count", c.stored), 0);
    }
    server.SetScript({HttpReply(c.body)});
    SYNC_OR_FAIL(server, "127.0.0.51");
    EXPECT_EQ(Text(IDC_FETCH_COUNT), c.shown);
    EXPECT_EQ(StoredCount(), c.storedAfter);
  }
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(SyncNow, RefusedSetLocalTimeStillCountsAndRunsTheClock) {
  LoopbackServer server("127.0.0.52", {HttpReply(kServedTime)});
  ASSERT_TRUE(server.listening());
  SetLocalTimeRecorder::result = FALSE;
  // Refused for want of the privilege, the program asks the clock service;
  // none runs in this prefix, so the answer comes at once.
  SetLocalTimeRecorder::error = ERROR_PRIVILEGE_NOT_HELD;
  DWORD start = GetTickCount();
  SYNC_OR_FAIL(server, "127.0.0.52");
  EXPECT_LT(GetTickCount() - start, 2000u);
  EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeFailed);
  EXPECT_EQ(Text(IDC_STATUS), "\xb1\xbe\xb5\xd8\xca\xb1\xbc\xe4\xc9\xe8\xd6\xc3\xca\xa7\xb0\xdc");
  EXPECT_EQ(Text(IDC_FETCH_COUNT), "取时1次");
  EXPECT_EQ(StoredCount(), "1,1");
  EXPECT_TRUE(window.synced);

  window.tickCounter = 2;
  window.baseTick -= 3000;
  Tick();
  std::string shown = Text(IDC_TIME);
  EXPECT_TRUE(shown == "00：00：03" || shown == "00：00：04" || shown == "00：00：05") << shown;
  EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeFailed);
  EXPECT_TRUE(TimerArmed());
}

TEST_F(SyncNow, FailedFetchAfterAGoodOneFreezesTheClock) {
  LoopbackServer server("127.0.0.53", {HttpReply(kServedTime)});
  ASSERT_TRUE(server.listening());
  SYNC_OR_FAIL(server, "127.0.0.53");
  ASSERT_TRUE(window.synced);
  SYSTEMTIME shownTime = window.DisplayTime;

  server.SetScript({CloseAtOnce()});
  window.baseTick -= 4000;  // a live tick now would show a later second
  window.SyncNow();
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].caption, kTextNetworkError);
  EXPECT_FALSE(window.synced);
  EXPECT_EQ(Text(IDC_STATUS), "");
  EXPECT_EQ(Text(IDC_TIME), "00：00：00");
  EXPECT_EQ(Text(IDC_FETCH_COUNT), "取时1次");
  EXPECT_EQ(StoredCount(), "1,1");
  EXPECT_EQ(SetLocalTimeRecorder::calls.size(), 1u);

  window.tickCounter = 2;
  Tick();
  EXPECT_EQ(Text(IDC_TIME), "00：00：00");
  EXPECT_EQ(Text(IDC_DATE), "2027年01月01日星期五");
  EXPECT_TRUE(SameTime(window.DisplayTime, shownTime));
  EXPECT_TRUE(TimerArmed());

  server.SetScript({HttpReply(kServedTime)});
  window.SyncNow();
  EXPECT_TRUE(window.synced);
  EXPECT_EQ(Text(IDC_FETCH_COUNT), "取时2次");
  EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
}

TEST_F(SyncNow, ServerTimeTheCalendarCannotHoldChangesNothing) {
  // 9999-12-31 16:00:00 UTC is past the range once shifted to UTC+8.
  LoopbackServer server("127.0.0.54", {HttpReply("253402272000000")});
  ASSERT_TRUE(server.listening());
  window.DisplayTime = SentinelTime();
  window.synced = true;
  SYNC_OR_FAIL(server, "127.0.0.54");
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_FALSE(window.synced);
  EXPECT_TRUE(SameTime(window.DisplayTime, SentinelTime()));
  EXPECT_EQ(Text(IDC_DATE), kTextDatePlaceholder);
  EXPECT_EQ(Text(IDC_TIME), kTextTimePlaceholder);
  EXPECT_EQ(Text(IDC_STATUS), "");
  EXPECT_EQ(Text(IDC_FETCH_COUNT), kTextFetchCountZero);
  EXPECT_EQ(StoredCount(), "<none>");
  EXPECT_TRUE(SetLocalTimeRecorder::calls.empty());
}

TEST_F(SyncNow, FirstTickSyncsThroughTheServer) {
  LoopbackServer server("127.0.0.55", {HttpReply(kServedTime)});
  ASSERT_TRUE(server.listening());
  lstrcpynA(window.serverHost, "127.0.0.55", sizeof window.serverHost);
  window.tickCounter = 0;
  Tick();
  ASSERT_EQ(server.requests().size(), 1u) << "the first tick must fetch";
  EXPECT_TRUE(window.synced);
  EXPECT_EQ(Text(IDC_DATE), "2027年01月01日星期五");
  EXPECT_EQ(window.tickCounter, 1);
  EXPECT_TRUE(TimerArmed());
}

// A zone that moves when the clock is set: `before` until the first
// SetLocalTime, `after` from then on.
struct MovingZone {
  static int32_t before, after;
  static int32_t Bias() { return SetLocalTimeRecorder::calls.empty() ? before : after; }
};
int32_t MovingZone::before;
int32_t MovingZone::after;

TEST_F(SyncNow, ConvertsWithTheBiasInForceAndSetsAgainAcrossADaylightChange) {
  const struct {
    const char* name;
    int32_t stored, before, after;
    std::vector<WORD> hoursSet;  // of each SetLocalTime call
    const char* date;
    const char* time;
  } cases[] = {
      {"bias changed while unsynced", -540, -480, -480, {0}, "2027年01月01日星期五", "00：00：00"},
      {"setting the clock crossed a boundary", -480, -480, -420, {0, 23},
       "2026年12月31日星期四", "23：00：00"},
      {"no change", -480, -480, -480, {0}, "2027年01月01日星期五", "00：00：00"},
  };
  LoopbackServer server("127.0.0.58");
  ASSERT_TRUE(server.listening());
  window.calls.currentBiasMinutes = MovingZone::Bias;
  char zoneName[256];
  CurrentZoneName(zoneName);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLocalTimeRecorder::calls.clear();
    MovingZone::before = c.before;
    MovingZone::after = c.after;
    window.biasMinutes = c.stored;
    SetText(IDC_ZONE_LINK, "old zone");
    server.SetScript({HttpReply(kServedTime)});
    SYNC_OR_FAIL(server, "127.0.0.58");
    ASSERT_EQ(SetLocalTimeRecorder::calls.size(), c.hoursSet.size());
    for (size_t i = 0; i < c.hoursSet.size(); ++i)
      EXPECT_EQ(SetLocalTimeRecorder::calls[i].wHour, c.hoursSet[i]) << "call " << i;
    EXPECT_TRUE(SameTime(SetLocalTimeRecorder::calls.back(), window.DisplayTime));
    EXPECT_EQ(window.biasMinutes, c.after);
    EXPECT_EQ(Text(IDC_ZONE_LINK), c.stored == c.after ? "old zone" : zoneName);
    EXPECT_EQ(Text(IDC_DATE), c.date);
    EXPECT_EQ(Text(IDC_TIME), c.time);
    EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
  }
}

// Unix milliseconds of the host clock.
int64_t NowMillis() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  int64_t ticks = (int64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  return (ticks - 116444736000000000LL) / 10000;
}

std::vector<SYSTEMTIME> realCalls;
BOOL WINAPI RecordAndSetLocalTime(const SYSTEMTIME* time) {
  realCalls.push_back(*time);
  return ::SetLocalTime(time);
}

TEST_F(SyncNow, TheHostsOwnTimeIsSetForReal) {
  // Only the true current time may reach the real SetLocalTime: the server
  // answers with the host clock, read just before the request.
  LoopbackServer server("127.0.0.56");
  ASSERT_TRUE(server.listening());
  int64_t now = NowMillis();
  char body[32];
  std::snprintf(body, sizeof body, "%lld%03d", static_cast<long long>(now / 1000),
                static_cast<int>(now % 1000));
  server.SetScript({HttpReply(body)});
  realCalls.clear();
  window.calls.setLocalTime = RecordAndSetLocalTime;
  SYNC_OR_FAIL(server, "127.0.0.56");
  EXPECT_TRUE(boxes.boxes().empty());
  ASSERT_EQ(realCalls.size(), 1u);
  SYSTEMTIME local;
  GetLocalTime(&local);
  FILETIME set, current;
  SystemTimeToFileTime(&realCalls[0], &set);
  SystemTimeToFileTime(&local, &current);
  int64_t difference = ((int64_t{current.dwHighDateTime} << 32 | current.dwLowDateTime) -
                        (int64_t{set.dwHighDateTime} << 32 | set.dwLowDateTime)) / 10000;
  EXPECT_LT(difference < 0 ? -difference : difference, 2000) << "set time is " << difference
                                                             << " ms off local time";
  // Wine accepts a new time within half a second of its own clock.
  EXPECT_EQ(Text(IDC_STATUS), kTextSetTimeOk);
  EXPECT_TRUE(window.synced);
}

}  // namespace
