#include "service/clock_keeper.h"

#include <cstdint>

#include "app/format_text.h"
#include "app/newer_windows.h"
#include "service/event_log.h"
#include "settings/registry.h"
#include "sync/calendar.h"
#include "sync/local_time.h"
#include "sync/time_exchange.h"

namespace {

// The idle exchange thread reads the tick count at least this often: where
// the 64-bit count is missing (XP) it is the 32-bit one carried over its wrap,
// which needs a reading within every 49.7 days.
constexpr DWORD kTickReadMs = 24 * 60 * 60 * 1000;

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

// A bound as an administrator stores it (REG_DWORD, native view, as the
// server); anything else is the default.
uint32_t PhaseBound(HKEY key, const char* name) {
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  if (key != nullptr &&
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
          ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof value)
    return value;
  return kDefaultPhaseCorrection;
}

PhaseBounds ReadPhaseBounds() {
  ScopedKey key;
  // A missing key leaves it null: both bounds are then the default.
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                key.receive());
  return {PhaseBound(key.get(), "MaxPosPhaseCorrection"),
          PhaseBound(key.get(), "MaxNegPhaseCorrection")};
}

UnixMs SystemClockMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // 100 ns units since 1601.
  uint64_t units = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  return static_cast<int64_t>(units / 10000) - 11644473600000;
}

struct TimeText {
  char text[24];
};

// "2026-12-09 10:00:00" (UTC); times outside the calendar do not reach here.
TimeText FormatUtc(UnixMs time) {
  TimeText result{};
  CalendarFields fields{};
  ToLocalFields(time / 1000, static_cast<int32_t>(time % 1000), fields);
  FormatText(result.text, sizeof result.text, "%04d-%02d-%02d %02d:%02d:%02d", fields.year,
             fields.month, fields.day, fields.hour, fields.minute, fields.second);
  return result;
}

struct NumberText {
  char text[16];
};

NumberText FormatNumber(long number) {
  NumberText result{};
  FormatText(result.text, sizeof result.text, "%ld", number);
  return result;
}

NumberText FormatUnsigned(unsigned long number) {
  NumberText result{};
  FormatText(result.text, sizeof result.text, "%lu", number);
  return result;
}

struct LoggedStep {
  const char* server;
  UnixMs received;
  int64_t stepMs;   // from the anchor
  int64_t movedMs;  // from the clock it replaced, when set
  PhaseBounds bounds;
  uint32_t held;
};

void LogClockEvent(ClockEvent event, const LoggedStep& step) {
  TimeText sent = FormatUtc(step.received);
  NumberText held = FormatUnsigned(step.held);
  if (event == ClockEvent::Refused) {
    NumberText seconds = FormatNumber(StepSeconds(step.stepMs));
    NumberText ahead = FormatUnsigned(step.bounds.aheadSeconds);
    NumberText behind = FormatUnsigned(step.bounds.behindSeconds);
    const char* strings[] = {step.server, sent.text, seconds.text, ahead.text, behind.text,
                             held.text};
    WriteEvent(EVENTLOG_WARNING_TYPE, MSG_STEP_REFUSED, strings, 6);
  } else if (event == ClockEvent::BeforeBuild) {
    TimeText build = FormatUtc(int64_t{ORAMET_BUILD_TIME} * 1000);
    const char* strings[] = {step.server, sent.text, build.text, held.text};
    WriteEvent(EVENTLOG_WARNING_TYPE, MSG_BEFORE_BUILD, strings, 4);
  } else if (event == ClockEvent::LargeStep) {
    NumberText moved = FormatNumber(StepSeconds(step.movedMs));
    const char* strings[] = {step.server, sent.text, moved.text, held.text};
    WriteEvent(EVENTLOG_INFORMATION_TYPE, MSG_LARGE_STEP, strings, 4);
  }
}

}  // namespace

SyncOutcome ClockKeeper::SyncSystemClock() {
  char exchange[kExchangeCapacity];
  ServerName server = ServerHost();
  TimeExchange got = RequestTime(server.text, exchange, ProxySettings::Machine, &route_);
  if (got.length < 1) return {SyncResult::FetchFailed, got.length};
  if (got.reply != ReplyClass::Time) return {SyncResult::FetchFailed, 0};
  // Unix seconds broken down as they are: the UTC fields, with no zone and
  // no daylight-saving rule in the way.
  SYSTEMTIME utc;
  if (!ToLocalFields(int64_t{got.base.seconds}, got.base.millis, utc))
    return {SyncResult::FetchFailed, 0};
  // A stop while the exchange ran: the service has reported it is going,
  // and sets nothing after that.
  if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return {SyncResult::FetchFailed, 0};

  UnixMs received = got.base.seconds * 1000 + got.base.millis;
  uint64_t tick = TickCount64();
  PhaseBounds bounds = ReadPhaseBounds();
  StepDecision decision =
      DecideStep(received, got.authenticated, anchor_, tick, bounds, ORAMET_BUILD_TIME);
  UnixMs before = SystemClockMs();
  if (decision.verdict == StepVerdict::Set && !SetSystemTime(&utc))
    return {SyncResult::SetFailed, static_cast<int32_t>(GetLastError())};
  if (decision.movesAnchor) anchor_ = {received, tick};

  ClockEvent event = EventFor(decision.verdict, received - before);
  uint32_t held = 0;
  if (event != ClockEvent::None && PassEvent(&events_, tick, &held)) {
    LoggedStep step{server.text, received, decision.stepMs, received - before, bounds, held};
    LogClockEvent(event, step);
  }
  if (decision.verdict != StepVerdict::Set)
    return {SyncResult::TooFar, StepSeconds(decision.stepMs)};
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
  // The clock as the service finds it: what an unauthenticated time is held to.
  anchor_ = {SystemClockMs(), TickCount64()};
  HANDLE waits[] = {stop_, wake_};
  // Idle until asked; the stop event ends the wait.
  for (;;) {
    DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kTickReadMs);
    if (woken == WAIT_TIMEOUT) {
      TickCount64();  // only the reading matters
      continue;
    }
    if (woken != WAIT_OBJECT_0 + 1) return;
    SyncOutcome outcome = SyncSystemClock();
    EnterCriticalSection(&lock_);
    last_ = outcome;
    haveLast_ = true;
    lastEndTick_ = GetTickCount();
    running_ = false;
    SetEvent(done_);
    LeaveCriticalSection(&lock_);
  }
}
