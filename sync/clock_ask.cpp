#include "sync/clock_ask.h"

#include <cstring>

#include "service/clock_contract.h"

namespace {

// Closes a handle on every path.
class ScopedHandle {
public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

private:
  HANDLE handle_;
};

DWORD Remaining(DWORD start, DWORD timeoutMs) {
  DWORD spent = GetTickCount() - start;
  return spent < timeoutMs ? timeoutMs - spent : 0;
}

// Finishes one overlapped transfer within waitMs; a transfer still under way
// then is cancelled, and waited for, since it writes into the caller's buffer.
bool Finish(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, DWORD waitMs, DWORD* bytes) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(overlapped->hEvent, waitMs) != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, overlapped, bytes, TRUE);  // the cancelled result
    return false;
  }
  return GetOverlappedResult(pipe, overlapped, bytes, FALSE) != 0;
}

}  // namespace

bool AskClockService(DWORD timeoutMs) {
  DWORD start = GetTickCount();
  // Identification only: the service has no business acting as the user.
  DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  HANDLE opened = INVALID_HANDLE_VALUE;
  for (;;) {
    opened = CreateFileA(kClockPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         flags, nullptr);
    // A missing pipe (no service) fails at once. All instances busy: wait for
    // one within the time left and try again, since a waiter that wakes may
    // find another client has taken the instance first.
    if (opened != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) break;
    DWORD left = Remaining(start, timeoutMs);
    // A wait of 0 would mean the pipe's default wait, not none.
    if (left == 0 || !WaitNamedPipeA(kClockPipeName, left)) break;
  }
  ScopedHandle pipe(opened);
  if (!pipe.valid()) return false;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return false;

  ScopedHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  DWORD bytes = 0;
  const DWORD requestLength = sizeof kClockSyncRequest - 1;
  BOOL started = WriteFile(pipe.get(), kClockSyncRequest, requestLength, nullptr, &overlapped);
  if (!Finish(pipe.get(), &overlapped, started, Remaining(start, timeoutMs), &bytes) ||
      bytes != requestLength)
    return false;

  char reply[kClockReplyCapacity] = {};
  ResetEvent(event.get());
  started = ReadFile(pipe.get(), reply, sizeof reply - 1, nullptr, &overlapped);
  if (!Finish(pipe.get(), &overlapped, started, Remaining(start, timeoutMs), &bytes))
    return false;
  return bytes == sizeof kClockReplyOk - 1 && std::memcmp(reply, kClockReplyOk, bytes) == 0;
}
