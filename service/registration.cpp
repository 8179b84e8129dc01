#include "service/registration.h"

#include "service/clock_contract.h"

namespace {

// Wide texts: the SCM keeps them in UTF-16, so they show right whatever the
// system's ANSI code page.
constexpr wchar_t kServiceNameW[] = L"OrametClock";
constexpr wchar_t kDisplayName[] = L"Oramet 时钟服务";
constexpr wchar_t kDescription[] =
    L"为 Oramet 设置系统时间："
    L"未获准修改时间的 Oramet 通过命名管道请求此服务。";
constexpr wchar_t kAccount[] = L"NT AUTHORITY\\LocalService";
// REG_MULTI_SZ: one name, then the list's end.
constexpr wchar_t kPrivileges[] = L"SeSystemtimePrivilege\0";

// winsvc.h declares these records and levels only for builds aimed at Vista
// and later, and the program's build aims at XP.
struct RequiredPrivilegesInfo {
  wchar_t* privileges;
};
constexpr DWORD kConfigFailureActionsFlag = 4;
constexpr DWORD kConfigServiceSidInfo = 5;
constexpr DWORD kServiceSidTypeUnrestricted = 1;
constexpr DWORD kStopWaitMs = 10000;

class ScopedService {
public:
  explicit ScopedService(SC_HANDLE handle) : handle_(handle) {}
  ~ScopedService() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ScopedService(const ScopedService&) = delete;
  ScopedService& operator=(const ScopedService&) = delete;
  SC_HANDLE get() const { return handle_; }

private:
  SC_HANDLE handle_;
};

// Sets one configuration level that the SCM may not know (Wine's refuses
// these with ERROR_INVALID_PARAMETER, and tells that it keeps no such level
// when asked for it); the system error of a refusal of one it knows.
DWORD ChangeNewerConfig(SC_HANDLE service, DWORD level, void* info) {
  if (ChangeServiceConfig2W(service, level, info)) return ERROR_SUCCESS;
  DWORD error = GetLastError();
  DWORD needed = 0;
  BYTE current[64];
  if (!QueryServiceConfig2W(service, level, current, sizeof current, &needed) &&
      GetLastError() == ERROR_INVALID_LEVEL)
    return ERROR_SUCCESS;
  return error;
}

bool AwaitStopped(SC_HANDLE service) {
  DWORD start = GetTickCount();
  SERVICE_STATUS status{};
  while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
    if (GetTickCount() - start > kStopWaitMs) return false;
    Sleep(100);
  }
  return true;
}

}  // namespace

DWORD InstallService(const wchar_t* program) {
  ScopedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) return GetLastError();
  // The path in quotes, so that a folder with blanks is not cut at them.
  wchar_t command[MAX_PATH + 2];
  int length = lstrlenW(program);
  if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  command[0] = L'"';
  lstrcpyW(command + 1, program);
  command[length + 1] = L'"';
  command[length + 2] = L'\0';
  SC_HANDLE created = CreateServiceW(manager.get(), kServiceNameW, kDisplayName,
                                     SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command,
                                     nullptr, nullptr, nullptr, kAccount, L"");
  if (created == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    // An update: the same service, perhaps from another folder.
    created = OpenServiceW(manager.get(), kServiceNameW, SERVICE_ALL_ACCESS);
    if (created != nullptr &&
        !ChangeServiceConfigW(created, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                              SERVICE_ERROR_NORMAL, command, nullptr, nullptr, nullptr,
                              kAccount, L"", kDisplayName)) {
      DWORD error = GetLastError();
      CloseServiceHandle(created);
      return error;
    }
  }
  ScopedService service(created);
  if (service.get() == nullptr) return GetLastError();

  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description))
    return GetLastError();
  // Its token keeps this privilege and drops every other LocalService has.
  // An SCM that keeps no such list (XP; Wine) refuses the level: the service
  // then runs with the account's own privileges, which include this one.
  RequiredPrivilegesInfo privileges{const_cast<wchar_t*>(kPrivileges)};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO,
                             &privileges) &&
      GetLastError() != ERROR_INVALID_LEVEL)
    return GetLastError();
  // Restarted a minute after each failure; the count of failures resets daily.
  SC_ACTION restart[3] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000},
                          {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{86400, nullptr, nullptr, 3, restart};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    return GetLastError();
  // And after a stop with an error, such as the pipe's name held by another
  // program for longer than the service waits for it.
  BOOL onErrors = TRUE;
  DWORD error = ChangeNewerConfig(service.get(), kConfigFailureActionsFlag, &onErrors);
  if (error != ERROR_SUCCESS) return error;
  // Its own SID in its token, which the pipe's access list names: no other
  // LocalService service may add instances. Unrestricted, since a
  // restricted token would also bar it from what HTTPS needs.
  DWORD sidType = kServiceSidTypeUnrestricted;
  error = ChangeNewerConfig(service.get(), kConfigServiceSidInfo, &sidType);
  if (error != ERROR_SUCCESS) return error;
  // The token is made at the start: a running service is restarted to take it.
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
      !AwaitStopped(service.get()))
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  if (!StartServiceW(service.get(), 0, nullptr) &&
      GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return GetLastError();
  return ERROR_SUCCESS;
}

DWORD UninstallService() {
  ScopedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return GetLastError();
  ScopedService service(
      OpenServiceA(manager.get(), kClockServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service.get() == nullptr) {
    return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SUCCESS : GetLastError();
  }
  SERVICE_STATUS status{};
  // Refused when it is not running; either way it is then waited for.
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  AwaitStopped(service.get());
  if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
    return GetLastError();
  return ERROR_SUCCESS;
}
