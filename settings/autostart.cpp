// The start-with-Windows check box: one value in the current user's Run key
// that names this program.
#include "res/texts.h"
#include "settings/registry.h"
#include "settings/run_value.h"
#include "ui/main_window.h"

namespace {

// This program's full path. A path of MAX_PATH characters or more comes back
// cut short, and a cut path names some other file: such a path counts as
// unknown, so it is never stored and never matches.
bool GetOwnPath(char (&path)[MAX_PATH]) {
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return length != 0 && length < MAX_PATH;
}

}  // namespace

void MainWindow::LoadAutoStart() {
  autoStart = 0;
  char stored[kRunValueCapacity + 1];
  DWORD size = kRunValueCapacity;
  char path[MAX_PATH];
  if (RegReadString(kRunKey, kRunValueName, stored, size) == 0 && GetOwnPath(path) &&
      RunValueNamesPath(stored, path)) {
    autoStart = 1;
  }
  SendMessageA(autoStartBox, BM_SETCHECK, autoStart, 0);
}

LRESULT MainWindow::OnAutoStartClicked() {
  // The box has toggled itself before reporting the click.
  autoStart = SendMessageA(autoStartBox, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
  ScopedKey key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, key.receive()) !=
      ERROR_SUCCESS) {
    return 0;
  }
  if (autoStart == 0) {
    // Nothing to report when there was no value to delete.
    RegDeleteValueA(key.get(), kRunValueName);
    return 0;
  }
  char path[MAX_PATH];
  char data[kRunValueCapacity];
  bool stored = false;
  // One that would not read back whole is refused like a refused write.
  int length = GetOwnPath(path) ? RunValueForPath(path, data, kRunValueCapacity) : -1;
  if (length >= 0) {
    stored = RegSetValueExA(key.get(), kRunValueName, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data),
                            static_cast<DWORD>(length)) == ERROR_SUCCESS;
  }
  if (!stored) {
    MessageBoxA(hwnd, kTextAutoStartFailed, "", MB_OK);
    autoStart = 0;
    SendMessageA(autoStartBox, BM_SETCHECK, BST_UNCHECKED, 0);
  }
  return 0;
}
