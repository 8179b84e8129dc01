#include "ui/main_window.h"

int MainWindow::FetchServerTime() { return -1; }

void MainWindow::RefreshBanner() {}
