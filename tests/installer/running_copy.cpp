// Stands in for a running oramet.exe while the setup program replaces it or
// the uninstaller removes it: the program's own main window, with the clock
// timer stopped so that it never goes to the network. Creates the file named
// by its argument once the window is up; exits with the message loop's code.
#include <windows.h>

#include <cstdlib>

#include "app/module.h"
#include "res/resource.h"
#include "ui/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  g_module.Init(instance);
  MainWindow window;
  if (window.Create(instance, IDD_MAIN) == nullptr) return 1;
  KillTimer(window.hwnd, CLOCK_TIMER);
  if (__argc > 1) {
    HANDLE ready = CreateFileA(__argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(ready);
  }
  MSG msg{};
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (!window.PreTranslateMessage(&msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  g_module.Term();
  return static_cast<int>(msg.wParam);
}
