#include "ui/main_window.h"

void MainWindow::ShowInterval() {}
int32_t MainWindow::ReadIntervalEdit() { return 0; }
LRESULT MainWindow::OnIntervalChanged() { return 0; }
LRESULT MainWindow::OnUnitClicked() { return 0; }
LRESULT MainWindow::OnIntervalSaveClicked() { return 0; }
