#include "net/server_address.h"

#include <cstring>

namespace {

bool HasHttpsPrefix(const char* text) {
  const char prefix[] = "https://";
  for (int i = 0; prefix[i] != '\0'; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool ReadServerAddress(const char* setting, ServerAddress* out) {
  ServerAddress address{};
  const char* host = setting;
  const char* end = setting + std::strlen(setting);
  address.port = 80;
  if (HasHttpsPrefix(setting)) {
    address.secure = true;
    address.port = kHttpsPort;
    host += 8;
    if (end > host && end[-1] == '/') --end;
    const char* colon =
        static_cast<const char*>(std::memchr(host, ':', static_cast<size_t>(end - host)));
    if (colon != nullptr) {
      if (colon + 1 == end || end - colon > 6) return false;
      long port = 0;
      for (const char* d = colon + 1; d < end; ++d) {
        if (*d < '0' || *d > '9') return false;
        port = port * 10 + (*d - '0');
      }
      if (port < 1 || port > 65535) return false;
      address.port = static_cast<int>(port);
      end = colon;
    }
    if (end == host || std::memchr(host, '/', static_cast<size_t>(end - host)) != nullptr)
      return false;
  }
  if (end - host >= kServerHostCapacity) return false;
  std::memcpy(address.host, host, static_cast<size_t>(end - host));
  address.host[end - host] = '\0';
  *out = address;
  return true;
}
