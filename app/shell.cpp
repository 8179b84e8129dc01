// The main window's part in the application shell: keyboard filter, idle
// handler, focus on empty-area clicks, Winsock start and the close command.
#include <winsock2.h>

#include "res/texts.h"
#include "ui/main_window.h"

BOOL MainWindow::PreTranslateMessage(MSG* msg) { return IsDialogMessageA(hwnd, msg); }

BOOL MainWindow::OnIdle() { return FALSE; }

LRESULT MainWindow::OnLButtonDown() {
  SetFocus(hwnd);
  return 0;
}

void MainWindow::StartNetwork() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    WSACleanup();
    MessageBoxA(hwnd, kTextNetInitFailed, kTextWarning, MB_OK);
  }
}

LRESULT MainWindow::OnCancel() {
  WSACleanup();
  DeleteTrayIcon();
  DestroyWindow(hwnd);
  PostQuitMessage(IDCANCEL);
  return 0;
}
