#include "service/clock_contract.h"

#include <cstdio>
#include <cstring>

int AnswerClockRequest(const char* request, int length, SyncRunner& runner, char* reply) {
  const int syncLength = static_cast<int>(sizeof kClockSyncRequest) - 1;
  bool sync = length == syncLength && std::memcmp(request, kClockSyncRequest, syncLength) == 0;
  if (!sync) return std::snprintf(reply, kClockReplyCapacity, "BAD");

  SyncOutcome outcome{};
  if (!runner.Sync(&outcome)) return -1;
  switch (outcome.result) {
    case SyncResult::Set: return std::snprintf(reply, kClockReplyCapacity, "%s", kClockReplyOk);
    case SyncResult::SetFailed:
      // Windows error codes are unsigned; they read as such.
      return std::snprintf(reply, kClockReplyCapacity, "SETFAIL %lu",
                           static_cast<unsigned long>(static_cast<uint32_t>(outcome.code)));
    case SyncResult::FetchFailed:
      return std::snprintf(reply, kClockReplyCapacity, "FETCHFAIL %ld",
                           static_cast<long>(outcome.code));
  }
  return -1;
}

ExchangeStep NextExchangeStep(bool running, bool haveLast, uint32_t nowTick, uint32_t lastEndTick) {
  if (running) return ExchangeStep::Join;
  if (haveLast && nowTick - lastEndTick < kClockReuseMs) return ExchangeStep::Reuse;
  return ExchangeStep::Start;
}
