// The real main window under Wine: what OnInitDialog builds (caption, size,
// position, icons, fonts, the nineteen controls) and the resources it is
// built from. The layout is given at 96 dpi; a run in a prefix of another
// resolution names it in ORAMET_TEST_DPI, and every pixel figure is then
// expected scaled to it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/module.h"
#include "res/resource.h"
#include "res/texts.h"
#include "sync/zone.h"
#include "tests/ui/window_fixture.h"
#include "ui/main_window.h"

namespace {

std::string TextOf(HWND window) {
  char text[512];
  std::memset(text, 0x5a, sizeof text);
  int n = GetWindowTextA(window, text, sizeof text);
  return std::string(text, n > 0 ? n : 0);
}

RECT ClientRectOf(HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

enum class FontKind { None, Body, Link, Clock };

// The resolution this run's prefix is set to.
int TestDpi() {
  const char* dpi = std::getenv("ORAMET_TEST_DPI");
  return dpi != nullptr ? std::atoi(dpi) : 96;
}

// A pixel figure of the layout at the given resolution, rounded as the
// system rounds.
int Px(int value, int dpi = TestDpi()) { return MulDiv(value, dpi, 96); }

LONG FontHeight(HFONT font) {
  LOGFONTA f{};
  return GetObjectA(font, sizeof f, &f) == static_cast<int>(sizeof f) ? f.lfHeight : 0;
}

HFONT FontFor(const MainWindow& w, FontKind kind) {
  switch (kind) {
    case FontKind::Body: return w.bodyFont;
    case FontKind::Link: return w.linkFont;
    case FontKind::Clock: return w.clockFont;
    case FontKind::None: break;
  }
  return nullptr;
}

}  // namespace

class MainWindowLayout : public MainWindowFixture {};

TEST_F(MainWindowLayout, CaptionAndOuterSize) {
  EXPECT_EQ(TextOf(w.hwnd), std::string("Oramet 2.07"));
  RECT r{};
  GetWindowRect(w.hwnd, &r);
  EXPECT_EQ(r.right - r.left, Px(580));
  EXPECT_EQ(r.bottom - r.top, Px(380));
}

TEST_F(MainWindowLayout, WindowStyleComesFromTheTemplate) {
  LONG style = GetWindowLongA(w.hwnd, GWL_STYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX) << "the window cannot be maximised";
  EXPECT_FALSE(style & WS_THICKFRAME) << "the window cannot be resized";
  EXPECT_FALSE(style & WS_VISIBLE) << "shown by the shell, not by the template";
  EXPECT_EQ(GetWindow(w.hwnd, GW_OWNER), nullptr);
  EXPECT_EQ(GetParent(w.hwnd), nullptr);
}

TEST_F(MainWindowLayout, CentredOnTheWorkArea) {
  RECT area{};
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0));
  const int width = Px(580);
  const int height = Px(380);
  int x = (area.left + area.right) / 2 - width / 2;
  int y = (area.top + area.bottom) / 2 - height / 2;
  if (x < area.left) x = area.left;
  else if (x + width > area.right) x = area.right - width;
  if (y < area.top) y = area.top;
  else if (y + height > area.bottom) y = area.bottom - height;
  RECT r{};
  GetWindowRect(w.hwnd, &r);
  EXPECT_EQ(r.left, x) << "work area " << area.left << "," << area.top << "," << area.right
                       << "," << area.bottom;
  EXPECT_EQ(r.top, y);
}

