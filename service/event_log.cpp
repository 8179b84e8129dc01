#include "service/event_log.h"

#include "app/format_text.h"
#include "service/clock_contract.h"

namespace {

constexpr char kEventSource[] = "Oramet";

}  // namespace

void WriteEvent(WORD type, DWORD messageId, const char* const* strings, WORD count) {
  HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
  if (source == nullptr) return;
  // The strings are ASCII (numbers, times, a host name), the same in any
  // code page.
  ReportEventA(source, type, 0, messageId, nullptr, count, 0, const_cast<const char**>(strings),
               nullptr);
  DeregisterEventSource(source);
}

void LogStartFailure(const char* what, DWORD error) {
  char text[160];
  FormatText(text, sizeof text, "%s could not start: %s failed with system error %lu.",
             kClockServiceName, what, static_cast<unsigned long>(error));
  const char* strings[] = {text};
  // The SCM gets the exit code all the same.
  WriteEvent(EVENTLOG_ERROR_TYPE, MSG_START_FAILED, strings, 1);
}
