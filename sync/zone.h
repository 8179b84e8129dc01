// The time zone in force, read afresh from the system on every call.
#pragma once
#include <cstdint>

// Minutes with UTC = local time + bias, daylight bias included while the
// system reports daylight time.
int32_t CurrentBiasMinutes();

// The name of the zone in force, in the ANSI code page, into a 256-byte
// buffer. Returns 0.
int CurrentZoneName(char* buffer);
