#include "settings/run_value.h"

#include <cstring>

int RunValueForPath(const char* modulePath, char* data, std::size_t capacity) {
  const std::size_t length = std::strlen(modulePath);
  const bool quoted = std::strchr(modulePath, ' ') != nullptr;
  const std::size_t needed = length + (quoted ? 2 : 0);
  if (capacity == 0) return -1;
  if (needed >= capacity) {
    data[0] = '\0';
    return -1;
  }
  char* out = data;
  if (quoted) *out++ = '"';
  std::memcpy(out, modulePath, length);
  out += length;
  if (quoted) *out++ = '"';
  *out = '\0';
  return static_cast<int>(needed);
}

bool RunValueNamesPath(const char* stored, const char* modulePath) {
  if (std::strcmp(stored, modulePath) == 0) return true;
  const std::size_t length = std::strlen(modulePath);
  return stored[0] == '"' && std::strncmp(stored + 1, modulePath, length) == 0 &&
         stored[length + 1] == '"' && stored[length + 2] == '\0';
}
