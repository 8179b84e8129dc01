#include "ui/main_window.h"

void MainWindow::LoadAutoStart() { autoStart = 0; }

LRESULT MainWindow::OnAutoStartClicked() { return 0; }
