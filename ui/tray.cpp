#include "ui/main_window.h"

LRESULT MainWindow::OnSize(WPARAM) { return 0; }
LRESULT MainWindow::OnTrayNotify(LPARAM) { return 0; }
LRESULT MainWindow::OnRestoreWindow() { return 0; }
void MainWindow::DeleteTrayIcon() {}
