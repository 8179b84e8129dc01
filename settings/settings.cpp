#include "settings/registry.h"
#include "settings/settings_text.h"
#include "ui/main_window.h"

void MainWindow::LoadSettings() {
  char text[256];
  DWORD size = sizeof text - 1;
  intervalSeconds = 0;
  if (RegReadString(kSettingsKey, "Interval", text, size) == 0) {
    intervalSeconds = ParseSettingNumber(text);
  } else {
    // The older key is asked only while the new value cannot be read.
    size = sizeof text - 1;
    if (RegReadString(kOlderSettingsKey, "Interval", text, size) == 0) {
      intervalSeconds = OlderIntervalSeconds(text);
    }
  }
  if (intervalSeconds <= 0) intervalSeconds = 3600;

  size = sizeof text - 1;
  showSeconds = 0;
  if (RegReadString(kSettingsKey, "ShowMode", text, size) == 0) {
    showSeconds = ParseSettingNumber(text);
  }
}

void MainWindow::LoadServerHost() {
  char text[256];
  DWORD size = sizeof text - 1;
  DWORD type = REG_NONE;
  // Only a string names a host: the bytes of a number or of binary data
  // would be taken for one. A value whose first byte is zero reads as an
  // empty text, and an empty name would resolve to this machine itself.
  bool stored = RegReadString(kSettingsKey, "Server", text, size, &type) == 0 &&
                type == REG_SZ && text[0] != '\0';
  static_assert(sizeof ORAMET_SERVER_HOST <= kServerHostSize, "host name too long");
  lstrcpynA(serverHost, stored ? text : ORAMET_SERVER_HOST, kServerHostSize);
}

void MainWindow::ReadDailyCount(int32_t& day, int32_t& count) {
  char text[kDailyCountSize];
  DWORD size = sizeof text - 1;
  if (RegReadString(kSettingsKey, "Count", text, size) == 0) {
    ParseDailyCount(text, day, count);
  } else {
    day = 0;
    count = -1;
  }
}

int MainWindow::WriteDailyCount(int32_t day, int32_t count) {
  char text[kDailyCountSize];
  FormatDailyCount(day, count, text);
  return RegWriteString(kSettingsKey, "Count", text);
}
