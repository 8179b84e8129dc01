// Any proxy settings text, as Windows or a setup script may hand it over:
// "host\nlist". The chosen proxy is one unbroken run of the list and fits
// its buffer; a host is exempted by a list of itself alone.
#include "fuzz/fuzz_check.h"
#include "net/proxy_rules.h"

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
  return 0;
}
