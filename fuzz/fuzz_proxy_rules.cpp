// Any proxy settings text, as Windows or a setup script may hand it over:
// "host\nlist". The chosen proxy is one unbroken run of the list and fits
// its buffer; a host is exempted by a list of itself alone. The host read as
// a Server setting is taken whole when plain, and when https has a host with
// no ':' or '/' and a port of 1 to 65535.
#include "fuzz/fuzz_check.h"
#include "net/proxy_rules.h"
#include "net/server_address.h"

namespace {

bool IsSeparator(char c) { return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the capacity of the proxy's buffer (1 to 256 bytes).
  const int capacity = data[0] + 1;
  ExactBuffer text(data + 1, size - 1);
  char* const begin = text.get();
  char* newline = std::strchr(begin, '\n');
  const char* host = "";
  const char* list = begin;
  if (newline != nullptr) {
    *newline = '\0';
    host = begin;
    list = newline + 1;
  }

  char* proxy = new char[static_cast<size_t>(capacity)];
  int length = SelectHttpProxy(list, proxy, capacity);
  FUZZ_CHECK(length >= -1 && length < capacity);
  if (length >= 0) {
    FUZZ_CHECK(length > 0);
    FUZZ_CHECK(proxy[length] == '\0');
    FUZZ_CHECK(std::strstr(list, proxy) != nullptr);
    for (int i = 0; i < length; ++i) FUZZ_CHECK(!IsSeparator(proxy[i]));
  }
  delete[] proxy;

  bool plain = *host != '\0';
  for (const char* p = host; *p != '\0'; ++p) plain = plain && !IsSeparator(*p);
  const bool exempt = BypassesProxy(host, list);
  if (plain) FUZZ_CHECK(BypassesProxy(host, host));
  if (*host == '\0') FUZZ_CHECK(!exempt);

  ServerAddress address;
  if (ReadServerAddress(host, &address)) {
    FUZZ_CHECK(std::strlen(address.host) < static_cast<size_t>(kServerHostCapacity));
    FUZZ_CHECK(address.port >= 1 && address.port <= 65535);
    if (address.secure) {
      FUZZ_CHECK(address.host[0] != '\0');
      FUZZ_CHECK(std::strpbrk(address.host, ":/") == nullptr);
    } else {
      FUZZ_CHECK(std::strcmp(address.host, host) == 0 && address.port == 80);
    }
  }
  return 0;
}
