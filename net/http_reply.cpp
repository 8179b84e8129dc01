#include "net/http_reply.h"

#include <cstring>

#include "app/format_text.h"

int FormatRequest(const char* host, const char* target, char* request, int capacity) {
  int length = FormatText(request, static_cast<size_t>(capacity),
                             "GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: Horalin\r\n\r\n",
                             target, host);
  if (length < 0 || length >= capacity) return -1;
  return length;
}

int ExtractBody(char* buffer, int received) {
  buffer[received] = '\0';
  // strstr stops at the first zero byte: one inside the headers hides the end.
  const char* headerEnd = std::strstr(buffer, "\r\n\r\n");
  if (headerEnd == nullptr) return -1;
  int offset = static_cast<int>(headerEnd - buffer) + 4;
  int length = received - offset;
  // By length, not as a string: the body may hold zero bytes of its own.
  std::memmove(buffer, buffer + offset, static_cast<size_t>(length) + 1);
  return length;
}
