// The service's time exchanges: one at a time on a thread of their own, and
// reused while fresh, so that no number of clients makes it ask the time
// server more than once per kClockReuseMs.
#pragma once
#include <windows.h>

#include "net/proxy_rules.h"
#include "service/clock_bound.h"
#include "service/clock_contract.h"

class ClockKeeper final : public SyncRunner {
public:
  // stop: the service's stop event, which ends every wait.
  explicit ClockKeeper(HANDLE stop);
  ~ClockKeeper();
  ClockKeeper(const ClockKeeper&) = delete;
  ClockKeeper& operator=(const ClockKeeper&) = delete;

  // Starts the exchange thread; the system error when it cannot.
  DWORD Start();
  // Waits at most waitMs for the exchange thread to end after stop; false
  // while it is still inside an exchange (its socket waits are bounded, but
  // longer than a stop may take).
  bool AwaitEnd(DWORD waitMs);

  bool Sync(SyncOutcome* outcome) override;

private:
  static DWORD WINAPI Run(void* self);
  void Exchange();
  // One exchange with the time server the registry names, and the clock set
  // from the UTC fields of its answer unless stop has been signalled or the
  // bound refuses it.
  SyncOutcome SyncSystemClock();

  HANDLE stop_;
  HANDLE wake_ = nullptr;  // auto-reset: one exchange wanted
  HANDLE done_ = nullptr;  // manual-reset: the exchange under way has ended
  HANDLE thread_ = nullptr;
  CRITICAL_SECTION lock_;
  // Guarded by lock_.
  bool running_ = false;
  bool haveLast_ = false;
  DWORD lastEndTick_ = 0;
  SyncOutcome last_{};
  // The exchange thread's own.
  ClockAnchor anchor_{};
  EventGate events_{};
  ExchangeRoute route_ = ExchangeRoute::Unknown;
};
