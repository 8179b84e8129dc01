// The text forms of the stored settings, apart from the registry.
#pragma once
#include <cstddef>
#include <cstdint>

// Number of a single-number value, read as atoi reads it (leading white
// space, optional sign, digits up to the first other byte, 0 when there are
// none). A number beyond the signed 32-bit range gives 0, so it counts as
// unset rather than wrapping.
int32_t ParseSettingNumber(const char* text);

// The older key's interval, in minutes, as seconds; 0 when the product does
// not fit in signed 32 bits.
int32_t OlderIntervalSeconds(const char* text);

inline constexpr std::size_t kDailyCountSize = 128;

// "day,count". A text that does not hold two numbers reads like a missing
// value: day 0 and count -1. Returns whether both numbers were found.
bool ParseDailyCount(const char* text, int32_t& day, int32_t& count);

// "day,count" into a kDailyCountSize buffer.
void FormatDailyCount(int32_t day, int32_t count, char* buffer);
