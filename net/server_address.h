// The Server setting read as an address: a host name for the plain time
// exchange, or "https://host" / "https://host:port" for the same exchange
// over TLS. No Windows header.
#pragma once

constexpr int kServerHostCapacity = 256;
constexpr int kHttpsPort = 443;

struct ServerAddress {
  char host[kServerHostCapacity];
  int port;     // 80 for a plain host, 443 or the one given for https
  bool secure;
};

// "https://" in any case, a host, an optional ":port" (1 to 65535) and an
// optional "/" make a secure address; anything without that prefix is a
// plain host name, taken whole. False (out untouched) for an https address
// with no host, a bad port or more after it, and for a host that does not
// fit.
bool ReadServerAddress(const char* setting, ServerAddress* out);
