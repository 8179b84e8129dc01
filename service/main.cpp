// oramet-clock.exe: the service OrametClock. It holds the right to change the
// system time, which the program started by a user usually lacks, and sets
// the clock from the time server when a program asks it on its pipe.
#include <windows.h>
#include <winsock2.h>

#include <new>

#include "app/format_text.h"
#include "service/autostart_move.h"
#include "service/clock_contract.h"
#include "service/clock_keeper.h"
#include "service/pipe_server.h"
#include "service/registration.h"

namespace {

constexpr char kEventSource[] = "Oramet";
constexpr DWORD kStartFailedEvent = 1;
// Stopping ends every wait at once; only an exchange's socket may linger,
// and the service does not wait for it beyond this.
constexpr DWORD kStopWaitHintMs = 3000;

// The SCM calls ServiceMain without a context, so its state lives here, and
// only here: the status handle, the status last reported and the stop event.
struct ServiceState {
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  HANDLE stop = nullptr;
};
ServiceState g_service;

void Report(DWORD state, DWORD exitCode, DWORD waitHintMs) {
  SERVICE_STATUS& status = g_service.status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = waitHintMs;
  status.dwCheckPoint =
      state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : status.dwCheckPoint + 1;
  SetServiceStatus(g_service.handle, &status);  // nothing to do about a refusal
}

// The Application event log under the source "Oramet". No message file is
// registered, so the viewer shows the text as the event's insertion string.
void LogStartFailure(const char* what, DWORD error) {
  HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
  if (source == nullptr) return;  // the SCM still gets the exit code
  char text[160];
  FormatText(text, sizeof text, "%s could not start: %s failed with system error %lu.",
             kClockServiceName, what, static_cast<unsigned long>(error));
  const char* strings[] = {text};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, kStartFailedEvent, nullptr, 1, 0, strings,
               nullptr);
  DeregisterEventSource(source);
}

// A line for whoever started the program by hand; nothing to do when there
// is no console to take it.
void PrintError(const char* text) {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (error != nullptr && error != INVALID_HANDLE_VALUE)
    WriteFile(error, text, lstrlenA(text), &written, nullptr);
}

void PrintFailure(const char* command, DWORD error) {
  char text[80];
  FormatText(text, sizeof text, "oramet-clock: %s failed: system error %lu\n", command,
             static_cast<unsigned long>(error));
  PrintError(text);
}

// The SCM's thread calls this; it only passes the word on.
DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      SetEvent(g_service.stop);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// Runs the service until stop; the system error that kept it from running,
// else ERROR_SUCCESS.
DWORD Serve() {
  WSADATA winsock;
  int socketError = WSAStartup(MAKEWORD(2, 2), &winsock);
  if (socketError != 0) {
    LogStartFailure("Winsock", static_cast<DWORD>(socketError));
    return static_cast<DWORD>(socketError);
  }
  // Heap objects: a thread still inside an exchange at stop keeps using its
  // keeper until the process ends, so the keeper is freed only once it is done.
  ClockKeeper* keeper = new (std::nothrow) ClockKeeper(g_service.stop);
  PipeServer* pipes =
      keeper != nullptr ? new (std::nothrow) PipeServer(g_service.stop, *keeper) : nullptr;
  if (pipes == nullptr) {
    LogStartFailure("Allocation", ERROR_NOT_ENOUGH_MEMORY);
    delete keeper;
    WSACleanup();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD error = keeper->Start();
  if (error != ERROR_SUCCESS) {
    LogStartFailure("The exchange thread", error);
  } else {
    error = pipes->Start();
    // ERROR_ACCESS_DENIED or ERROR_PIPE_BUSY: another process holds the name.
    if (error != ERROR_SUCCESS) LogStartFailure("The pipe \\\\.\\pipe\\OrametClock", error);
  }
  if (error == ERROR_SUCCESS) {
    Report(SERVICE_RUNNING, NO_ERROR, 0);
    WaitForSingleObject(g_service.stop, INFINITE);
    Report(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
  }
  SetEvent(g_service.stop);
  bool pipesEnded = pipes->AwaitEnd(kStopWaitHintMs / 2);
  bool keeperEnded = keeper->AwaitEnd(kStopWaitHintMs / 4);
  if (pipesEnded) delete pipes;
  if (pipesEnded && keeperEnded) {
    delete keeper;
    WSACleanup();
  }
  return error;
}

void WINAPI ServiceMain(DWORD, char**) {
  g_service.handle = RegisterServiceCtrlHandlerExA(kClockServiceName, OnControl, nullptr);
  if (g_service.handle == nullptr) return;
  Report(SERVICE_START_PENDING, NO_ERROR, kStopWaitHintMs);
  g_service.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD error = g_service.stop != nullptr ? Serve() : GetLastError();
  if (g_service.stop == nullptr) LogStartFailure("CreateEvent", error);
  Report(SERVICE_STOPPED, error, 0);
}

}  // namespace

// Run by the SCM it serves; the setup program runs it with /install or
// /uninstall to register or remove the service. After a move from the x86
// install, /moveautostart with the removed oramet.exe re-points the accounts'
// start-with-Windows values: once from the setup program, then at each
// account's next logon (Active Setup), since only then is its hive at hand.
int main(int argc, char** argv) {
  if (argc == 3 && lstrcmpiA(argv[1], "/moveautostart") == 0) {
    // Active Setup starts it before the desktop: no console window to linger.
    FreeConsole();
    return static_cast<int>(MoveAutoStart(argv[2]));
  }
  if (argc == 2 && lstrcmpiA(argv[1], "/install") == 0) {
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return static_cast<int>(GetLastError());
    DWORD error = InstallService(program);
    if (error != ERROR_SUCCESS) PrintFailure("/install", error);
    return static_cast<int>(error);
  }
  if (argc == 2 && lstrcmpiA(argv[1], "/uninstall") == 0) {
    DWORD error = UninstallService();
    if (error != ERROR_SUCCESS) PrintFailure("/uninstall", error);
    return static_cast<int>(error);
  }
  char name[sizeof kClockServiceName];
  lstrcpyA(name, kClockServiceName);
  SERVICE_TABLE_ENTRYA services[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherA(services)) return 0;
  DWORD error = GetLastError();
  if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    char text[200];
    FormatText(text, sizeof text,
               "oramet-clock.exe runs as the Windows service %s (check it with: sc query %s);\n"
               "oramet-clock.exe /install registers and starts it, /uninstall removes it.\n",
               kClockServiceName, kClockServiceName);
    PrintError(text);
  }
  return static_cast<int>(error);
}
