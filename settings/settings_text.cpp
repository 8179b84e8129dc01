#include "settings/settings_text.h"

#include <cerrno>
#include <cstdlib>

#include "app/format_text.h"

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

namespace {

// One decimal number as scanf's %d takes it (leading white space, a sign,
// digits); false when there are no digits or the number needs more than
// 32 bits.
bool ReadNumber(const char* text, const char*& end, int32_t& value) {
  char* stop = nullptr;
  errno = 0;
  long long number = std::strtoll(text, &stop, 10);
  end = stop;
  if (stop == text || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return false;
  value = static_cast<int32_t>(number);
  return true;
}

}  // namespace

bool ParseDailyCount(const char* text, int32_t& day, int32_t& count) {
  int32_t parsedDay = 0;
  int32_t parsedCount = 0;
  const char* end = nullptr;
  if (!ReadNumber(text, end, parsedDay) || *end != ',' ||
      !ReadNumber(end + 1, end, parsedCount)) {
    day = 0;
    count = -1;
    return false;
  }
  day = parsedDay;
  count = parsedCount;
  return true;
}

void FormatDailyCount(int32_t day, int32_t count, char* buffer) {
  FormatText(buffer, kDailyCountSize, "%d,%d", static_cast<int>(day), static_cast<int>(count));
}
