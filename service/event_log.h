// The service's entries in the Application event log, source "Oramet". Their
// texts are the message table of clock_events.mc, linked into the program;
// the setup program registers it as the source's EventMessageFile.
#pragma once
#include <windows.h>

#include "clock_events.h"

// One entry: the message id of clock_events.mc and its insertion strings, in
// order. Nothing is done about a log that cannot be written: there is nowhere
// else to tell.
void WriteEvent(WORD type, DWORD messageId, const char* const* strings, WORD count);

// A start that failed: what failed and the system error.
void LogStartFailure(const char* what, DWORD error);
