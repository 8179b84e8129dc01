// Stands in for the uninstaller of an earlier x86 install for all users, which
// cannot run here: does to the registry and the folder what that one does
// when run silently, and writes its command line to C:\oramet-earlier.args
// for the test to read.
#include <windows.h>

#include <cstring>
#include <initializer_list>

namespace {

const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kSettingsKey[] = "SOFTWARE\\Velmora\\Adjust";

void RemoveService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = manager ? OpenServiceA(manager, "OrametClock", SERVICE_ALL_ACCESS) : nullptr;
  if (service != nullptr) {
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);  // may not be running
    DeleteService(service);
    CloseServiceHandle(service);
  }
  if (manager != nullptr) CloseServiceHandle(manager);
}

// Deletes a value or subkey of an HKLM key in the 32-bit view, where the x86
// setup program wrote them.
void Delete32(const char* key, const char* subkey, const char* value) {
  HKEY parent = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &parent) !=
      ERROR_SUCCESS)
    return;
  if (subkey != nullptr) RegDeleteKeyA(parent, subkey);
  if (value != nullptr) RegDeleteValueA(parent, value);
  RegCloseKey(parent);
}

}  // namespace

int main() {
  const char* line = GetCommandLineA();
  HANDLE file =
      CreateFileA("C:\\oramet-earlier.args", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
  CloseHandle(file);
  // Its folder comes as _?=folder, last on the line.
  const char* folder = std::strstr(line, "_?=");
  if (folder == nullptr) return 2;
  folder += 3;
  RemoveService();
  char path[MAX_PATH];
  for (const char* name : {"oramet.exe", "oramet-clock.exe"}) {
    wsprintfA(path, "%s\\%s", folder, name);
    DeleteFileA(path);
  }
  Delete32(kUninstallKey, "Oramet", nullptr);
  Delete32(kSettingsKey, nullptr, "Server");
  HKEY run = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                    KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
    RegDeleteValueA(run, "Horalin");
    RegCloseKey(run);
  }
  return 0;
}
