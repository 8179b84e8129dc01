// The pipe \\.\pipe\OrametClock: a fixed set of instances, each served by a
// thread of its own, so that a client that sends nothing holds one instance
// for the read time-out at most while the others go on answering.
#pragma once
#include <windows.h>

#include "service/clock_contract.h"

constexpr int kPipeInstances = 4;

class PipeServer {
public:
  PipeServer(HANDLE stop, SyncRunner& runner);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates every instance (the first one must be the pipe's first: a pipe of
  // that name held by another process is an error) and starts their threads.
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
  void Serve(Instance& instance);
  void Answer(Instance& instance);

  HANDLE stop_;
  SyncRunner& runner_;
  Instance instances_[kPipeInstances];
};
