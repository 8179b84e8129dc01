// The program's side of the clock service: asks it to set the clock where
// the program itself may not.
#pragma once
#include <windows.h>

#include "service/clock_contract.h"

// The longest the window waits for the service's answer: as long as the
// service may take for its exchange, and a second for the pipe.
constexpr DWORD kClockAskTimeoutMs = kClockExchangeWaitMs + 1000;

// Sends "SYNC" to the service's pipe and waits for the reply, at most
// timeoutMs in all, trying again while every instance is busy or the service
// turns the connection away; a missing pipe, or one served by any process
// but the running service, fails at once and a late reply is dropped. True
// exactly when the service answered "OK".
bool AskClockService(DWORD timeoutMs);
