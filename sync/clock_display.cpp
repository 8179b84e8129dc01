#include "ui/main_window.h"

int MainWindow::ShowClock() { return 0; }
