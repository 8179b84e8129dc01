#include "service/autostart_move.h"

#include "app/format_text.h"
#include "settings/registry.h"
#include "settings/run_value.h"

namespace {

void Repoint(HKEY root, const char* subKey, const char* oldProgram, const char* newProgram) {
  ScopedKey run;
  if (RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, run.receive()) !=
      ERROR_SUCCESS)
    return;  // no Run key, or an account this one may not change
  char stored[kRunValueCapacity + 1];
  DWORD type = 0;
  DWORD size = kRunValueCapacity;
  if (RegQueryValueExA(run.get(), kRunValueName, nullptr, &type, reinterpret_cast<BYTE*>(stored),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return;
  stored[size] = '\0';
  char data[kRunValueCapacity];
  int length = RepointRunValue(stored, oldProgram, newProgram, data, sizeof data);
  if (length < 0) return;
  // A refusal leaves the value as it was: the box then shows unchecked, and
  // checking it again writes the right one.
  RegSetValueExA(run.get(), kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                 static_cast<DWORD>(length) + 1);
}

}  // namespace

DWORD MoveAutoStart(const char* oldProgram) {
  char newProgram[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, newProgram, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  char* name = newProgram + length;
  while (name > newProgram && name[-1] != '\\') --name;
  if (static_cast<size_t>(name - newProgram) + sizeof "oramet.exe" > MAX_PATH)
    return ERROR_FILENAME_EXCED_RANGE;
  lstrcpyA(name, "oramet.exe");
  // Never point a logon at a program that is not there.
  if (GetFileAttributesA(newProgram) == INVALID_FILE_ATTRIBUTES) return GetLastError();

  Repoint(HKEY_CURRENT_USER, kRunKey, oldProgram, newProgram);
  // HKEY_USERS holds the hive of every account logged on now, the one who
  // elevated the setup program included, and .DEFAULT.
  char account[256];
  char subKey[sizeof account + sizeof kRunKey];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof account;
    LONG result = RegEnumKeyExA(HKEY_USERS, i, account, &size, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) continue;  // a name too long to be an account's
    FormatText(subKey, sizeof subKey, "%s\\%s", account, kRunKey);
    Repoint(HKEY_USERS, subKey, oldProgram, newProgram);
  }
  return ERROR_SUCCESS;
}
