// Any bytes a client may send first, as the time server reads them at
// accept: what parse_simple_request lets past H2O must be one complete
// GET or HEAD in HTTP/1.1 with plain headers, which a second, plainer
// reading confirms; and the reply head written for it stays in bounds.
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "logic.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExactBuffer input(data, size);
  const std::string_view raw(input.get(), size);
  oramet::SimpleRequest request;
  if (oramet::parse_simple_request(raw, request)) {
    FUZZ_CHECK(raw.find("\r\n\r\n") == raw.size() - 4);
    FUZZ_CHECK(request.method == "GET" || request.method == "HEAD");
    const std::string line = std::string(request.method) + " " + std::string(request.target) + " HTTP/1.1\r\n";
    FUZZ_CHECK(raw.substr(0, line.size()) == line);
    FUZZ_CHECK(!request.target.empty() && request.target[0] == '/');
    for (char c : request.target) FUZZ_CHECK(c > 0x20 && c < 0x7f);
    for (char c : raw) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 ? c != 0x7f : c == '\r' || c == '\n' || c == '\t');
    for (size_t at = raw.find('\n'); at != std::string_view::npos; at = raw.find('\n', at + 1))
      FUZZ_CHECK(at > 0 && raw[at - 1] == '\r');
    for (size_t at = raw.find('\r'); at != std::string_view::npos; at = raw.find('\r', at + 1))
      FUZZ_CHECK(at + 1 < raw.size() && raw[at + 1] == '\n');
  }
  // The head with the input as reason and date, cut to what may stand there.
  char head[oramet::kMaxReplyHead];
  const size_t n = oramet::format_reply_head(head, 200, raw.substr(0, 40), raw.substr(0, 29), size, size % 2 == 0);
  FUZZ_CHECK(n < sizeof head);
  char date[32];
  int64_t t = 0;
  std::memcpy(&t, data, size < sizeof t ? size : sizeof t);
  FUZZ_CHECK(oramet::format_http_date(static_cast<time_t>(t), date) < sizeof date);
  return 0;
}
