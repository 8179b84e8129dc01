#include "service/pipe_server.h"

#include <sddl.h>

// winbase.h declares it only for builds aimed at Vista and later; every
// Windows the program supports has it.
extern "C" WINBASEAPI BOOL WINAPI GetNamedPipeServerProcessId(HANDLE pipe, PULONG processId);

namespace {

// A connected client has this long to send its request, and then to take
// the reply and close its end.
constexpr DWORD kClientTimeoutMs = 2000;

enum class Wait { Done, Stopped, TimedOut };

// Waits for one overlapped call, started with result `started`, at most
// waitMs or until stop; a call then still under way is cancelled and its end
// awaited, since it writes into the caller's buffer. Done also for a call
// that failed: bytes and *error tell.
Wait Complete(HANDLE pipe, HANDLE stop, OVERLAPPED* overlapped, BOOL started, DWORD waitMs,
              DWORD* bytes, DWORD* error) {
  *bytes = 0;
  *error = started ? ERROR_SUCCESS : GetLastError();
  if (!started && *error != ERROR_IO_PENDING) return Wait::Done;
  HANDLE waits[] = {overlapped->hEvent, stop};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, waitMs);
  if (woke != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, overlapped, bytes, TRUE);  // the cancelled call's end
    return woke == WAIT_OBJECT_0 + 1 ? Wait::Stopped : Wait::TimedOut;
  }
  *error = GetOverlappedResult(pipe, overlapped, bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
  return Wait::Done;
}

DWORD Remaining(DWORD start, DWORD timeoutMs) {
  DWORD spent = GetTickCount() - start;
  return spent < timeoutMs ? timeoutMs - spent : 0;
}

// The user SID of the token the calling thread impersonates; its length, or 0.
int ThreadUser(uint8_t* sid) {
  HANDLE token = nullptr;
  // As the service itself: an identification-level token may be queried.
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return 0;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + kSidLimit];
  } info;
  DWORD size = 0;
  int length = 0;
  if (GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
      IsValidSid(info.user.User.Sid)) {
    length = static_cast<int>(GetLengthSid(info.user.User.Sid));
    if (length > kSidLimit || !CopySid(kSidLimit, sid, info.user.User.Sid)) length = 0;
  }
  CloseHandle(token);
  return length;
}

}  // namespace

bool HeldServiceSid(char* sid, int capacity) {
  // Windows derives a service's SID from its name whether or not the
  // service has one in its token; only the token says it was given one.
  BYTE account[SECURITY_MAX_SID_SIZE];
  DWORD accountSize = sizeof account;
  char domain[64];
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  char name[sizeof "NT SERVICE\\" + sizeof kClockServiceName];
  lstrcpyA(name, "NT SERVICE\\");
  lstrcatA(name, kClockServiceName);
  if (!LookupAccountNameA(nullptr, name, account, &accountSize, domain, &domainSize, &use))
    return false;
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, account, &member) || !member) return false;
  char* text = nullptr;
  if (!ConvertSidToStringSidA(account, &text)) return false;
  bool fits = lstrlenA(text) < capacity;
  if (fits) lstrcpyA(sid, text);
  LocalFree(text);
  return fits;
}

