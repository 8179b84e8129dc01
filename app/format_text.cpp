#include "app/format_text.h"

#include <cstdarg>
#include <cstdio>

int FormatText(char* buffer, std::size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
#ifdef _WIN32
  va_list measure;
  va_copy(measure, args);
  int length = _vscprintf(format, measure);
  va_end(measure);
  if (capacity > 0) {
    if (length < 0) {
      buffer[0] = '\0';
    } else {
      // The system's _vsnprintf leaves a text that fills the buffer without
      // its terminator, so it gets one byte less and the zero is set here.
      _vsnprintf(buffer, capacity - 1, format, args);
      std::size_t end = static_cast<std::size_t>(length);
      buffer[end < capacity - 1 ? end : capacity - 1] = '\0';
    }
  }
#else
  int length = std::vsnprintf(buffer, capacity, format, args);
#endif
  va_end(args);
  return length;
}
