// The pipe \\.\pipe\OrametClock: instances made as clients arrive, up to
// kPipeInstances, each served by a thread of its own, so that a client that
// sends nothing holds one instance for the read time-out at most while the
// others go on answering, and a burst of clients finds one free.
#pragma once
#include <windows.h>

#include "service/clock_contract.h"

// The most instances at once; a client beyond them waits for one to free.
constexpr int kPipeInstances = 16;

class PipeServer {
public:
  PipeServer(HANDLE stop, SyncRunner& runner);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the first instance (it must be the pipe's first: a pipe of that
  // name held by another process is an error) and starts its thread.
  // Returns the system error when it cannot.
  DWORD Start();
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
  void Answer(Instance& instance);

  HANDLE stop_;
  SyncRunner& runner_;
  PSECURITY_DESCRIPTOR security_ = nullptr;
  CRITICAL_SECTION lock_;
  // Guarded by lock_: instances made, and those waiting for a client.
  int created_ = 0;
  int listening_ = 0;
  Instance instances_[kPipeInstances];
};
