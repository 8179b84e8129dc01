#include "ui/main_window.h"

#include "app/module.h"
#include "res/resource.h"
#include "res/texts.h"
#include "sync/zone.h"
#include "ui/dpi_scale.h"
#include "ui/placement.h"

namespace {

constexpr char kHomeLink[] = "https://www.quellton.example/";

constexpr DWORD kBaseStyle = WS_CHILD | WS_VISIBLE;

// The window's outer size and the fonts' heights at 96 dpi.
constexpr int32_t kWindowWidth = 580;
constexpr int32_t kWindowHeight = 380;
constexpr int32_t kTextHeight = 16;
constexpr int32_t kClockHeight = 40;

enum class Font { None, Body, Link, Clock };

// One row of the main window's control table.
struct ControlSpec {
  int id;
  const char* className;
  const char* text;
  PixelRect rect;  // left, top, right, bottom in client pixels at 96 dpi
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
    {kWmGetDpiScaledSize, 0, kAnyCode,
     [](MainWindow& w, WPARAM p, LPARAM l) { return w.OnGetDpiScaledSize(p, l); }},
    {kWmDpiChanged, 0, kAnyCode,
     [](MainWindow& w, WPARAM p, LPARAM l) { return w.OnDpiChanged(p, l); }},
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

HFONT FontOf(const MainWindow& window, Font font) {
  switch (font) {
    case Font::Body: return window.bodyFont;
    case Font::Link: return window.linkFont;
    case Font::Clock: return window.clockFont;
    case Font::None: break;
  }
  return nullptr;
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
  dpi = WindowDpi(hwnd);
  KeepDialogScalingOwn(hwnd);
  SetWindowPos(hwnd, HWND_TOP, 0, 0, ScaleForDpi(kWindowWidth, dpi),
               ScaleForDpi(kWindowHeight, dpi), 0);
  CenterWindow(hwnd);
  LoadIcons();

  if (MessageLoop* loop = g_module.GetMessageLoop()) {
    loop->AddMessageFilter(this);
    loop->AddIdleHandler(this);
  }

  MakeFonts();

  for (const ControlSpec& spec : kControls) {
    PixelRect r = ScaleForDpi(spec.rect, dpi);
    HWND control = CreateWindowExA(
        0, spec.className, spec.text, spec.style, r.left, r.top, r.right - r.left,
        r.bottom - r.top, hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)),
        g_module.instance(), nullptr);
    this->*spec.handle = control;
    if (spec.notify) {
      LONG style = GetWindowLongA(control, GWL_STYLE);
      if (!(style & SS_NOTIFY)) SetWindowLongA(control, GWL_STYLE, style | SS_NOTIFY);
    }
    if (HFONT font = FontOf(*this, spec.font)) {
      SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), 1);
    }
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
  calls.setTimer(hwnd, CLOCK_TIMER, 200, nullptr);
  return TRUE;
}

void MainWindow::MakeFonts() {
  LOGFONTA font{};
  font.lfHeight = ScaleForDpi(kTextHeight, dpi);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = GB2312_CHARSET;
  lstrcpyA(font.lfFaceName, "default");
  bodyFont = CreateFontIndirectA(&font);
  font.lfUnderline = 1;
  linkFont = CreateFontIndirectA(&font);
  font.lfUnderline = 0;
  font.lfHeight = ScaleForDpi(kClockHeight, dpi);
  clockFont = CreateFontIndirectA(&font);
}

void MainWindow::LoadIcons() {
  const struct {
    WPARAM which;
    int widthMetric;
    int heightMetric;
  } icons[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
  for (const auto& icon : icons) {
    HANDLE loaded = LoadImageA(g_module.instance(), MAKEINTRESOURCEA(IDI_MAIN), IMAGE_ICON,
                               SystemMetricForDpi(icon.widthMetric, dpi),
                               SystemMetricForDpi(icon.heightMetric, dpi), 0);
    LRESULT old = SendMessageA(hwnd, WM_SETICON, icon.which, reinterpret_cast<LPARAM>(loaded));
    // The icon it replaces was loaded here for another resolution.
    if (old != 0) DestroyIcon(reinterpret_cast<HICON>(old));
  }
}

LRESULT MainWindow::OnGetDpiScaledSize(WPARAM newDpi, LPARAM size) {
  // The outer size at the new resolution, so that the rectangle WM_DPICHANGED
  // suggests is exactly the one laid out there.
  auto* outer = reinterpret_cast<SIZE*>(size);
  outer->cx = ScaleForDpi(kWindowWidth, static_cast<int32_t>(newDpi));
  outer->cy = ScaleForDpi(kWindowHeight, static_cast<int32_t>(newDpi));
  return TRUE;
}

LRESULT MainWindow::OnDpiChanged(WPARAM dpis, LPARAM suggestedRect) {
  // Both words carry the same resolution: the axes are never scaled apart.
  dpi = HIWORD(dpis);
  const HFONT oldFonts[] = {bodyFont, linkFont, clockFont};
  MakeFonts();
  for (const ControlSpec& spec : kControls) {
    HWND control = this->*spec.handle;
    PixelRect r = ScaleForDpi(spec.rect, dpi);
    SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (HFONT font = FontOf(*this, spec.font)) {
      SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), 1);
    }
  }
  // No control uses them any more.
  for (HFONT font : oldFonts) DeleteObject(font);
  LoadIcons();
  // The system's rectangle keeps the window under the pointer while it is
  // dragged across monitors; a size of our own there could bounce it back.
  const RECT* r = reinterpret_cast<const RECT*>(suggestedRect);
  SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  return 0;
}
