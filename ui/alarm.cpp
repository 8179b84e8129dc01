#include "ui/main_window.h"

void MainWindow::CheckAlarm() {}
LRESULT MainWindow::OnAlarmCancelClicked() { return 0; }
LRESULT MainWindow::OnAlarmHourFocus() { return 0; }
