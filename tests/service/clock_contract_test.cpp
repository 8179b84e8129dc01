// The pipe contract as plain values: every request's reply and when a SYNC
// reuses, joins or starts an exchange.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "service/clock_contract.h"

namespace {

class CountingRunner final : public SyncRunner {
public:
  bool Sync(SyncOutcome* outcome) override {
    ++calls;
    if (!haveOutcome) return false;
    *outcome = result;
    return true;
  }
  SyncOutcome result{SyncResult::Set, 0};
  bool haveOutcome = true;
  int calls = 0;
};

TEST(ClockContract, RepliesByTheContract) {
  const struct {
    std::string request;
    SyncOutcome outcome;
    bool haveOutcome;
    int length;  // -1: nothing is sent
    const char* reply;
  } cases[] = {
      {"SYNC", {SyncResult::Set, 0}, true, 2, "OK"},
      {"SYNC", {SyncResult::SetFailed, 1314}, true, 12, "SETFAIL 1314"},
      {"SYNC", {SyncResult::SetFailed, -1}, true, 18, "SETFAIL 4294967295"},
      {"SYNC", {SyncResult::FetchFailed, 0}, true, 11, "FETCHFAIL 0"},
      {"SYNC", {SyncResult::FetchFailed, -3}, true, 12, "FETCHFAIL -3"},
      {"SYNC", {SyncResult::FetchFailed, INT32_MIN}, true, 21, "FETCHFAIL -2147483648"},
      {"SYNC", {SyncResult::TooFar, 57600}, true, 12, "TOOFAR 57600"},
      {"SYNC", {SyncResult::TooFar, INT32_MIN}, true, 18, "TOOFAR -2147483648"},
      {"SYNC", {SyncResult::Set, 0}, false, -1, ""},
      {"SYN", {}, true, 3, "BAD"},
      {"SYNCS", {}, true, 3, "BAD"},
      {"sync", {}, true, 3, "BAD"},
      {std::string("SYNC\0", 5), {}, true, 3, "BAD"},
      {"", {}, true, 3, "BAD"},
      {std::string(65, 'S'), {}, true, 3, "BAD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("request [" + c.request + "] reply " + c.reply);
    CountingRunner runner;
    runner.result = c.outcome;
    runner.haveOutcome = c.haveOutcome;
    char reply[kClockReplyCapacity] = {};
    int length = AnswerClockRequest(c.request.data(), static_cast<int>(c.request.size()), runner,
                                    reply);
    EXPECT_EQ(length, c.length);
    if (c.length >= 0) {
      EXPECT_STREQ(reply, c.reply);
    }
    EXPECT_EQ(runner.calls, c.request == "SYNC" ? 1 : 0);
  }
}

TEST(ClockContract, ReusesAnExchangeForTwoSecondsAndJoinsOneUnderWay) {
  const struct {
    bool running;
    bool haveLast;
    uint32_t now;
    uint32_t lastEnd;
    ExchangeStep step;
  } cases[] = {
      {false, false, 1000, 0, ExchangeStep::Start},
      {true, false, 1000, 0, ExchangeStep::Join},
      {true, true, 1000, 900, ExchangeStep::Join},
      {false, true, 1000, 900, ExchangeStep::Reuse},
      {false, true, 2999, 1000, ExchangeStep::Reuse},
      {false, true, 3000, 1000, ExchangeStep::Start},
      {false, true, 500, 0xFFFFFF00u, ExchangeStep::Reuse},  // across the tick wrap
      {false, true, 2000, 0xFFFFFF00u, ExchangeStep::Start},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.running << c.haveLast << " " << c.now << " " << c.lastEnd);
    EXPECT_EQ(NextExchangeStep(c.running, c.haveLast, c.now, c.lastEnd), c.step);
  }
}

}  // namespace
