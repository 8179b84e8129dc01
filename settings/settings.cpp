#include "settings/registry.h"
#include "ui/main_window.h"

void MainWindow::LoadSettings() {
  intervalSeconds = 3600;
  showSeconds = 0;
}

void MainWindow::LoadServerHost() { serverHost = ORAMET_SERVER_HOST; }

void MainWindow::ReadDailyCount(int32_t& day, int32_t& count) {
  day = 0;
  count = -1;
}

int MainWindow::WriteDailyCount(int32_t, int32_t) { return -1; }