TEST_F(MainWindowLayout, CenterWindowUsesAVisibleOwnerOnly) {
  RECT area{};
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0));
  HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP, area.left + 10, area.top + 20,
                               300, 200, nullptr, nullptr, g_module.instance(), nullptr);
  HWND owned = CreateWindowExA(0, "STATIC", "owned", WS_POPUP, 0, 0, 100, 60, owner, nullptr,
                               g_module.instance(), nullptr);
  ASSERT_NE(owned, nullptr);
  struct Case {
    const char* name;
    int show;
    bool onOwner;
  };
  const Case cases[] = {
      {"hidden owner", SW_HIDE, false},
      {"visible owner", SW_SHOWNOACTIVATE, true},
      {"minimised owner", SW_SHOWMINNOACTIVE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShowWindow(owner, SW_RESTORE);
    ShowWindow(owner, c.show);
    SetWindowPos(owned, nullptr, area.left + 1, area.top + 1, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    CenterWindow(owned);
    RECT r{};
    GetWindowRect(owned, &r);
    if (c.onOwner) {
      EXPECT_EQ(r.left, area.left + 10 + 150 - 50);
      EXPECT_EQ(r.top, area.top + 20 + 100 - 30);
    } else {
      EXPECT_EQ(r.left, (area.left + area.right) / 2 - 50);
      EXPECT_EQ(r.top, (area.top + area.bottom) / 2 - 30);
    }
    EXPECT_EQ(r.right - r.left, 100) << "the size is kept";
  }
  DestroyWindow(owned);
  DestroyWindow(owner);
}

TEST_F(MainWindowLayout, Icons) {
  struct Case {
    const char* name;
    WPARAM which;
    int widthMetric;
  };
  const Case cases[] = {{"big", ICON_BIG, SM_CXICON}, {"small", ICON_SMALL, SM_CXSMICON}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HICON icon = reinterpret_cast<HICON>(SendMessageA(w.hwnd, WM_GETICON, c.which, 0));
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    GetObjectA(info.hbmMask, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(c.widthMetric))
        << "loaded at the size the system asks for";
    if (info.hbmColor) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
  }
}

TEST_F(MainWindowLayout, FontsFromOneRecord) {
  struct Case {
    const char* name;
    HFONT font;
    LONG height;
    BYTE underline;
  };
  const Case cases[] = {
      {"bodyFont", w.bodyFont, Px(16), 0},
      {"linkFont", w.linkFont, Px(16), 1},
      {"clockFont", w.clockFont, Px(40), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.font, nullptr);
    LOGFONTA f;
    std::memset(&f, 0x5a, sizeof f);
    ASSERT_EQ(GetObjectA(c.font, sizeof f, &f), static_cast<int>(sizeof f));
    EXPECT_EQ(f.lfHeight, c.height);
    EXPECT_EQ(f.lfUnderline, c.underline);
    EXPECT_EQ(f.lfWidth, 0);
    EXPECT_EQ(f.lfEscapement, 0);
    EXPECT_EQ(f.lfOrientation, 0);
    EXPECT_EQ(f.lfWeight, FW_NORMAL);
    EXPECT_EQ(f.lfItalic, 0);
    EXPECT_EQ(f.lfStrikeOut, 0);
    EXPECT_EQ(f.lfCharSet, GB2312_CHARSET);
    EXPECT_EQ(f.lfOutPrecision, 0);
    EXPECT_EQ(f.lfClipPrecision, 0);
    EXPECT_EQ(f.lfQuality, 0);
    EXPECT_EQ(f.lfPitchAndFamily, 0);
    EXPECT_STREQ(f.lfFaceName, "default");
  }
  EXPECT_NE(w.bodyFont, w.linkFont);
  EXPECT_NE(w.linkFont, w.clockFont);
}

namespace {

constexpr DWORD kBase = WS_CHILD | WS_VISIBLE;

struct ControlRow {
  int row;
  HWND MainWindow::*handle;
  int id;
  const char* className;
  const char* text;  // nullptr: written by a later start-up step
  RECT rect;
  DWORD style;
  FontKind font;
  bool visible;
};

const ControlRow kRows[] = {
    {1, &MainWindow::zoneLink, 3011, "Static", nullptr, {30, 30, 150, 48}, kBase | SS_NOTIFY,
     FontKind::Link, true},
    {2, &MainWindow::dateLine, 3031, "Static", "0000年00月00日星期 ", {30, 72, 310, 90}, kBase,
     FontKind::Body, true},
    {3, &MainWindow::timeLine, 3032, "Static", "00: 00: 00", {55, 108, 310, 148}, kBase,
     FontKind::Clock, true},
    {4, &MainWindow::alarmLabel, 3030, "Static", "闹钟", {68, 166, 108, 184}, kBase,
     FontKind::Body, true},
    {5, &MainWindow::alarmHour, 3026, "Edit", "", {108, 166, 148, 184}, kBase, FontKind::None,
     true},
    {6, &MainWindow::hourLabel, 3030, "Static", "时", {153, 166, 178, 184}, kBase,
     FontKind::Body, true},
    {7, &MainWindow::alarmMinute, 3028, "Edit", "", {178, 166, 218, 184}, kBase,
     FontKind::None, true},
    {8, &MainWindow::minuteLabel, 3030, "Static", "分", {223, 166, 248, 184}, kBase,
     FontKind::Body, true},
    {9, &MainWindow::alarmCancel, 3030, "Static", "取消", {253, 166, 303, 184},
     WS_CHILD | SS_NOTIFY, FontKind::Link, false},
    {10, &MainWindow::everyLabel, 3030, "Static", "每隔", {30, 220, 70, 238}, kBase,
     FontKind::Body, true},
    {11, &MainWindow::intervalEdit, 3024, "Edit", nullptr, {70, 220, 115, 238}, kBase,
     FontKind::None, true},
    {12, &MainWindow::unitLink, 3033, "Static", nullptr, {120, 220, 137, 238},
     kBase | SS_NOTIFY, FontKind::Body, true},
    {13, &MainWindow::unitLabel, 3033, "Static", "钟自动校对", {137, 220, 217, 238}, kBase,
     FontKind::Body, true},
    {14, &MainWindow::intervalSave, 3034, "Static", "保存", {227, 220, 277, 238},
     WS_CHILD | SS_NOTIFY, FontKind::Link, false},
    {15, &MainWindow::autoStartBox, 3014, "Button", "开机后自动运行", {350, 220, 550, 238},
     kBase | BS_AUTOCHECKBOX, FontKind::Body, true},
    {16, &MainWindow::banner, 3013, "Static", "", {110, 274, 440, 292}, kBase | SS_NOTIFY,
     FontKind::Link, true},
    {17, &MainWindow::syncButton, 3000, "Button", "校对", {370, 36, 450, 76}, kBase,
     FontKind::Body, true},
    {18, &MainWindow::fetchCount, 3022, "Static", "取时0次 ", {385, 94, 625, 112}, kBase,
     FontKind::Body, true},
    {19, &MainWindow::status, 3009, "Static", "", {350, 166, 590, 184}, kBase, FontKind::Body,
     true},
};

// Every control's rectangle and every font's height at the given resolution,
// each controls still holding its own font.
void ExpectLayoutAt(const MainWindow& w, int dpi) {
  for (const ControlRow& row : kRows) {
    SCOPED_TRACE("row " + std::to_string(row.row) + " at " + std::to_string(dpi) + " dpi");
    RECT r = ClientRectOf(w.*row.handle);
    EXPECT_EQ(r.left, Px(row.rect.left, dpi));
    EXPECT_EQ(r.top, Px(row.rect.top, dpi));
    EXPECT_EQ(r.right, Px(row.rect.right, dpi));
    EXPECT_EQ(r.bottom, Px(row.rect.bottom, dpi));
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(w.*row.handle, WM_GETFONT, 0, 0)),
              FontFor(w, row.font));
  }
  EXPECT_EQ(FontHeight(w.bodyFont), Px(16, dpi));
  EXPECT_EQ(FontHeight(w.linkFont), Px(16, dpi));
  EXPECT_EQ(FontHeight(w.clockFont), Px(40, dpi));
}

}  // namespace

