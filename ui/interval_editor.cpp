// The row that shows the re-synchronisation interval and lets the user
// change it and its unit.
#include "res/texts.h"
#include "settings/registry.h"
#include "ui/interval.h"
#include "ui/main_window.h"

namespace {

constexpr char kIntervalValue[] = "Interval";
constexpr char kShowModeValue[] = "ShowMode";

}  // namespace

void MainWindow::ShowInterval() {
  // The edit reports this text with EN_CHANGE like typing, which sets the
  // save link's visibility for the value just shown.
  char shown[12];
  wsprintfA(shown, "%d", static_cast<int>(ShownIntervalValue(intervalSeconds, showSeconds)));
  SetWindowTextA(intervalEdit, shown);
  SetWindowTextA(unitLink, kUnitWords[showSeconds != 0 ? 1 : 0]);
}

int32_t MainWindow::ReadIntervalEdit() {
  char text[32] = {};
  GetWindowTextA(intervalEdit, text, 31);
  return IntervalEntrySeconds(text, showSeconds);
}

LRESULT MainWindow::OnIntervalChanged() {
  bool worthSaving = IsNewInterval(ReadIntervalEdit(), intervalSeconds);
  ShowWindow(intervalSave, worthSaving ? SW_SHOW : SW_HIDE);
  return 0;
}

LRESULT MainWindow::OnUnitClicked() {
  showSeconds = showSeconds == 0 ? 1 : 0;
  ShowInterval();
  // A failed write keeps the new unit for this run only.
  char text[12];
  wsprintfA(text, "%d", static_cast<int>(showSeconds));
  RegWriteString(kSettingsKey, kShowModeValue, text);
  return 0;
}

LRESULT MainWindow::OnIntervalSaveClicked() {
  int32_t entered = ReadIntervalEdit();
  if (IsNewInterval(entered, intervalSeconds)) {
    // Not checked: the reload below keeps the old interval if the write failed.
    char text[12];
    wsprintfA(text, "%d", static_cast<int>(entered));
    RegWriteString(kSettingsKey, kIntervalValue, text);
    LoadSettings();
  }
  ShowWindow(intervalSave, SW_HIDE);
  SetFocus(hwnd);
  return 0;
}
