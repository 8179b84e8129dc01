#include "service/clock_keeper.h"

#include <cstdint>

#include "settings/registry.h"
#include "sync/local_time.h"
#include "sync/time_exchange.h"

namespace {

struct ServerName {
  char text[256];
};

// The time server: the build's host unless an administrator has named
// another under HKEY_LOCAL_MACHINE. What a user stores under HKEY_CURRENT_USER
// is never read: it must not choose the time that is set for everyone.
// The native view, as reg add, regedit and the setup programs write it: a
// 32-bit service on 64-bit Windows would otherwise read WOW6432Node (32-bit
// Windows ignores the flag).
ServerName ServerHost() {
  ServerName host;
  static_assert(sizeof ORAMET_SERVER_HOST <= sizeof host.text, "host name too long");
  lstrcpynA(host.text, ORAMET_SERVER_HOST, sizeof host.text);
  ScopedKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    key.receive()) != ERROR_SUCCESS)
    return host;
  char value[256] = {};
  DWORD type = 0;
  DWORD size = sizeof value - 1;
  if (RegQueryValueExA(key.get(), "Server", nullptr, &type, reinterpret_cast<BYTE*>(value),
                       &size) == ERROR_SUCCESS &&
      type == REG_SZ && size > 0 && value[0] != '\0') {
    value[size] = '\0';
    lstrcpynA(host.text, value, sizeof host.text);
  }
  return host;
}

}  // namespace

SyncOutcome SyncSystemClock(HANDLE stop, ExchangeRoute* route) {
  char exchange[kExchangeCapacity];
  TimeExchange got = RequestTime(ServerHost().text, exchange, ProxySettings::Machine, route);
  if (got.length < 1) return {SyncResult::FetchFailed, got.length};
  if (got.reply != ReplyClass::Time) return {SyncResult::FetchFailed, 0};
  // Unix seconds broken down as they are: the UTC fields, with no zone and
  // no daylight-saving rule in the way.
  SYSTEMTIME utc;
  if (!ToLocalFields(int64_t{got.base.seconds}, got.base.millis, utc))
    return {SyncResult::FetchFailed, 0};
  // A stop while the exchange ran: the service has reported it is going,
  // and sets nothing after that.
  if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return {SyncResult::FetchFailed, 0};
  if (!SetSystemTime(&utc))
    return {SyncResult::SetFailed, static_cast<int32_t>(GetLastError())};
  return {SyncResult::Set, 0};
}

ClockKeeper::ClockKeeper(HANDLE stop) : stop_(stop) { InitializeCriticalSection(&lock_); }

ClockKeeper::~ClockKeeper() {
  // A thread still inside an exchange keeps what it uses: the process is
  // ending and takes both with it.
  if (thread_ != nullptr && WaitForSingleObject(thread_, 0) != WAIT_OBJECT_0) return;
  if (thread_ != nullptr) CloseHandle(thread_);
  if (wake_ != nullptr) CloseHandle(wake_);
  if (done_ != nullptr) CloseHandle(done_);
  DeleteCriticalSection(&lock_);
}

DWORD ClockKeeper::Start() {
  wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (wake_ == nullptr || done_ == nullptr) return GetLastError();
  thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
  return thread_ != nullptr ? ERROR_SUCCESS : GetLastError();
}

bool ClockKeeper::AwaitEnd(DWORD waitMs) {
  return thread_ == nullptr || WaitForSingleObject(thread_, waitMs) == WAIT_OBJECT_0;
}

bool ClockKeeper::Sync(SyncOutcome* outcome) {
  EnterCriticalSection(&lock_);
  ExchangeStep step = NextExchangeStep(running_, haveLast_, GetTickCount(), lastEndTick_);
  if (step == ExchangeStep::Reuse) {
    *outcome = last_;
    LeaveCriticalSection(&lock_);
    return true;
  }
  if (step == ExchangeStep::Start) {
    running_ = true;
    ResetEvent(done_);
    SetEvent(wake_);
  }
  LeaveCriticalSection(&lock_);

  HANDLE waits[] = {stop_, done_};
  if (WaitForMultipleObjects(2, waits, FALSE, kClockExchangeWaitMs) != WAIT_OBJECT_0 + 1)
    return false;
  EnterCriticalSection(&lock_);
  *outcome = last_;
  LeaveCriticalSection(&lock_);
  return true;
}

DWORD WINAPI ClockKeeper::Run(void* self) {
  static_cast<ClockKeeper*>(self)->Exchange();
  return 0;
}

void ClockKeeper::Exchange() {
  HANDLE waits[] = {stop_, wake_};
  // Idle until asked; the stop event ends the wait.
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    SyncOutcome outcome = SyncSystemClock(stop_, &route_);
    EnterCriticalSection(&lock_);
    last_ = outcome;
    haveLast_ = true;
    lastEndTick_ = GetTickCount();
    running_ = false;
    SetEvent(done_);
    LeaveCriticalSection(&lock_);
  }
}
