// Any request a client may write to the clock service's pipe (up to the 65
// bytes the service reads), with any outcome of the exchange: the service
// runs an exchange exactly for "SYNC", answers everything else "BAD", and the
// reply is one of the contract's forms, inside its buffer, carrying the code.
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "fuzz/fuzz_check.h"
#include "service/clock_contract.h"

namespace {

class FixedRunner final : public SyncRunner {
public:
  explicit FixedRunner(SyncOutcome outcome) : outcome_(outcome) {}
  bool Sync(SyncOutcome* outcome) override {
    ++calls;
    *outcome = outcome_;
    return true;
  }
  int calls = 0;

private:
  SyncOutcome outcome_;
};

// The number after prefix, read back as the reply states it.
bool NumberAfter(const char* reply, const char* prefix, long long* number) {
  size_t length = std::strlen(prefix);
  if (std::strncmp(reply, prefix, length) != 0) return false;
  char* end = nullptr;
  errno = 0;
  *number = std::strtoll(reply + length, &end, 10);
  return errno == 0 && end != reply + length && *end == '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Five leading bytes choose the outcome; the rest is the request.
  if (size < 5) return 0;
  SyncOutcome outcome{static_cast<SyncResult>(data[0] % 4), 0};
  uint32_t code = data[1] | data[2] << 8 | data[3] << 16 | static_cast<uint32_t>(data[4]) << 24;
  outcome.code = static_cast<int32_t>(code);
  const size_t length = std::min<size_t>(size - 5, kClockRequestLimit + 1);
  ExactBuffer request(data + 5, length);
  char reply[kClockReplyCapacity];
  std::memset(reply, 0x5a, sizeof reply);

  FixedRunner runner(outcome);
  int replyLength = AnswerClockRequest(request.get(), static_cast<int>(length), runner, reply);
  bool sync = length == 4 && std::memcmp(data + 5, "SYNC", 4) == 0;
  FUZZ_CHECK(runner.calls == (sync ? 1 : 0));
  FUZZ_CHECK(replyLength > 0 && replyLength < kClockReplyCapacity);
  FUZZ_CHECK(std::strlen(reply) == static_cast<size_t>(replyLength));
  long long number = 0;
  if (!sync) {
    FUZZ_CHECK(std::strcmp(reply, "BAD") == 0);
  } else if (outcome.result == SyncResult::Set) {
    FUZZ_CHECK(std::strcmp(reply, "OK") == 0);
  } else if (outcome.result == SyncResult::SetFailed) {
    FUZZ_CHECK(NumberAfter(reply, "SETFAIL ", &number) && number == code);
  } else if (outcome.result == SyncResult::FetchFailed) {
    FUZZ_CHECK(NumberAfter(reply, "FETCHFAIL ", &number) && number == outcome.code);
  } else {
    FUZZ_CHECK(NumberAfter(reply, "TOOFAR ", &number) && number == outcome.code);
  }
  return 0;
}
