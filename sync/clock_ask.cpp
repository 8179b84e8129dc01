#include "sync/clock_ask.h"

#include <cstring>

#include "service/clock_contract.h"

// winbase.h declares it only for builds aimed at Vista and later; every
// Windows the program supports has it.
extern "C" WINBASEAPI BOOL WINAPI GetNamedPipeServerProcessId(HANDLE pipe, PULONG processId);

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
// ERROR_SUCCESS, WAIT_TIMEOUT or the transfer's system error.
DWORD Finish(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, DWORD waitMs, DWORD* bytes) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return GetLastError();
  if (WaitForSingleObject(overlapped->hEvent, waitMs) != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, overlapped, bytes, TRUE);  // the cancelled result
    return WAIT_TIMEOUT;
  }
  return GetOverlappedResult(pipe, overlapped, bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
}

// The service turned the connection away unread (its user holds their
// share of instances), or it ended before the reply.
bool TurnedAway(DWORD error) {
  return error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA ||
         error == ERROR_BROKEN_PIPE;
}

// A client turned away pauses this long before it tries again.
constexpr DWORD kTurnedAwayPauseMs = 50;

// The running OrametClock's process, or 0.
DWORD ClockServiceProcessId() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 0;
  SC_HANDLE service = OpenServiceA(manager, kClockServiceName, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (service == nullptr ||
      !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed))
    status.dwProcessId = 0;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return status.dwProcessId;
}

// Any user's program may create a pipe of the name while the service is not
// there to hold it, and answer "OK": only the service's own is believed.
bool ServedByTheService(HANDLE pipe) {
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server) || server == 0) return false;
  return server == ClockServiceProcessId();
}

// Opens the pipe; while every instance is busy, waits for one within the
// time left and tries again, since a waiter that wakes may find another
// client has taken the instance first. A missing pipe (no service) fails at
// once.
HANDLE OpenClockPipe(DWORD start, DWORD timeoutMs) {
  // Identification only: the service has no business acting as the user.
  DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  for (;;) {
    HANDLE pipe = CreateFileA(kClockPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, flags, nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) return pipe;
    DWORD left = Remaining(start, timeoutMs);
    // A wait of 0 would mean the pipe's default wait, not none.
    if (left == 0 || !WaitNamedPipeA(kClockPipeName, left)) return INVALID_HANDLE_VALUE;
  }
}

// Sends "SYNC" on a connected pipe and reads the reply message into reply;
// ERROR_SUCCESS or why not.
DWORD Exchange(HANDLE pipe, DWORD start, DWORD timeoutMs, char (&reply)[kClockReplyCapacity],
               DWORD* replyLength) {
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) return GetLastError();
  ScopedHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return GetLastError();
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  DWORD bytes = 0;
  const DWORD requestLength = sizeof kClockSyncRequest - 1;
  BOOL started = WriteFile(pipe, kClockSyncRequest, requestLength, nullptr, &overlapped);
  DWORD error = Finish(pipe, &overlapped, started, Remaining(start, timeoutMs), &bytes);
  if (error != ERROR_SUCCESS) return error;
  if (bytes != requestLength) return ERROR_WRITE_FAULT;
  ResetEvent(event.get());
  started = ReadFile(pipe, reply, sizeof reply, nullptr, &overlapped);
  return Finish(pipe, &overlapped, started, Remaining(start, timeoutMs), replyLength);
}

}  // namespace

bool AskClockService(DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    ScopedHandle pipe(OpenClockPipe(start, timeoutMs));
    // Nothing is sent to a server that is not the service.
    if (!pipe.valid() || !ServedByTheService(pipe.get())) return false;
    char reply[kClockReplyCapacity];
    DWORD length = 0;
    DWORD error = Exchange(pipe.get(), start, timeoutMs, reply, &length);
    if (error == ERROR_SUCCESS)
      return length == sizeof kClockReplyOk - 1 && std::memcmp(reply, kClockReplyOk, length) == 0;
    DWORD left = Remaining(start, timeoutMs);
    if (!TurnedAway(error) || left == 0) return false;
    Sleep(left < kTurnedAwayPauseMs ? left : kTurnedAwayPauseMs);
  }
}
