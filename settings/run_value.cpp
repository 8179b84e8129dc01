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

namespace {

bool SameAsciiFolded(const char* a, const char* b, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

int RepointRunValue(const char* stored, const char* oldProgram, const char* newProgram,
                    char* data, std::size_t capacity) {
  const std::size_t length = std::strlen(oldProgram);
  const std::size_t storedLength = std::strlen(stored);
  const bool quoted = storedLength == length + 2 && stored[0] == '"' &&
                      stored[length + 1] == '"';
  const char* named = quoted ? stored + 1 : stored;
  if (length == 0 || (!quoted && storedLength != length) ||
      !SameAsciiFolded(named, oldProgram, length))
    return -1;
  char fresh[kRunValueCapacity];
  int written =
      RunValueForPath(newProgram, fresh, capacity < sizeof fresh ? capacity : sizeof fresh);
  if (written < 0) return -1;
  std::memcpy(data, fresh, static_cast<std::size_t>(written) + 1);
  return written;
}
