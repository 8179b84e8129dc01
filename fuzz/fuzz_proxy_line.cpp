// Any bytes a listed load balancer's connection to the TLS listener may start
// with: a PROXY line is taken only whole, within the protocol's 107 bytes and
// ending in CRLF, and the client it names is an address of the family it
// says; anything else is waited for (a prefix of a line) or refused.
#include <string_view>

#include <netinet/in.h>

#include "fuzz/fuzz_check.h"
#include "logic.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExactBuffer input(data, size);
  const std::string_view raw(input.get(), size);
  sockaddr_storage client;
  socklen_t length = 0xdead;
  const int n = oramet::parse_proxy_line(raw, client, length);
  FUZZ_CHECK(n >= -1 && n <= 107 && (n < 0 || static_cast<size_t>(n) <= size));
  if (n == 0) FUZZ_CHECK(size < 107 && raw.substr(0, 6) == std::string_view("PROXY ").substr(0, size));
  if (n > 0) {
    FUZZ_CHECK(raw.substr(0, 6) == "PROXY ");
    FUZZ_CHECK(raw.substr(static_cast<size_t>(n) - 2, 2) == "\r\n");
    FUZZ_CHECK(raw.substr(0, static_cast<size_t>(n) - 2).find("\r\n") == std::string_view::npos);
    FUZZ_CHECK(length == 0 || (client.ss_family == AF_INET && length == sizeof(sockaddr_in)) ||
               (client.ss_family == AF_INET6 && length == sizeof(sockaddr_in6)));
  }
  return 0;
}
