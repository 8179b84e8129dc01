#include "sync/local_time.h"
#include "ui/main_window.h"

int MainWindow::ShowClock() {
  CalendarFields time = FieldsOf(DisplayTime);
  char buffer[kClockLineSize];
  FormatDateLine(time, buffer);
  SetWindowTextA(dateLine, buffer);
  FormatTimeLine(time, buffer);
  SetWindowTextA(timeLine, buffer);
  return 0;
}
