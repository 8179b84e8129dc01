// Helpers for tests that drive the real main window in this process.
#pragma once
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "res/resource.h"
#include "settings/registry.h"

// Nothing stored, as on a fresh account: both settings keys and the
// start-with-Windows value go (absent is as good as deleted).
inline void WipeSettings() {
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  RegDeleteKeyA(HKEY_CURRENT_USER, kOlderSettingsKey);
  HKEY run = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
    RegDeleteValueA(run, kRunValueName);
    RegCloseKey(run);
  }
}

// Runs everything posted to this thread's queue (bounded, never spins).
inline void PumpMessages() {
  MSG msg;
  for (int guard = 0; guard < 10000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++guard) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

inline std::string WindowText(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// A WM_COMMAND as a control sends it.
inline LRESULT SendCommand(HWND window, int id, int code, HWND control = nullptr) {
  return SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, code),
                      reinterpret_cast<LPARAM>(control));
}

// Whether the shell holds the window's notification icon: modifying nothing
// succeeds only for an icon that exists.
inline bool TrayIconPresent(HWND window) {
  NOTIFYICONDATAA record{};
  record.cbSize = NOTIFYICONDATAA_V1_SIZE;
  record.hWnd = window;
  record.uID = TRAY_ICON_ID;
  return Shell_NotifyIconA(NIM_MODIFY, &record) != FALSE;
}
