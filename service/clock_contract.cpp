#include "service/clock_contract.h"

#include <cstring>

#include "app/format_text.h"

int AnswerClockRequest(const char* request, int length, SyncRunner& runner, char* reply) {
  const int syncLength = static_cast<int>(sizeof kClockSyncRequest) - 1;
  bool sync = length == syncLength && std::memcmp(request, kClockSyncRequest, syncLength) == 0;
  if (!sync) return FormatText(reply, kClockReplyCapacity, "BAD");

  SyncOutcome outcome{};
  if (!runner.Sync(&outcome)) return -1;
  switch (outcome.result) {
    case SyncResult::Set: return FormatText(reply, kClockReplyCapacity, "%s", kClockReplyOk);
    case SyncResult::SetFailed:
      // Windows error codes are unsigned; they read as such.
      return FormatText(reply, kClockReplyCapacity, "SETFAIL %lu",
                        static_cast<unsigned long>(static_cast<uint32_t>(outcome.code)));
    case SyncResult::FetchFailed:
      return FormatText(reply, kClockReplyCapacity, "FETCHFAIL %ld",
                        static_cast<long>(outcome.code));
    case SyncResult::TooFar:
      return FormatText(reply, kClockReplyCapacity, "TOOFAR %ld", static_cast<long>(outcome.code));
  }
  return -1;
}

ExchangeStep NextExchangeStep(bool running, bool haveLast, uint32_t nowTick, uint32_t lastEndTick) {
  if (running) return ExchangeStep::Join;
  if (haveLast && nowTick - lastEndTick < kClockReuseMs) return ExchangeStep::Reuse;
  return ExchangeStep::Start;
}
