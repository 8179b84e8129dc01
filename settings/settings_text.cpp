#include "settings/settings_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int32_t ParseSettingNumber(const char* text) {
  errno = 0;
  long long value = std::strtoll(text, nullptr, 10);
  if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<int32_t>(value);
}

int32_t OlderIntervalSeconds(const char* text) {
  int64_t seconds = int64_t{ParseSettingNumber(text)} * 60;
  if (seconds < INT32_MIN || seconds > INT32_MAX) return 0;
  return static_cast<int32_t>(seconds);
}

bool ParseDailyCount(const char* text, int32_t& day, int32_t& count) {
  int parsedDay = 0;
  int parsedCount = 0;
  if (std::sscanf(text, "%d,%d", &parsedDay, &parsedCount) != 2) {
    day = 0;
    count = -1;
    return false;
  }
  day = parsedDay;
  count = parsedCount;
  return true;
}

void FormatDailyCount(int32_t day, int32_t count, char* buffer) {
  std::snprintf(buffer, kDailyCountSize, "%d,%d", static_cast<int>(day), static_cast<int>(count));
}
