#include "sync/zone.h"

int32_t CurrentBiasMinutes() { return 0; }

int CurrentZoneName(char* buffer) {
  buffer[0] = '\0';
  return 0;
}
