// The pipe \\.\pipe\OrametClock: instances made as clients arrive, up to
// kPipeInstances, each served by a thread of its own, so that a client that
// sends nothing holds one instance for the read time-out at most while the
// others go on answering, and a burst of clients finds one free. A user who
// already holds kUserShare is turned away at once.
#pragma once
#include <windows.h>

#include "service/clock_contract.h"
#include "service/pipe_rules.h"

// The service's own SID ("S-1-5-80-…") as text, when its token holds it;
// false when the system knows no such SID or the token lacks it.
bool HeldServiceSid(char* sid, int capacity);

// The process serving the pipe's name, found by connecting as a client that
// lets itself be neither impersonated nor identified; 0 when none answers.
DWORD PipeHolderProcessId();

class PipeServer {
public:
  PipeServer(HANDLE stop, SyncRunner& runner);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the first instance (it must be the pipe's first: a pipe of that
  // name held by another process is an error) and starts its thread.
  // serviceSid, when not null, alone may add instances besides SYSTEM and
  // Administrators (else LocalService). Returns the system error when it
  // cannot; it may be called again after a failure.
  DWORD Start(const char* serviceSid);
  // Waits at most waitMs for the threads to end after stop.
  bool AwaitEnd(DWORD waitMs);

private:
  struct Instance {
    PipeServer* server = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    HANDLE thread = nullptr;
  };
  static DWORD WINAPI Run(void* instance);
  // One more listening instance and its thread, unless the bound is reached
  // or the service stops; the system error when it cannot be made.
  DWORD AddInstance();
  // A listening instance took a client: true when none is left listening and
  // another may be made for the next one.
  bool TakeListener();
  void Serve(Instance& instance);
  // Counts the connected client against its user's share; false when it is
  // over the share or cannot be identified. sid receives the user's SID.
  bool Admit(HANDLE pipe, uint8_t* sid, int* length);
  void Answer(Instance& instance);

  HANDLE stop_;
  SyncRunner& runner_;
  PSECURITY_DESCRIPTOR security_ = nullptr;
  CRITICAL_SECTION lock_;
  // Guarded by lock_: instances made, those waiting for a client, and each
  // user's count of the others.
  int created_ = 0;
  int listening_ = 0;
  InstanceShares shares_;
  Instance instances_[kPipeInstances];
};
