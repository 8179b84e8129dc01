// The arithmetic of the synchronisation cycle, apart from the window.
#pragma once
#include <cstdint>

// Local network time: seconds counted like Unix time in the zone in force,
// and 0 to 999 milliseconds after them.
struct NetworkTime {
  int64_t seconds;
  int32_t millis;
};

// Network time at nowTick, from the base time taken at baseTick, shifted by
// the zone bias. The ticks are the 64-bit count, which does not wrap in the
// life of a machine, so any interval between synchronisations is right; the
// difference is unsigned all the same, so even a wrap would not disturb it.
NetworkTime LocalTimeAt(int64_t baseSeconds, int32_t baseMillis, uint64_t baseTick,
                        uint64_t nowTick, int32_t biasMinutes);

// A reading of the 32-bit tick count as a 64-bit count, given the last
// 64-bit count this way: a reading below the last one's low half means the
// counter wrapped since, and adds 2^32. Right as long as readings come less
// than 49.7 days apart.
uint64_t ExtendTick(uint32_t reading, uint64_t last);

// Milliseconds until the next whole network second; a second whose tick
// would come in under 100 ms is skipped instead.
int32_t RearmPeriod(int32_t millis);

enum class TickAction { Sync, Banner, Nothing };

// Tick 0 and every multiple of the interval synchronise; otherwise ticks
// whose counter modulo 3600 is 1 fetch the banner.
TickAction ActionForTick(int32_t tickCounter, int32_t intervalSeconds);

struct DailyCount {
  int32_t day;
  int32_t count;
};

// The stored pair after one more fetch on day `today` of the month.
DailyCount NextDailyCount(DailyCount stored, int32_t today);