TEST_F(MainWindowLayout, EveryControlAsCreated) {
  ShowWindow(w.hwnd, SW_SHOWNOACTIVATE);
  for (const ControlRow& row : kRows) {
    SCOPED_TRACE("row " + std::to_string(row.row));
    HWND control = w.*row.handle;
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(GetParent(control), w.hwnd);
    EXPECT_EQ(GetDlgCtrlID(control), row.id);

    char className[32] = {};
    GetClassNameA(control, className, sizeof className);
    EXPECT_EQ(lstrcmpiA(className, row.className), 0) << className;

    if (row.text != nullptr) {
      EXPECT_EQ(TextOf(control), std::string(row.text));
    }

    DWORD style = static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE));
    EXPECT_EQ(style, row.style) << std::hex << "style 0x" << style << ", expected 0x"
                                << row.style;
    EXPECT_FALSE(style & (WS_TABSTOP | WS_GROUP | WS_BORDER));

    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)),
              FontFor(w, row.font));
    EXPECT_EQ(IsWindowVisible(control) != FALSE, row.visible);
  }
  ExpectLayoutAt(w, TestDpi());
}

TEST_F(MainWindowLayout, DpiChangeRescalesEverythingAndTakesTheSuggestedRectangle) {
  const int other = TestDpi() == 144 ? 96 : 144;
  SIZE size{0x5a5a, 0x5a5a};
  EXPECT_EQ(SendMessageA(w.hwnd, 0x02E4 /* WM_GETDPISCALEDSIZE */, other,
                         reinterpret_cast<LPARAM>(&size)),
            TRUE);
  EXPECT_EQ(size.cx, Px(580, other));
  EXPECT_EQ(size.cy, Px(380, other));

  for (int dpi : {other, TestDpi()}) {
    SCOPED_TRACE(dpi);
    // Another size than the scaled one: the window must take the system's.
    RECT suggested{40, 30, 40 + Px(580, dpi) + 3, 30 + Px(380, dpi) + 1};
    SendMessageA(w.hwnd, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(dpi, dpi),
                 reinterpret_cast<LPARAM>(&suggested));
    RECT r{};
    GetWindowRect(w.hwnd, &r);
    EXPECT_EQ(r.left, suggested.left);
    EXPECT_EQ(r.top, suggested.top);
    EXPECT_EQ(r.right, suggested.right);
    EXPECT_EQ(r.bottom, suggested.bottom);
    ExpectLayoutAt(w, dpi);
    HICON icon = reinterpret_cast<HICON>(SendMessageA(w.hwnd, WM_GETICON, ICON_SMALL, 0));
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    GetObjectA(info.hbmMask, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, MulDiv(GetSystemMetrics(SM_CXSMICON), dpi, TestDpi()));
    if (info.hbmColor) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
  }
}

