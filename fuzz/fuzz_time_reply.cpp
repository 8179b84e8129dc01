// Any body of the time request, as it stands in the exchange buffer after
// ExtractBody: it is classified as the client does, a time is parsed with a
// range of round trips, and an upgrade message is formed. Each parse is
// checked against a second, plainer reading of the same bytes.
#include <algorithm>
#include <string>

#include "fuzz/fuzz_check.h"
#include "sync/protocol.h"

namespace {

constexpr int32_t kSentinel = static_cast<int32_t>(0xdeadbeef);

// Round trips the client can measure: clock() differences from none to well
// past the 5 s receive time-out, and the largest.
constexpr int32_t kRoundTrips[] = {0, 1, 2, 999, 1000, 1001, 1999, 2000, 5000, 10001, 65535,
                                   INT32_MAX};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

ReplyClass ExpectedClass(const char* body, int length) {
  if (body[0] == '#') return ReplyClass::Upgrade;
  if (body[0] == '^') return ReplyClass::TooManyErrors;
  if (body[0] == '~') return ReplyClass::Maintenance;
  return length >= 8 && IsDigit(body[0]) ? ReplyClass::Time : ReplyClass::Unknown;
}

// The last second a reply may carry, 9999-12-31 23:59:59 UTC, as text.
const std::string kLastSecondText = "253402300799";

// The leading digit run of the bytes before the milliseconds as text, its
// leading zeros dropped; false for a run past the last second, compared as
// text (longer, or as long and greater), so that no arithmetic of the code
// under test is repeated here.
bool LeadingSeconds(const char* body, int length, int64_t* seconds) {
  std::string digits;
  for (int i = 0; i < length - 3 && IsDigit(body[i]); ++i) {
    if (digits.empty() && body[i] == '0') continue;
    digits.push_back(body[i]);
  }
  if (digits.size() > kLastSecondText.size() ||
      (digits.size() == kLastSecondText.size() && digits > kLastSecondText))
    return false;
  *seconds = digits.empty() ? 0 : std::stoll(digits);
  return true;
}

void CheckParse(const char* body, int length, int32_t roundTripMs) {
  BaseTime out{kSentinel, kSentinel};
  const bool parsed = ParseTimeBody(body, length, roundTripMs, &out);

  bool expected = length >= 3 && IsDigit(body[length - 3]) && IsDigit(body[length - 2]) &&
                  IsDigit(body[length - 1]);
  int64_t seconds = 0;
  int64_t millis = 0;
  if (expected) {
    expected = LeadingSeconds(body, length, &seconds);
    millis = (body[length - 3] - '0') * 100 + (body[length - 2] - '0') * 10 +
             (body[length - 1] - '0') + roundTripMs / 2;
    seconds += millis / 1000;
    millis %= 1000;
    expected = expected && seconds <= std::stoll(kLastSecondText);
  }

  FUZZ_CHECK(parsed == expected);
  if (parsed) {
    FUZZ_CHECK(out.seconds >= 0 && out.seconds == seconds);
    FUZZ_CHECK(out.millis >= 0 && out.millis <= 999 && out.millis == millis);
  } else {
    FUZZ_CHECK(out.seconds == kSentinel && out.millis == kSentinel);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The client shows a network error for an empty body; the longest is a full
  // receive (capacity less one) after the shortest header end.
  if (size == 0) return 0;
  const int length = static_cast<int>(std::min<size_t>(size, kExchangeCapacity - 1 - 4));

  // The body and its terminator and nothing more, so that a read past the
  // terminator is an overrun rather than stale bytes of the exchange buffer.
  ExactBuffer body(data, static_cast<size_t>(length));

  const ReplyClass replyClass = ClassifyReply(body.get(), length);
  switch (replyClass) {
    case ReplyClass::Upgrade:
    case ReplyClass::TooManyErrors:
    case ReplyClass::Maintenance:
    case ReplyClass::Time:
    case ReplyClass::Unknown:
      break;
    default:
      FUZZ_CHECK(!"a defined outcome");
  }
  FUZZ_CHECK(replyClass == ExpectedClass(body.get(), length));

  // Every body, not only those classed as a time: the parse must hold for any
  // bytes it is given.
  for (int32_t roundTripMs : kRoundTrips) CheckParse(body.get(), length, roundTripMs);
  FUZZ_CHECK(std::memcmp(body.get(), data, static_cast<size_t>(length)) == 0);

  if (replyClass == ReplyClass::Upgrade) {
    char* message = new char[kMessageCapacity];
    std::memset(message, 0x5a, kMessageCapacity);
    FormatUpgradeMessage(body.get() + 1, message, kMessageCapacity);
    FUZZ_CHECK(std::memchr(message, '\0', kMessageCapacity) != nullptr);
    delete[] message;
  }
  return 0;
}
