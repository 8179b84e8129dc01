#include "ui/main_window.h"

#include "app/module.h"
#include "res/resource.h"
#include "res/texts.h"
#include "sync/zone.h"
#include "ui/placement.h"

namespace {

constexpr char kHomeLink[] = "https://www.quellton.example/";

constexpr DWORD kBaseStyle = WS_CHILD | WS_VISIBLE;

enum class Font { None, Body, Link, Clock };

// One row of the main window's control table.
struct ControlSpec {
  int id;
  const char* className;
  const char* text;
  RECT rect;  // left, top, right, bottom in client pixels
  DWORD style;
  bool notify;  // SS_NOTIFY is added after creation so the label reports clicks
  Font font;
  bool visible;
  HWND MainWindow::*handle;
};

const ControlSpec kControls[] = {
    {IDC_ZONE_LINK, "STATIC", "", {30, 30, 150, 48}, kBaseStyle, true, Font::Link, true,
     &MainWindow::zoneLink},
    {IDC_DATE, "STATIC", kTextDatePlaceholder, {30, 72, 310, 90}, kBaseStyle, false,
     Font::Body, true, &MainWindow::dateLine},
    {IDC_TIME, "STATIC", kTextTimePlaceholder, {55, 108, 310, 148}, kBaseStyle, false,
     Font::Clock, true, &MainWindow::timeLine},
    {IDC_LABEL, "STATIC", kTextAlarm, {68, 166, 108, 184}, kBaseStyle, false, Font::Body,
     true, &MainWindow::alarmLabel},
    {IDC_ALARM_HOUR, "EDIT", "", {108, 166, 148, 184}, kBaseStyle, false, Font::None, true,
     &MainWindow::alarmHour},
    {IDC_LABEL, "STATIC", kTextHour, {153, 166, 178, 184}, kBaseStyle, false, Font::Body,
     true, &MainWindow::hourLabel},
    {IDC_ALARM_MINUTE, "EDIT", "", {178, 166, 218, 184}, kBaseStyle, false, Font::None,
     true, &MainWindow::alarmMinute},
    {IDC_LABEL, "STATIC", kTextMinute, {223, 166, 248, 184}, kBaseStyle, false, Font::Body,
     true, &MainWindow::minuteLabel},
    {IDC_LABEL, "STATIC", kTextCancel, {253, 166, 303, 184}, kBaseStyle, true, Font::Link,
     false, &MainWindow::alarmCancel},
    {IDC_LABEL, "STATIC", kTextEvery, {30, 220, 70, 238}, kBaseStyle, false, Font::Body,
     true, &MainWindow::everyLabel},
    {IDC_INTERVAL, "EDIT", "", {70, 220, 115, 238}, kBaseStyle, false, Font::None, true,
     &MainWindow::intervalEdit},
    {IDC_UNIT, "STATIC", "", {120, 220, 137, 238}, kBaseStyle, true, Font::Body, true,
     &MainWindow::unitLink},
    {IDC_UNIT, "STATIC", kTextAutoSync, {137, 220, 217, 238}, kBaseStyle, false, Font::Body,
     true, &MainWindow::unitLabel},
    {IDC_INTERVAL_SAVE, "STATIC", kTextSave, {227, 220, 277, 238}, kBaseStyle, true,
     Font::Link, false, &MainWindow::intervalSave},
    {IDC_AUTOSTART, "BUTTON", kTextAutoStart, {350, 220, 550, 238},
     kBaseStyle | BS_AUTOCHECKBOX, false, Font::Body, true, &MainWindow::autoStartBox},
    {IDC_BANNER, "STATIC", "", {110, 274, 440, 292}, kBaseStyle, true, Font::Link, true,
     &MainWindow::banner},
    {IDC_SYNC_NOW, "BUTTON", kTextSyncNow, {370, 36, 450, 76}, kBaseStyle, false,
     Font::Body, true, &MainWindow::syncButton},
    {IDC_FETCH_COUNT, "STATIC", kTextFetchCountZero, {385, 94, 625, 112}, kBaseStyle, false,
     Font::Body, true, &MainWindow::fetchCount},
    {IDC_STATUS, "STATIC", "", {350, 166, 590, 184}, kBaseStyle, false, Font::Body, true,
     &MainWindow::status},
};

constexpr int kAnyCode = -1;

// One row of the routing table. For WM_COMMAND, id is the low word of wParam
// and code the notification in its high word (kAnyCode: not examined).
struct Route {
  UINT message;
  int id;
  int code;
  LRESULT (*handler)(MainWindow&, WPARAM, LPARAM);
};

// Order matters: the first matching row wins.
const Route kRoutes[] = {
    {WM_INITDIALOG, 0, kAnyCode, [](MainWindow& w, WPARAM, LPARAM) { return w.OnInitDialog(); }},
    {WM_TRAYNOTIFY, 0, kAnyCode,
     [](MainWindow& w, WPARAM, LPARAM l) { return w.OnTrayNotify(l); }},
    {WM_SIZE, 0, kAnyCode, [](MainWindow& w, WPARAM p, LPARAM) { return w.OnSize(p); }},
    {WM_TIMER, 0, kAnyCode, [](MainWindow& w, WPARAM, LPARAM) { return w.OnClockTimer(); }},
    {WM_LBUTTONDOWN, 0, kAnyCode,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnLButtonDown(); }},
    {WM_COMMAND, ID_RESTORE_WINDOW, kAnyCode,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnRestoreWindow(); }},
    {WM_COMMAND, ID_HOME_PAGE, kAnyCode,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnOpenHomePage(); }},
    {WM_COMMAND, IDCANCEL, kAnyCode, [](MainWindow& w, WPARAM, LPARAM) { return w.OnCancel(); }},
    {WM_COMMAND, IDC_SYNC_NOW, kAnyCode, [](MainWindow& w, WPARAM, LPARAM) -> LRESULT {
       w.SyncNow();
       return 0;
     }},
    {WM_COMMAND, IDC_AUTOSTART, BN_CLICKED,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnAutoStartClicked(); }},
    {WM_COMMAND, IDC_ZONE_LINK, STN_CLICKED,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnOpenHomePage(); }},
    {WM_COMMAND, IDC_LABEL, STN_CLICKED,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnAlarmCancelClicked(); }},
    {WM_COMMAND, IDC_BANNER, STN_CLICKED,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnBannerClicked(); }},
    {WM_COMMAND, IDC_ALARM_HOUR, EN_SETFOCUS,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnAlarmHourFocus(); }},
    {WM_COMMAND, IDC_UNIT, STN_CLICKED,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnUnitClicked(); }},
    {WM_COMMAND, IDC_INTERVAL_SAVE, STN_CLICKED,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnIntervalSaveClicked(); }},
    {WM_COMMAND, IDC_INTERVAL, EN_CHANGE,
     [](MainWindow& w, WPARAM, LPARAM) { return w.OnIntervalChanged(); }},
};

