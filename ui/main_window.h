// The program's one window: a modeless dialog that is also the UI thread's
// message filter and idle handler. It owns the network clock, the settings
// in use, the control handles and the two link strings.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <cstdint>

#include "app/dialog_window.h"
#include "app/message_loop.h"
#include "app/newer_windows.h"
#include "net/proxy_rules.h"
#include "sync/clock_ask.h"
#include "sync/zone.h"

// Fixed text fields: the program is built without exceptions, so it keeps
// no growing strings. A banner link is at most the banner's reply, a server
// name at most what the registry read takes.
inline constexpr int kBannerLinkSize = 2048;
inline constexpr int kServerHostSize = 256;

class MainWindow : public DialogWindow, public MessageFilter, public IdleHandler {
public:
  MainWindow();

  bool RouteMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                    LRESULT& result) override;
  BOOL PreTranslateMessage(MSG* msg) override;
  BOOL OnIdle() override;

  // Start-up and shell.
  LRESULT OnInitDialog();
  LRESULT OnLButtonDown();
  LRESULT OnCancel();
  void StartNetwork();

  // Resolution.
  void MakeFonts();
  void LoadIcons();
  LRESULT OnDpiChanged(WPARAM dpis, LPARAM suggestedRect);
  LRESULT OnGetDpiScaledSize(WPARAM newDpi, LPARAM size);

  // Synchronisation cycle and time service.
  LRESULT OnClockTimer();
  void SyncNow();
  // Takes the zone bias in force into biasMinutes, renaming the zone link
  // when it changed.
  void RefreshZone();
  int FetchServerTime();
  void RefreshBanner();
  int ShowClock();

  // Settings.
  void LoadSettings();
  void LoadServerHost();
  void ReadDailyCount(int32_t& day, int32_t& count);
  int WriteDailyCount(int32_t day, int32_t count);

  // Start with Windows.
  void LoadAutoStart();
  LRESULT OnAutoStartClicked();

  // Interval editor.
  void ShowInterval();
  int32_t ReadIntervalEdit();
  LRESULT OnIntervalChanged();
  LRESULT OnUnitClicked();
  LRESULT OnIntervalSaveClicked();

  // Alarm.
  void CheckAlarm();
  LRESULT OnAlarmCancelClicked();
  LRESULT OnAlarmHourFocus();

  // Notification area.
  LRESULT OnSize(WPARAM sizeType);
  LRESULT OnTrayNotify(LPARAM mouseMessage);
  LRESULT OnRestoreWindow();
  void DeleteTrayIcon();

  // Links and banner.
  LRESULT OnOpenHomePage();
  LRESULT OnBannerClicked();

  // The network clock: server time at the base instant, corrected by half the
  // round trip, and the system's 64-bit tick count at that instant.
  int64_t baseSeconds = 0;
  int32_t baseMillis = 0;
  uint64_t baseTick = 0;
  bool synced = false;
  // The last computed local network time; holds no time before the first
  // good synchronisation.
  SYSTEMTIME DisplayTime{};

  int32_t tickCounter = 0;
  int32_t biasMinutes = 0;
  int32_t intervalSeconds = 0;
  int32_t showSeconds = 0;
  int32_t autoStart = 0;
  // Dots per inch the window is laid out for; the layout's pixels are at 96.
  int32_t dpi = 96;

  const char* homeLink = "";
  char bannerLink[kBannerLinkSize] = {};
  char serverHost[kServerHostSize] = {};
  // The way to the server that worked last, for this run only: a network
  // change may end it, and the first exchange then finds it again.
  ExchangeRoute route = ExchangeRoute::Unknown;

  HFONT bodyFont = nullptr;
  HFONT linkFont = nullptr;
  HFONT clockFont = nullptr;

  // Controls, in creation order.
  HWND zoneLink = nullptr;
  HWND dateLine = nullptr;
  HWND timeLine = nullptr;
  HWND alarmLabel = nullptr;
  HWND alarmHour = nullptr;
  HWND hourLabel = nullptr;
  HWND alarmMinute = nullptr;
  HWND minuteLabel = nullptr;
  HWND alarmCancel = nullptr;
  HWND everyLabel = nullptr;
  HWND intervalEdit = nullptr;
  HWND unitLink = nullptr;
  HWND unitLabel = nullptr;
  HWND intervalSave = nullptr;
  HWND autoStartBox = nullptr;
  HWND banner = nullptr;
  HWND syncButton = nullptr;
  HWND fetchCount = nullptr;
  HWND status = nullptr;

  // The calls that reach outside the window (the system clock and tick
  // count, the zone, the shell, the notification area, the timer),
  // replaceable by tests.
  struct SystemCalls {
    BOOL(WINAPI* setLocalTime)(const SYSTEMTIME*) = ::SetLocalTime;
    uint64_t (*tickCount)() = ::TickCount64;
    int32_t (*currentBiasMinutes)() = ::CurrentBiasMinutes;
    bool (*askClockService)(DWORD timeoutMs) = ::AskClockService;
    HINSTANCE(WINAPI* shellExecute)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) =
        ::ShellExecuteA;
    BOOL(WINAPI* shellNotifyIcon)(DWORD, PNOTIFYICONDATAA) = ::Shell_NotifyIconA;
    UINT_PTR(WINAPI* setTimer)(HWND, UINT_PTR, UINT, TIMERPROC) = ::SetTimer;
  } calls;
};

// Centres a top-level window on its visible owner, else on the work area,
// keeping it inside the work area.
void CenterWindow(HWND window);
