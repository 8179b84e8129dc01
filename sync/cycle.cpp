#include "app/format_text.h"
#include "res/resource.h"
#include "res/texts.h"
#include "sync/clock_ask.h"
#include "sync/clock_math.h"
#include "sync/local_time.h"
#include "sync/zone.h"
#include "ui/main_window.h"

LRESULT MainWindow::OnClockTimer() {
  // A chain of single shots: no tick can start while a fetch blocks this one.
  KillTimer(hwnd, CLOCK_TIMER);
  switch (ActionForTick(tickCounter, intervalSeconds)) {
    case TickAction::Sync: SyncNow(); break;
    case TickAction::Banner: RefreshBanner(); break;
    case TickAction::Nothing: break;
  }
  if (!synced) {
    calls.setTimer(hwnd, CLOCK_TIMER, 1000, nullptr);
  } else {
    RefreshZone();
    NetworkTime now =
        LocalTimeAt(baseSeconds, baseMillis, baseTick, calls.tickCount(), biasMinutes);
    // A time the calendar cannot hold keeps the last lines, and the alarm
    // is not asked about a time that was not computed.
    bool shown = ToLocalFields(now.seconds, now.millis, DisplayTime);
    if (shown) ShowClock();
    calls.setTimer(hwnd, CLOCK_TIMER, RearmPeriod(now.millis), nullptr);
    if (shown) CheckAlarm();
  }
  ++tickCounter;
  return 0;
}

void MainWindow::SyncNow() {
  SetWindowTextA(status, "");
  if (FetchServerTime() != 0) {
    synced = false;
    return;
  }
  // The bias of the last tick is stale after a daylight-saving change while
  // unsynced or asleep: converting with it would set the clock an hour wrong.
  RefreshZone();
  // A server time whose local time the calendar cannot hold is treated like
  // a failed fetch, without a message: nothing is shown, counted or set.
  int64_t local = int64_t{baseSeconds} - int64_t{biasMinutes} * 60;
  if (!ToLocalFields(local, baseMillis, DisplayTime)) {
    synced = false;
    return;
  }
  ShowClock();

  DailyCount stored{};
  ReadDailyCount(stored.day, stored.count);
  DailyCount next = NextDailyCount(stored, DisplayTime.wDay);
  WriteDailyCount(next.day, next.count);  // a lost count is not worth a message

  char text[64];
  FormatText(text, sizeof text, kTextFetchCountFormat, next.count);
  SetWindowTextA(fetchCount, text);

  BOOL ok = calls.setLocalTime(&DisplayTime);
  // A user without the right to change the time (a standard account, or an
  // administrator's unelevated copy) asks the clock service, which has it. It
  // sets the clock from UTC fields, so no daylight-saving step follows.
  bool byService = !ok && GetLastError() == ERROR_PRIVILEGE_NOT_HELD;
  if (byService) ok = calls.askClockService(kClockAskTimeoutMs) ? TRUE : FALSE;
  // SetLocalTime reads its argument with the daylight-saving state in force
  // when it runs; a call that moved the clock across a boundary set it off by
  // the daylight delta. Converting again with the new bias and setting once
  // more puts it right.
  int32_t usedBias = biasMinutes;
  if (ok) RefreshZone();
  if (ok && !byService && biasMinutes != usedBias) {
    local = int64_t{baseSeconds} - int64_t{biasMinutes} * 60;
    if (ToLocalFields(local, baseMillis, DisplayTime)) {
      ShowClock();
      ok = calls.setLocalTime(&DisplayTime);
    }
  }
  SetWindowTextA(status, ok ? kTextSetTimeOk : kTextSetTimeFailed);
  // The live clock runs on network time even where the system clock was not set.
  synced = true;
}

void MainWindow::RefreshZone() {
  int32_t bias = calls.currentBiasMinutes();
  if (bias == biasMinutes) return;
  char name[256];
  CurrentZoneName(name);
  SetWindowTextA(zoneLink, name);
  biasMinutes = bias;
}
