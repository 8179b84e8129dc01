// Identifiers of the resources, controls, commands and private messages.
// The resource compiler sees only the macros; C++ code gets typed constants.
#pragma once

#define IDI_MAIN 128
#define IDD_MAIN 129
#define IDR_TRAY_MENU 206
#define ID_RESTORE_WINDOW 32772
#define ID_HOME_PAGE 32773

#ifndef RC_INVOKED
#include <windows.h>

// Controls of the main window. 3030 and 3033 are shared by several labels;
// only the one with SS_NOTIFY among them reports clicks.
constexpr int IDC_SYNC_NOW = 3000;
constexpr int IDC_STATUS = 3009;
constexpr int IDC_ZONE_LINK = 3011;
constexpr int IDC_BANNER = 3013;
constexpr int IDC_AUTOSTART = 3014;
constexpr int IDC_FETCH_COUNT = 3022;
constexpr int IDC_INTERVAL = 3024;
constexpr int IDC_ALARM_HOUR = 3026;
constexpr int IDC_ALARM_MINUTE = 3028;
constexpr int IDC_LABEL = 3030;
constexpr int IDC_DATE = 3031;
constexpr int IDC_TIME = 3032;
constexpr int IDC_UNIT = 3033;
constexpr int IDC_INTERVAL_SAVE = 3034;

// Private messages and timers.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 200;  // 1224
constexpr UINT_PTR CLOCK_TIMER = 1;
constexpr UINT TRAY_ICON_ID = IDI_MAIN;
#endif