// Keeps the window as the screen shows it in main-window-<dpi>dpi.bmp, for a
// look by eye: the text must be as sharp as at 96 dpi, not stretched.
TEST_F(MainWindowLayout, ScreenshotOfTheDrawnWindow) {
  w.DisplayTime = SYSTEMTIME{2027, 1, 2, 5, 8, 30, 15, 0};
  w.ShowClock();
  SetWindowTextA(w.fetchCount, "取时1次");
  SetWindowTextA(w.status, kTextSetTimeOk);
  SetWindowTextA(w.banner, "http://www.quellton.example/");
  ShowWindow(w.hwnd, SW_SHOWNOACTIVATE);
  RedrawWindow(w.hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RECT r{};
  GetWindowRect(w.hwnd, &r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP shot = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(shot, nullptr);
  HGDIOBJ before = SelectObject(memory, shot);
  EXPECT_TRUE(BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY));
  SelectObject(memory, before);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  GdiFlush();

  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  const DWORD size = stride * static_cast<DWORD>(height);
  const auto* pixels = static_cast<const BYTE*>(bits);
  std::set<DWORD> colours;
  for (DWORD i = 0; i + 2 < size; i += 3) {
    colours.insert(pixels[i] | pixels[i + 1] << 8 | pixels[i + 2] << 16);
  }
  EXPECT_GT(colours.size(), 8u) << "a drawn window has a frame, a caption and text";

  BITMAPFILEHEADER file{};
  file.bfType = 0x4d42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + size;
  const std::string name = "main-window-" + std::to_string(TestDpi()) + "dpi.bmp";
  FILE* out = std::fopen(name.c_str(), "wb");
  ASSERT_NE(out, nullptr) << name;
  std::fwrite(&file, sizeof file, 1, out);
  std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
  std::fwrite(bits, 1, size, out);
  EXPECT_EQ(std::fclose(out), 0);
  DeleteObject(shot);
}

TEST_F(MainWindowLayout, ControlsAreChildrenInTableOrder) {
  std::vector<HWND> expected;
  for (const ControlRow& row : kRows) expected.push_back(w.*row.handle);
  std::vector<HWND> actual;
  for (HWND child = GetWindow(w.hwnd, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    actual.push_back(child);
  }
  EXPECT_EQ(actual, expected) << "no control missing, none extra, none out of order";
}

TEST_F(MainWindowLayout, SharedIdsOnlyOneOfWhichReportsClicks) {
  struct Case {
    int id;
    size_t count;
    HWND MainWindow::*notifier;
  };
  const Case cases[] = {{IDC_LABEL, 5, &MainWindow::alarmCancel},
                        {IDC_UNIT, 2, &MainWindow::unitLink}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    std::vector<HWND> withId;
    for (HWND child = GetWindow(w.hwnd, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      if (GetDlgCtrlID(child) == c.id) withId.push_back(child);
    }
    EXPECT_EQ(withId.size(), c.count);
    for (HWND control : withId) {
      bool notifies = (GetWindowLongA(control, GWL_STYLE) & SS_NOTIFY) != 0;
      EXPECT_EQ(notifies, control == w.*c.notifier);
    }
  }
}

TEST_F(MainWindowLayout, ZoneLinkShowsTheZoneNameAndStartupState) {
  char name[256];
  std::memset(name, 0x5a, sizeof name);
  CurrentZoneName(name);
  EXPECT_EQ(TextOf(w.zoneLink), std::string(name));
  EXPECT_EQ(w.biasMinutes, CurrentBiasMinutes());
  EXPECT_STRNE(w.homeLink, "");
  EXPECT_STREQ(w.bannerLink, "");
  EXPECT_EQ(w.tickCounter, 0);
  EXPECT_FALSE(w.synced);
  EXPECT_GT(w.intervalSeconds, 0);
}

TEST_F(MainWindowLayout, ClockTimerIsArmedUnderItsId) {
  EXPECT_TRUE(timerWasArmed) << "the fixture's KillTimer(CLOCK_TIMER) found no timer";
}

// --- Resources ------------------------------------------------------------

namespace {

constexpr WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);

const BYTE* LoadRaw(LPCSTR type, int id, DWORD* size) {
  HRSRC found = FindResourceExA(g_module.instance(), type, MAKEINTRESOURCEA(id), kChinesePrc);
  if (found == nullptr) return nullptr;
  *size = SizeofResource(g_module.instance(), found);
  return static_cast<const BYTE*>(LockResource(LoadResource(g_module.instance(), found)));
}

}  // namespace

TEST(Resources, DialogTemplate) {
  DWORD size = 0;
  const BYTE* raw = LoadRaw(RT_DIALOG, IDD_MAIN, &size);
  ASSERT_NE(raw, nullptr) << "IDD_MAIN in Chinese (PRC)";
  ASSERT_GE(size, sizeof(DLGTEMPLATE));
  DLGTEMPLATE t;
  std::memcpy(&t, raw, sizeof t);
  EXPECT_EQ(t.style, 0x00CA0040u) << std::hex << t.style;
  EXPECT_EQ(t.dwExtendedStyle, 0u);
  EXPECT_EQ(t.cdit, 0);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.y, 0);
  EXPECT_EQ(t.cx, 313);
  EXPECT_EQ(t.cy, 190);
  // Then: menu, class and caption (each an empty word), point size, face.
  const WORD* words = reinterpret_cast<const WORD*>(raw + 18);
  EXPECT_EQ(words[0], 0) << "no menu";
  EXPECT_EQ(words[1], 0) << "the default dialog class";
  EXPECT_EQ(words[2], 0) << "an empty caption";
  EXPECT_EQ(words[3], 8) << "point size";
  const wchar_t expectedFace[] = {0x5B8B, 0x4F53, 0};  // 宋体
  EXPECT_EQ(std::memcmp(words + 4, expectedFace, sizeof expectedFace), 0);
}

TEST(Resources, IconGroupHasTwoSixteenColourImages) {
  DWORD size = 0;
  const BYTE* raw = LoadRaw(RT_GROUP_ICON, IDI_MAIN, &size);
  ASSERT_NE(raw, nullptr) << "IDI_MAIN in Chinese (PRC)";
  ASSERT_GE(size, 6u + 2 * 14u);
  WORD count = *reinterpret_cast<const WORD*>(raw + 4);
  ASSERT_EQ(count, 2);
  std::vector<int> widths;
  for (int i = 0; i < count; ++i) {
    const BYTE* entry = raw + 6 + 14 * i;
    SCOPED_TRACE(i);
    EXPECT_EQ(entry[0], entry[1]) << "square";
    widths.push_back(entry[0]);
    WORD bitCount = *reinterpret_cast<const WORD*>(entry + 6);
    EXPECT_TRUE(entry[2] == 16 || bitCount == 4) << "16 colours";
  }
  EXPECT_EQ(widths, (std::vector<int>{48, 32}));
}

TEST(Resources, TrayMenuInChinese) {
  DWORD size = 0;
  EXPECT_NE(LoadRaw(RT_MENU, IDR_TRAY_MENU, &size), nullptr);
}

TEST(Resources, VersionNamesTheProductAndTheMaker) {
  char path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, data.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(7, 2));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(7, 2));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  struct Case {
    const char* name;
    const char* value;
  };
  const Case cases[] = {{"ProductName", "Oramet"},
                        {"ProductVersion", "2.07"},
                        {"FileVersion", "2.07"},
                        {"CompanyName", "Quellton"},
                        {"OriginalFilename", "oramet.exe"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char* value = nullptr;
    std::string key = std::string("\\StringFileInfo\\080404b0\\") + c.name;
    ASSERT_TRUE(VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value),
                               &length));
    EXPECT_STREQ(value, c.value);
  }
}
