#include "ui/interval.h"

#include <limits>

namespace {

constexpr int64_t kMax32 = std::numeric_limits<int32_t>::max();
constexpr int64_t kMin32 = std::numeric_limits<int32_t>::min();
// Past this the digits that follow cannot bring the value back into range.
constexpr int64_t kDigitCeiling = int64_t{1} << 40;

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int32_t ShownIntervalValue(int32_t intervalSeconds, int32_t showSeconds) {
  if (showSeconds != 0) return intervalSeconds;
  return static_cast<int32_t>((int64_t{intervalSeconds} + 59) / 60);
}

int32_t IntervalEntrySeconds(const char* text, int32_t showSeconds) {
  const char* p = text;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude < kDigitCeiling) magnitude = magnitude * 10 + (*p - '0');
  }
  int64_t value = negative ? -magnitude : magnitude;
  if (showSeconds == 0) value *= 60;
  if (value > kMax32 || value < kMin32) return 0;
  return static_cast<int32_t>(value);
}

bool IsNewInterval(int32_t enteredSeconds, int32_t intervalSeconds) {
  return enteredSeconds > 0 && enteredSeconds != intervalSeconds;
}
