// The row that shows the re-synchronisation interval and lets the user
// change it and its unit.
#include <string>

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
  SetWindowTextA(intervalEdit,
                 std::to_string(ShownIntervalValue(intervalSeconds, showSeconds)).c_str());
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
  RegWriteString(kSettingsKey, kShowModeValue, std::to_string(showSeconds).c_str());
  return 0;
}

LRESULT MainWindow::OnIntervalSaveClicked() {
  int32_t entered = ReadIntervalEdit();
  if (IsNewInterval(entered, intervalSeconds)) {
    // Not checked: the reload below keeps the old interval if the write failed.
    RegWriteString(kSettingsKey, kIntervalValue, std::to_string(entered).c_str());
    LoadSettings();
  }
  ShowWindow(intervalSave, SW_HIDE);
  SetFocus(hwnd);
  return 0;
}
