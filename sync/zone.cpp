#include "sync/zone.h"

#include <windows.h>

#include <cwchar>

int32_t CurrentBiasMinutes() {
  TIME_ZONE_INFORMATION zone;
  DWORD id = GetTimeZoneInformation(&zone);
  // The record is undefined when the call fails; UTC is the neutral answer.
  if (id == TIME_ZONE_ID_INVALID) return 0;
  // StandardBias is left out on purpose: the standard-time bias is Bias alone.
  if (id == TIME_ZONE_ID_DAYLIGHT) return zone.Bias + zone.DaylightBias;
  return zone.Bias;
}

int CurrentZoneName(char* buffer) {
  buffer[0] = '\0';
  TIME_ZONE_INFORMATION zone;
  DWORD id = GetTimeZoneInformation(&zone);
  if (id == TIME_ZONE_ID_INVALID) return 0;
  const WCHAR* name = id == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightName : zone.StandardName;
  // Bounded by the field, so a name filling all 32 characters without a
  // terminator is not read past; the terminator is written here instead.
  int length = static_cast<int>(wcsnlen(name, 32));
  int written = WideCharToMultiByte(CP_ACP, 0, name, length, buffer, 255, nullptr, nullptr);
  buffer[written] = '\0';
  return 0;
}