DWORD PipeHolderProcessId() {
  // Anonymous: a squatter must not act as, nor even learn, the service.
  HANDLE pipe = CreateFileA(kClockPipeName, FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return 0;
  ULONG holder = 0;
  if (!GetNamedPipeServerProcessId(pipe, &holder)) holder = 0;
  CloseHandle(pipe);
  return holder;
}

PipeServer::PipeServer(HANDLE stop, SyncRunner& runner) : stop_(stop), runner_(runner) {
  InitializeCriticalSection(&lock_);
}

PipeServer::~PipeServer() {
  // A thread that has not ended keeps its handles, the lock and the
  // descriptor it may still use; the process is ending.
  bool allEnded = true;
  for (int i = 0; i < created_; ++i) {
    Instance& instance = instances_[i];
    if (WaitForSingleObject(instance.thread, 0) != WAIT_OBJECT_0) {
      allEnded = false;
      continue;
    }
    CloseHandle(instance.thread);
    CloseHandle(instance.pipe);
    CloseHandle(instance.event);
  }
  if (!allEnded) return;
  if (security_ != nullptr) LocalFree(security_);
  DeleteCriticalSection(&lock_);
}

DWORD PipeServer::Start(const char* serviceSid) {
  if (security_ == nullptr) {
    char sddl[192];
    if (FormatPipeSecurity(serviceSid, sddl, sizeof sddl) < 0) return ERROR_INSUFFICIENT_BUFFER;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &security_,
                                                              nullptr))
      return GetLastError();
  }
  return AddInstance();
}

DWORD PipeServer::AddInstance() {
  EnterCriticalSection(&lock_);
  DWORD error = ERROR_SUCCESS;
  if (created_ < kPipeInstances && WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0) {
    Instance& instance = instances_[created_];
    instance.server = this;
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (created_ == 0) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    SECURITY_ATTRIBUTES security{sizeof security, security_, FALSE};
    instance.pipe = CreateNamedPipeA(
        kClockPipeName, openMode,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kPipeInstances, kClockReplyCapacity, kClockRequestLimit + 1, 0, &security);
    if (instance.pipe == INVALID_HANDLE_VALUE) error = GetLastError();
    if (error == ERROR_SUCCESS) {
      instance.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (instance.event == nullptr) error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
      instance.thread = CreateThread(nullptr, 0, Run, &instance, 0, nullptr);
      if (instance.thread == nullptr) error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
      ++created_;
      ++listening_;
    } else {
      if (instance.pipe != INVALID_HANDLE_VALUE) CloseHandle(instance.pipe);
      if (instance.event != nullptr) CloseHandle(instance.event);
      instance = Instance{};
    }
  }
  LeaveCriticalSection(&lock_);
  return error;
}

bool PipeServer::TakeListener() {
  EnterCriticalSection(&lock_);
  --listening_;
  bool more = listening_ == 0 && created_ < kPipeInstances;
  LeaveCriticalSection(&lock_);
  return more;
}

bool PipeServer::AwaitEnd(DWORD waitMs) {
  DWORD start = GetTickCount();
  // After stop no instance is added, so the count read here is the last.
  EnterCriticalSection(&lock_);
  int created = created_;
  LeaveCriticalSection(&lock_);
  for (int i = 0; i < created; ++i) {
    if (WaitForSingleObject(instances_[i].thread, Remaining(start, waitMs)) != WAIT_OBJECT_0)
      return false;
  }
  return true;
}

DWORD WINAPI PipeServer::Run(void* instance) {
  Instance& self = *static_cast<Instance*>(instance);
  self.server->Serve(self);
  return 0;
}

void PipeServer::Serve(Instance& instance) {
  while (WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = instance.event;
    ResetEvent(instance.event);
    BOOL started = ConnectNamedPipe(instance.pipe, &overlapped);
    DWORD bytes = 0;
    DWORD error = ERROR_SUCCESS;
    // Idle here until a client comes: no time-out, the stop event ends it.
    Wait waited = Complete(instance.pipe, stop_, &overlapped, started, INFINITE, &bytes, &error);
    if (waited == Wait::Stopped) break;
    // A client that came and went between instances counts as connected.
    bool connected = error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED;
    // The last listening instance taken: the next client of a burst finds
    // another. One that cannot be made leaves clients to wait for this one.
    if (TakeListener() && connected) AddInstance();
    uint8_t user[kSidLimit];
    int userLength = 0;
    // Over its user's share, a client is disconnected unread and tries
    // again, leaving the other instances to other users.
    if (connected && Admit(instance.pipe, user, &userLength)) {
      Answer(instance);
      EnterCriticalSection(&lock_);
      shares_.Release(user, userLength);
      LeaveCriticalSection(&lock_);
    } else if (!connected && WaitForSingleObject(stop_, 100) == WAIT_OBJECT_0) {
      break;  // a failing instance does not spin
    }
    DisconnectNamedPipe(instance.pipe);  // ends this client; the instance serves the next
    EnterCriticalSection(&lock_);
    ++listening_;
    LeaveCriticalSection(&lock_);
  }
}