bool Matches(const Route& route, UINT message, WPARAM wParam) {
  if (route.message != message) return false;
  if (message != WM_COMMAND) return true;
  if (LOWORD(wParam) != route.id) return false;
  return route.code == kAnyCode || HIWORD(wParam) == route.code;
}

HICON LoadMainIcon(int widthMetric, int heightMetric) {
  return static_cast<HICON>(LoadImageA(g_module.instance(), MAKEINTRESOURCEA(IDI_MAIN),
                                       IMAGE_ICON, GetSystemMetrics(widthMetric),
                                       GetSystemMetrics(heightMetric), 0));
}

}  // namespace

MainWindow::MainWindow() = default;

bool MainWindow::RouteMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) {
  for (const Route& route : kRoutes) {
    if (Matches(route, message, wParam)) {
      result = route.handler(*this, wParam, lParam);
      return true;
    }
  }
  return false;
}

void CenterWindow(HWND window) {
  RECT area{};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  RECT centre = area;
  HWND owner = GetWindow(window, GW_OWNER);
  if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
    GetWindowRect(owner, &centre);
  }
  RECT own{};
  GetWindowRect(window, &own);
  Point2 pos = CentredPosition({area.left, area.top, area.right, area.bottom},
                               {centre.left, centre.top, centre.right, centre.bottom},
                               own.right - own.left, own.bottom - own.top);
  SetWindowPos(window, nullptr, pos.x, pos.y, -1, -1,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT MainWindow::OnInitDialog() {
  SetWindowTextA(hwnd, kTextCaption);
  SetWindowPos(hwnd, HWND_TOP, 0, 0, 580, 380, 0);
  CenterWindow(hwnd);
  SendMessageA(hwnd, WM_SETICON, ICON_BIG,
               reinterpret_cast<LPARAM>(LoadMainIcon(SM_CXICON, SM_CYICON)));
  SendMessageA(hwnd, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(LoadMainIcon(SM_CXSMICON, SM_CYSMICON)));

  if (MessageLoop* loop = g_module.GetMessageLoop()) {
    loop->AddMessageFilter(this);
    loop->AddIdleHandler(this);
  }

  LOGFONTA font{};
  font.lfHeight = 16;
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = GB2312_CHARSET;
  lstrcpyA(font.lfFaceName, "default");
  bodyFont = CreateFontIndirectA(&font);
  font.lfUnderline = 1;
  linkFont = CreateFontIndirectA(&font);
  font.lfUnderline = 0;
  font.lfHeight = 40;
  clockFont = CreateFontIndirectA(&font);

  for (const ControlSpec& spec : kControls) {
    HWND control = CreateWindowExA(
        0, spec.className, spec.text, spec.style, spec.rect.left, spec.rect.top,
        spec.rect.right - spec.rect.left, spec.rect.bottom - spec.rect.top, hwnd,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), g_module.instance(), nullptr);
    this->*spec.handle = control;
    if (spec.notify) {
      LONG style = GetWindowLongA(control, GWL_STYLE);
      if (!(style & SS_NOTIFY)) SetWindowLongA(control, GWL_STYLE, style | SS_NOTIFY);
    }
    HFONT chosen = spec.font == Font::Body   ? bodyFont
                   : spec.font == Font::Link ? linkFont
                   : spec.font == Font::Clock ? clockFont
                                              : nullptr;
    if (chosen != nullptr) SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(chosen), 1);
    if (!spec.visible) ShowWindow(control, SW_HIDE);
    if (spec.handle == &MainWindow::zoneLink) {
      homeLink = kHomeLink;
      biasMinutes = CurrentBiasMinutes();
      char name[256];
      CurrentZoneName(name);
      SetWindowTextA(zoneLink, name);
    }
  }

  LoadServerHost();
  LoadSettings();
  ShowInterval();
  LoadAutoStart();
  StartNetwork();

  tickCounter = 0;
  synced = false;
  SetTimer(hwnd, CLOCK_TIMER, 200, nullptr);
  return TRUE;
}
