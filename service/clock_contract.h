// The clock service's pipe contract as plain values: the names, the request
// and its reply, and when an exchange may be reused. No Windows header.
//
// A client writes one message and reads one reply message, both ASCII:
//   "SYNC"  ->  "OK" | "SETFAIL <system error>" | "FETCHFAIL <n>" | "TOOFAR <seconds>"
//   anything else (other bytes, empty, over 64 bytes)  ->  "BAD", then closed.
// FETCHFAIL carries HttpGet's result when it is below 1, else 0 (a "~", "^",
// "#" or unreadable reply). TOOFAR: the time was refused, as too far from the
// service's anchor or before the build; it carries the step from the anchor
// in seconds (StepSeconds).
#pragma once
#include <cstdint>

inline constexpr char kClockServiceName[] = "OrametClock";
inline constexpr char kClockPipeName[] = "\\\\.\\pipe\\OrametClock";
inline constexpr char kClockSyncRequest[] = "SYNC";
inline constexpr char kClockReplyOk[] = "OK";

// A request longer than this is refused unread.
constexpr int kClockRequestLimit = 64;
// Every reply, terminator included, fits.
constexpr int kClockReplyCapacity = 32;
// A request within this long after the end of an exchange gets its reply again.
constexpr uint32_t kClockReuseMs = 2000;

// Longest a client's request waits for an exchange, and so the program's
// ask: the service's answer must come before the program gives up, or its
// status line would say the clock was not set while the service sets it.
// A request tries at most two ways (the one that worked last or the direct
// one, then the other), each step of which (connect, TLS handshake, reply)
// has 5 s, and a way ends at its first step that runs out: a slow way and
// then a slow second one stay within this.
constexpr uint32_t kClockExchangeWaitMs = 27000;

enum class SyncResult { Set, SetFailed, FetchFailed, TooFar };

struct SyncOutcome {
  SyncResult result;
  // The system error for SetFailed, the fetch result for FetchFailed, the
  // step in seconds for TooFar.
  int32_t code;
};

// Runs (or reuses) one exchange for a SYNC request; false when there is no
// outcome to tell (the service is stopping).
class SyncRunner {
public:
  virtual bool Sync(SyncOutcome* outcome) = 0;

protected:
  ~SyncRunner() = default;
};

// The whole contract in one place: the reply to the length bytes of request,
// written zero-terminated into reply (kClockReplyCapacity bytes). runner is
// asked only for exactly "SYNC". Returns the reply's length, or -1 when the
// runner had no outcome (nothing is to be sent). Every connection carries
// one request, so the server closes it after any reply.
int AnswerClockRequest(const char* request, int length, SyncRunner& runner, char* reply);

enum class ExchangeStep { Start, Join, Reuse };

// What a SYNC request does: joins the exchange under way, reuses the last
// one's outcome while it is under kClockReuseMs old (tick arithmetic is
// unsigned, so it stays right across the counter's wrap), or starts a new one.
ExchangeStep NextExchangeStep(bool running, bool haveLast, uint32_t nowTick, uint32_t lastEndTick);
