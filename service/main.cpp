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
#include "service/event_log.h"
#include "service/pipe_server.h"
#include "service/registration.h"

namespace {

// Stopping ends every wait at once; only an exchange's socket may linger,
// and the service does not wait for it beyond this.
constexpr DWORD kStopWaitHintMs = 3000;
// Another process holding the pipe's name when the service starts (at boot,
// after an update or a crash) may let go of it: the service tries again this
// often, this many times, before it gives up.
constexpr DWORD kPipeRetryMs = 1000;
constexpr int kPipeRetries = 30;

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
  // Also while it waits for the pipe's name, so that it can be stopped then.
  status.dwControlsAccepted = state == SERVICE_RUNNING || state == SERVICE_START_PENDING
                                  ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
                                  : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = waitHintMs;
  status.dwCheckPoint =
      state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : status.dwCheckPoint + 1;
  SetServiceStatus(g_service.handle, &status);  // nothing to do about a refusal
}

// The pipe's name taken by another process: a program of some user waiting
// to answer in the service's place.
void LogPipeHeld(DWORD error) {
  char holder[12], code[12], seconds[12];
  FormatText(holder, sizeof holder, "%lu", static_cast<unsigned long>(PipeHolderProcessId()));
  FormatText(code, sizeof code, "%lu", static_cast<unsigned long>(error));
  FormatText(seconds, sizeof seconds, "%lu",
             static_cast<unsigned long>(kPipeRetryMs * kPipeRetries / 1000));
  const char* strings[] = {holder, code, seconds};
  WriteEvent(EVENTLOG_WARNING_TYPE, MSG_PIPE_HELD, strings, 3);
}

// Creates the pipe, waiting for another process holding its name to let go
// of it, reporting the start's progress meanwhile.
DWORD StartPipe(PipeServer& pipes, const char* serviceSid) {
  DWORD error = pipes.Start(serviceSid);
  for (int retry = 0; retry < kPipeRetries; ++retry) {
    // The first instance refused: the name exists (ACCESS_DENIED) or all
    // the other process's instances are taken (PIPE_BUSY).
    if (error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY) break;
    if (retry == 0) LogPipeHeld(error);
    Report(SERVICE_START_PENDING, NO_ERROR, 2 * kPipeRetryMs);
    if (WaitForSingleObject(g_service.stop, kPipeRetryMs) != WAIT_TIMEOUT) break;
    error = pipes.Start(serviceSid);
  }
  return error;
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
  // Only the service's own SID may add instances; without it in the token,
  // the pipe's access list can name only the whole LocalService account.
  char serviceSid[192];
  bool ownSid = HeldServiceSid(serviceSid, sizeof serviceSid);
  if (!ownSid) WriteEvent(EVENTLOG_WARNING_TYPE, MSG_NO_SERVICE_SID, nullptr, 0);
  DWORD error = keeper->Start();
  if (error != ERROR_SUCCESS) {
    LogStartFailure("The exchange thread", error);
  } else {
    error = StartPipe(*pipes, ownSid ? serviceSid : nullptr);
    // A stop asked for while waiting for the name is no failure.
    if (WaitForSingleObject(g_service.stop, 0) == WAIT_OBJECT_0)
      error = ERROR_SUCCESS;
    else if (error != ERROR_SUCCESS)
      LogStartFailure("The pipe \\\\.\\pipe\\OrametClock", error);
  }
  if (error == ERROR_SUCCESS && WaitForSingleObject(g_service.stop, 0) != WAIT_OBJECT_0) {
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
  // The event before the handler: a stop may come while the start waits.
  g_service.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD error = g_service.stop != nullptr ? ERROR_SUCCESS : GetLastError();
  g_service.handle = RegisterServiceCtrlHandlerExA(kClockServiceName, OnControl, nullptr);
  if (g_service.handle == nullptr) return;
  Report(SERVICE_START_PENDING, NO_ERROR, kStopWaitHintMs);
  if (error == ERROR_SUCCESS)
    error = Serve();
  else
    LogStartFailure("CreateEvent", error);
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