bool PipeServer::Admit(HANDLE pipe, uint8_t* sid, int* length) {
  // The client's identity is taken when it opens the pipe, so it can be read
  // before it sends anything: a silent client counts too.
  if (!ImpersonateNamedPipeClient(pipe)) return false;
  *length = ThreadUser(sid);
  // A thread left as the client would serve the next one as them.
  if (!RevertToSelf()) ExitProcess(ERROR_CANNOT_IMPERSONATE);
  if (*length == 0) return false;  // an anonymous client is nobody's share
  EnterCriticalSection(&lock_);
  bool admitted = shares_.Take(sid, *length);
  LeaveCriticalSection(&lock_);
  return admitted;
}

void PipeServer::Answer(Instance& instance) {
  DWORD start = GetTickCount();
  OVERLAPPED overlapped{};
  overlapped.hEvent = instance.event;
  char request[kClockRequestLimit + 1];
  DWORD bytes = 0;
  DWORD error = ERROR_SUCCESS;
  ResetEvent(instance.event);
  BOOL started = ReadFile(instance.pipe, request, sizeof request, nullptr, &overlapped);
  if (Complete(instance.pipe, stop_, &overlapped, started, kClientTimeoutMs, &bytes, &error) !=
      Wait::Done)
    return;
  int length = static_cast<int>(bytes);
  if (error == ERROR_MORE_DATA) {
    // Over the limit: the rest of the message is read and dropped, so that
    // the client's write ends and it can read the refusal; but no more than
    // kDrainLimit, and within the client's time, since reads of a message
    // already written complete at once and would never wait on the clock.
    char rest[4096];
    DWORD drained = 0;
    while (error == ERROR_MORE_DATA) {
      if (drained >= kDrainLimit || Remaining(start, kClientTimeoutMs) == 0) return;
      ResetEvent(instance.event);
      started = ReadFile(instance.pipe, rest, sizeof rest, nullptr, &overlapped);
      if (Complete(instance.pipe, stop_, &overlapped, started, Remaining(start, kClientTimeoutMs),
                   &bytes, &error) != Wait::Done)
        return;
      drained += bytes;
    }
    length = kClockRequestLimit + 1;
  }
  if (error != ERROR_SUCCESS) return;  // the client went away

  char reply[kClockReplyCapacity];
  int replyLength = AnswerClockRequest(request, length, runner_, reply);
  if (replyLength < 0) return;
  ResetEvent(instance.event);
  started = WriteFile(instance.pipe, reply, static_cast<DWORD>(replyLength), nullptr, &overlapped);
  if (Complete(instance.pipe, stop_, &overlapped, started, kClientTimeoutMs, &bytes, &error) !=
          Wait::Done ||
      error != ERROR_SUCCESS)
    return;
  // Disconnecting drops a reply the client has not read yet, so wait for the
  // client to close its end first (its next read fails), within the time-out.
  // Whatever else it sends is not read as a request: one exchange per connection.
  start = GetTickCount();
  Wait waited = Wait::Done;
  do {
    ResetEvent(instance.event);
    started = ReadFile(instance.pipe, request, sizeof request, nullptr, &overlapped);
    waited = Complete(instance.pipe, stop_, &overlapped, started,
                      Remaining(start, kClientTimeoutMs), &bytes, &error);
  } while (waited == Wait::Done && (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) &&
           Remaining(start, kClientTimeoutMs) > 0);
}
