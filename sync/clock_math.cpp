#include "sync/clock_math.h"

NetworkTime LocalTimeAt(int64_t baseSeconds, int32_t baseMillis, uint64_t baseTick,
                        uint64_t nowTick, int32_t biasMinutes) {
  uint64_t elapsed = nowTick - baseTick;
  // Split before adding: a whole 64-bit millisecond count does not fit a
  // signed sum, its seconds do.
  int64_t seconds = static_cast<int64_t>(elapsed / 1000) + baseSeconds -
                    int64_t{biasMinutes} * 60;
  int64_t total = static_cast<int64_t>(elapsed % 1000) + baseMillis;
  seconds += total / 1000;
  int32_t millis = static_cast<int32_t>(total % 1000);
  if (millis < 0) {  // only a negative base millisecond part gets here
    millis += 1000;
    seconds -= 1;
  }
  return {seconds, millis};
}

uint64_t ExtendTick(uint32_t reading, uint64_t last) {
  uint64_t wraps = last >> 32;
  if (reading < static_cast<uint32_t>(last)) ++wraps;
  return wraps << 32 | reading;
}

int32_t RearmPeriod(int32_t millis) { return millis <= 900 ? 1000 - millis : 2000 - millis; }

TickAction ActionForTick(int32_t tickCounter, int32_t intervalSeconds) {
  // The settings never hold an interval below 1; should one get here it
  // must not divide by zero, and syncing on every tick would flood the server.
  if (intervalSeconds > 0 && tickCounter % intervalSeconds == 0) return TickAction::Sync;
  if (tickCounter % 3600 == 1) return TickAction::Banner;
  return TickAction::Nothing;
}

DailyCount NextDailyCount(DailyCount stored, int32_t today) {
  if (stored.day != today) return {today, 1};
  // A stored count at the top of the range stays there rather than overflow.
  if (stored.count == INT32_MAX) return stored;
  return {stored.day, stored.count + 1};
}
