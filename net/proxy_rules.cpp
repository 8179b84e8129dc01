#include "net/proxy_rules.h"

#include <cstring>

namespace {

bool IsSeparator(char c) { return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const char* text, int length, const char* prefix) {
  int n = static_cast<int>(std::strlen(prefix));
  if (length < n) return false;
  for (int i = 0; i < n; ++i)
    if (Lower(text[i]) != prefix[i]) return false;
  return true;
}

// pattern[0, length) against the whole of host; '*' takes any run. The
// classic greedy walk with one back-track point: linear in practice.
bool MatchesPattern(const char* host, const char* pattern, int length) {
  const char* h = host;
  int p = 0;
  const char* retryHost = nullptr;
  int retryPattern = -1;
  while (*h != '\0') {
    if (p < length && pattern[p] == '*') {
      retryPattern = ++p;
      retryHost = h;
    } else if (p < length && Lower(pattern[p]) == Lower(*h)) {
      ++p;
      ++h;
    } else if (retryPattern >= 0) {
      p = retryPattern;
      h = ++retryHost;
    } else {
      return false;
    }
  }
  while (p < length && pattern[p] == '*') ++p;
  return p == length;
}

}  // namespace

int SelectHttpProxy(const char* proxyList, char* out, int capacity) {
  return SelectProxy(proxyList, "http", out, capacity);
}

int SelectProxy(const char* proxyList, const char* scheme, char* out, int capacity) {
  char prefix[8];
  int schemeLength = static_cast<int>(std::strlen(scheme));
  if (schemeLength > 6) return -1;
  std::memcpy(prefix, scheme, static_cast<size_t>(schemeLength));
  prefix[schemeLength] = '=';
  prefix[schemeLength + 1] = '\0';
  const char* at = proxyList;
  while (*at != '\0') {
    while (IsSeparator(*at)) ++at;
    const char* end = at;
    while (*end != '\0' && !IsSeparator(*end)) ++end;
    int length = static_cast<int>(end - at);
    const char* equals = static_cast<const char*>(std::memchr(at, '=', static_cast<size_t>(length)));
    const char* address = at;
    if (equals != nullptr) {
      // Another scheme's proxy (ftp, socks) is no use for this one.
      address = StartsWithNoCase(at, length, prefix) ? equals + 1 : nullptr;
    }
    if (address != nullptr) {
      int addressLength = static_cast<int>(end - address);
      if (StartsWithNoCase(address, addressLength, "http://")) {
        address += 7;
        addressLength -= 7;
      }
      if (addressLength > 0) {
        if (addressLength >= capacity) return -1;
        std::memcpy(out, address, static_cast<size_t>(addressLength));
        out[addressLength] = '\0';
        return addressLength;
      }
    }
    at = end;
  }
  return -1;
}

bool BypassesProxy(const char* host, const char* bypassList) {
  if (*host == '\0') return false;
  const char* at = bypassList;
  while (*at != '\0') {
    while (IsSeparator(*at)) ++at;
    const char* end = at;
    while (*end != '\0' && !IsSeparator(*end)) ++end;
    int length = static_cast<int>(end - at);
    if (length == 7 && StartsWithNoCase(at, length, "<local>")) {
      if (std::strchr(host, '.') == nullptr) return true;
    } else if (length > 0 && MatchesPattern(host, at, length)) {
      return true;
    }
    at = end;
  }
  return false;
}

LogonStep NextLogonStep(int status, int resends, bool personLogon) {
  if (status == 0) return {true, LogonPolicy::High, false};
  if (status == 407 && resends == 0 && personLogon) return {true, LogonPolicy::Low, true};
  return {false, LogonPolicy::High, false};
}
