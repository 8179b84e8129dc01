#include "res/resource.h"
#include "ui/main_window.h"

LRESULT MainWindow::OnClockTimer() {
  KillTimer(hwnd, CLOCK_TIMER);
  if (tickCounter % intervalSeconds == 0) SyncNow();
  SetTimer(hwnd, CLOCK_TIMER, 1000, nullptr);
  ++tickCounter;
  return 0;
}

void MainWindow::SyncNow() {}
