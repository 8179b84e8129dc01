// The alarm: an hour and a minute compared with the network clock on every
// synced tick.
#include "ui/alarm_match.h"
#include "ui/main_window.h"

void MainWindow::CheckAlarm() {
  // A count of 3 leaves room for two characters: only they take part.
  char minute[4] = {};
  char hour[4] = {};
  GetWindowTextA(alarmMinute, minute, 3);
  GetWindowTextA(alarmHour, hour, 3);
  switch (MatchAlarm(hour, minute, DisplayTime.wHour, DisplayTime.wMinute)) {
    case AlarmState::Disarmed:
      break;
    case AlarmState::Ringing:
      MessageBeep(MB_OK);
      ShowWindow(alarmCancel, SW_SHOWNORMAL);
      // Also brings the window back from the notification area; the icon
      // stays until the window is restored through it.
      ShowWindow(hwnd, SW_RESTORE);
      // To the front of every window, then an ordinary window again.
      SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      break;
    case AlarmState::Waiting:
      ShowWindow(alarmCancel, SW_HIDE);
      break;
  }
}

LRESULT MainWindow::OnAlarmCancelClicked() {
  SetWindowTextA(alarmHour, "");
  SetWindowTextA(alarmMinute, "");
  ShowWindow(alarmCancel, SW_HIDE);
  // Off both edits: focusing the empty hour edit would prefill it again.
  SetFocus(hwnd);
  return 0;
}

LRESULT MainWindow::OnAlarmHourFocus() {
  // Before the first synchronisation there is no network time to offer.
  if (!synced) return 0;
  char hour[4] = {};
  GetWindowTextA(alarmHour, hour, 3);
  if (hour[0] == '\0') {
    char shown[12];
    wsprintfA(shown, "%d", DisplayTime.wHour);
    SetWindowTextA(alarmHour, shown);
  }
  return 0;
}
