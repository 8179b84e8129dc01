#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/ui/feature_fixture.h"

namespace {

// Watches for the tray menu from inside its modal loop: a thread timer keeps
// firing while the menu tracks, records the popup it finds, then acts on it
// (closes it, or types keys into it).
class MenuWatcher {
public:
  explicit MenuWatcher(std::vector<WPARAM> keys = {}) {
    current_ = this;
    keys_ = std::move(keys);
    timer_ = SetTimer(nullptr, 0, 50, Tick);
  }
  ~MenuWatcher() {
    KillTimer(nullptr, timer_);
    current_ = nullptr;
  }
  MenuWatcher(const MenuWatcher&) = delete;
  MenuWatcher& operator=(const MenuWatcher&) = delete;

  bool seen = false;
  HMENU popup = nullptr;
  RECT rect{};
  std::vector<UINT> ids;
  std::vector<std::wstring> texts;

private:
  static BOOL CALLBACK FindMenuWindow(HWND window, LPARAM found) {
    char name[16] = {};
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpA(name, "#32768") == 0 && IsWindowVisible(window)) {
      *reinterpret_cast<HWND*>(found) = window;
      return FALSE;
    }
    return TRUE;
  }

  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    MenuWatcher* self = current_;
    if (self == nullptr) return;
    ++self->ticks_;
    HWND menuWindow = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindMenuWindow,
                      reinterpret_cast<LPARAM>(&menuWindow));
    if (menuWindow != nullptr && !self->seen) {
      self->seen = true;
      self->popup = reinterpret_cast<HMENU>(SendMessageA(menuWindow, MN_GETHMENU, 0, 0));
      GetWindowRect(menuWindow, &self->rect);
      int count = GetMenuItemCount(self->popup);
      for (int i = 0; i < count; ++i) {
        wchar_t text[64] = {};
        GetMenuStringW(self->popup, i, text, 64, MF_BYPOSITION);
        self->ids.push_back(GetMenuItemID(self->popup, i));
        self->texts.push_back(text);
      }
      if (self->keys_.empty()) {
        EndMenu();
      } else {
        for (WPARAM key : self->keys_) PostMessageA(menuWindow, WM_KEYDOWN, key, 0);
      }
    } else if (self->ticks_ > 100) {
      EndMenu();  // never leave a test inside a menu
    }
  }

  static MenuWatcher* current_;
  UINT_PTR timer_ = 0;
  int ticks_ = 0;
  std::vector<WPARAM> keys_;
};

MenuWatcher* MenuWatcher::current_ = nullptr;

class TrayTest : public MainWindowTest {
protected:
  // Minimises the window the way the caption button does.
  void MinimiseToTray() {
    ShowWindow(window.hwnd, SW_MINIMIZE);
    ASSERT_FALSE(IsWindowVisible(window.hwnd));
    ASSERT_TRUE(TrayIconPresent(window.hwnd));
  }
  void Notify(UINT mouseMessage) {
    SendMessageA(window.hwnd, WM_TRAYNOTIFY, TRAY_ICON_ID, mouseMessage);
  }
  void ExpectRestored() {
    EXPECT_TRUE(IsWindowVisible(window.hwnd));
    EXPECT_FALSE(IsIconic(window.hwnd));
    EXPECT_FALSE(TrayIconPresent(window.hwnd));
  }
};

// What the window gives the shell, passed on so that the icon is real. The
// other tests send WM_TRAYNOTIFY themselves: only this shows that the icon
// would send it.
struct NotifyCall {
  DWORD message;
  NOTIFYICONDATAA record;
};
std::vector<NotifyCall> g_notifyCalls;

BOOL WINAPI RecordNotifyIcon(DWORD message, PNOTIFYICONDATAA record) {
  g_notifyCalls.push_back({message, *record});
  return Shell_NotifyIconA(message, record);
}

TEST_F(TrayTest, MinimisingHidesTheWindowBehindOneIcon) {
  g_notifyCalls.clear();
  window.calls.shellNotifyIcon = RecordNotifyIcon;
  ASSERT_FALSE(TrayIconPresent(window.hwnd));
  MinimiseToTray();
  // Exactly one icon: one deletion removes it.
  window.DeleteTrayIcon();
  EXPECT_FALSE(TrayIconPresent(window.hwnd));

  // Minimising reports the new size more than once under Wine: every report
  // asks for the same icon, and the shell keeps one.
  ASSERT_GE(g_notifyCalls.size(), 2u);
  for (size_t i = 0; i + 1 < g_notifyCalls.size(); ++i) {
    SCOPED_TRACE(i);
    const NOTIFYICONDATAA& add = g_notifyCalls[i].record;
    EXPECT_EQ(g_notifyCalls[i].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(add.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE));
    EXPECT_EQ(add.hWnd, window.hwnd);
    EXPECT_EQ(add.uID, static_cast<UINT>(TRAY_ICON_ID));
    EXPECT_EQ(add.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(add.uCallbackMessage, WM_TRAYNOTIFY);
    EXPECT_NE(add.hIcon, nullptr);
    EXPECT_STREQ(add.szTip, "Oramet");
  }
  const NOTIFYICONDATAA& remove = g_notifyCalls.back().record;
  EXPECT_EQ(g_notifyCalls.back().message, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(remove.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE));
  EXPECT_EQ(remove.hWnd, window.hwnd);
  EXPECT_EQ(remove.uID, static_cast<UINT>(TRAY_ICON_ID));
}

// The start-up show command goes to the still hidden window, as the shell
// passes it on: a minimised start shows only the icon.
TEST_F(TrayTest, MinimisedStartShowsOnlyTheIcon) {
  for (int show : {SW_SHOWMINNOACTIVE, SW_MINIMIZE, SW_SHOWMINIMIZED}) {
    SCOPED_TRACE(show);
    ASSERT_FALSE(IsWindowVisible(window.hwnd));
    ShowWindow(window.hwnd, show);
    EXPECT_FALSE(IsWindowVisible(window.hwnd));
    EXPECT_TRUE(TrayIconPresent(window.hwnd));
    window.DeleteTrayIcon();
    ShowWindow(window.hwnd, SW_HIDE);
    ShowWindow(window.hwnd, SW_RESTORE);
    ShowWindow(window.hwnd, SW_HIDE);
    PumpMessages();
  }
}

TEST_F(TrayTest, OtherSizeChangesLeaveNoIcon) {
  for (WPARAM type : {SIZE_RESTORED, SIZE_MAXIMIZED, SIZE_MAXSHOW, SIZE_MAXHIDE}) {
    SCOPED_TRACE(type);
    SendMessageA(window.hwnd, WM_SIZE, type, MAKELPARAM(580, 380));
    EXPECT_FALSE(TrayIconPresent(window.hwnd));
  }
}

TEST_F(TrayTest, LeftPressAndDoubleClickRestoreAfterTheNotificationReturns) {
  for (UINT message : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK}) {
    SCOPED_TRACE(message);
    MinimiseToTray();
    Notify(message);
    // Posted, not run inside the shell's notification.
    EXPECT_FALSE(IsWindowVisible(window.hwnd));
    EXPECT_TRUE(TrayIconPresent(window.hwnd));
    PumpMessages();
    ExpectRestored();
  }
}

TEST_F(TrayTest, OtherMouseMessagesDoNothing) {
  MinimiseToTray();
  for (UINT message : {WM_MOUSEMOVE, WM_LBUTTONUP, WM_RBUTTONUP, WM_RBUTTONDBLCLK,
                       WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK}) {
    SCOPED_TRACE(message);
    MenuWatcher watcher;
    Notify(message);
    PumpMessages();
    EXPECT_FALSE(watcher.seen);
    EXPECT_FALSE(IsWindowVisible(window.hwnd));
    EXPECT_TRUE(TrayIconPresent(window.hwnd));
  }
}

TEST_F(TrayTest, RestoreCommandShowsTheWindowAndRemovesTheIcon) {
  MinimiseToTray();
  SendCommand(window.hwnd, ID_RESTORE_WINDOW, 0);
  ExpectRestored();
  // A second restore finds no icon and only shows the window again.
  ShowWindow(window.hwnd, SW_HIDE);
  SendCommand(window.hwnd, ID_RESTORE_WINDOW, 0);
  ExpectRestored();
}

TEST_F(TrayTest, MinimisingAgainAfterARestoreThatKeptTheIconKeepsOneIcon) {
  MinimiseToTray();
  ShowWindow(window.hwnd, SW_RESTORE);  // as the alarm brings the window back
  EXPECT_TRUE(IsWindowVisible(window.hwnd));
  EXPECT_TRUE(TrayIconPresent(window.hwnd));
  ShowWindow(window.hwnd, SW_MINIMIZE);
  EXPECT_FALSE(IsWindowVisible(window.hwnd));
  EXPECT_TRUE(TrayIconPresent(window.hwnd));
  window.DeleteTrayIcon();
  EXPECT_FALSE(TrayIconPresent(window.hwnd));
}

TEST_F(TrayTest, RightPressOpensTheTrayMenuAtTheCursor) {
  MinimiseToTray();
  SetCursorPos(200, 150);
  POINT cursor{};
  GetCursorPos(&cursor);
  MenuWatcher watcher;
  Notify(WM_RBUTTONDOWN);
  ASSERT_TRUE(watcher.seen);
  EXPECT_EQ(watcher.rect.left, cursor.x);
  EXPECT_EQ(watcher.rect.top, cursor.y);
  ASSERT_EQ(watcher.ids.size(), 3u);
  EXPECT_EQ(watcher.ids[0], static_cast<UINT>(ID_HOME_PAGE));
  EXPECT_EQ(watcher.ids[2], static_cast<UINT>(ID_RESTORE_WINDOW));
  EXPECT_EQ(watcher.texts[2], L"还原窗口");
  // The loaded menu is destroyed once the menu has closed.
  EXPECT_FALSE(IsMenu(watcher.popup));
  PumpMessages();
  EXPECT_FALSE(IsWindowVisible(window.hwnd));
  EXPECT_TRUE(TrayIconPresent(window.hwnd));
}

TEST_F(TrayTest, ChoosingRestoreInTheMenuRestoresTheWindow) {
  MinimiseToTray();
  MenuWatcher watcher({VK_UP, VK_RETURN});  // up from nothing selects the last item
  Notify(WM_RBUTTONDOWN);
  ASSERT_TRUE(watcher.seen);
  PumpMessages();
  ExpectRestored();
}

// The window's WM_DESTROY is the last moment at which the icon can still be
// asked about: the system drops the icons of a destroyed window by itself.
HWND g_closing = nullptr;
int g_iconAtDestroy = -1;

LRESULT CALLBACK WatchDestroy(int code, WPARAM wParam, LPARAM lParam) {
  auto* message = reinterpret_cast<CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && message->hwnd == g_closing && message->message == WM_DESTROY) {
    g_iconAtDestroy = TrayIconPresent(g_closing) ? 1 : 0;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(TrayTest, ClosingRemovesTheIcon) {
  MinimiseToTray();
  ShowWindow(window.hwnd, SW_RESTORE);  // the alarm's restore leaves the icon
  ASSERT_TRUE(TrayIconPresent(window.hwnd));
  g_closing = window.hwnd;
  g_iconAtDestroy = -1;
  HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, WatchDestroy, nullptr, GetCurrentThreadId());
  SendCommand(window.hwnd, IDCANCEL, 0);
  UnhookWindowsHookEx(hook);
  EXPECT_EQ(g_iconAtDestroy, 0);
  EXPECT_EQ(window.hwnd, nullptr);
  MSG quit;
  EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST(TrayMenu, ResourceHoldsHomePageSeparatorAndRestore) {
  HMENU menu = LoadMenuA(g_module.instance(), MAKEINTRESOURCEA(IDR_TRAY_MENU));
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 1);
  HMENU popup = GetSubMenu(menu, 0);
  ASSERT_NE(popup, nullptr);
  ASSERT_EQ(GetMenuItemCount(popup), 3);
  struct Item {
    UINT id;
    const wchar_t* text;
    bool separator;
  } items[] = {
      {ID_HOME_PAGE, L"Quellton", false},
      {0, L"", true},
      {ID_RESTORE_WINDOW, L"还原窗口", false},
  };
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU;
    ASSERT_TRUE(GetMenuItemInfoW(popup, i, TRUE, &info));
    EXPECT_EQ((info.fType & MFT_SEPARATOR) != 0, items[i].separator);
    EXPECT_EQ(info.hSubMenu, nullptr);
    if (items[i].separator) continue;  // separators are always greyed
    EXPECT_EQ(info.fState & (MFS_CHECKED | MFS_GRAYED | MFS_DEFAULT), 0u);
    EXPECT_EQ(info.wID, items[i].id);
    wchar_t text[64] = {};
    GetMenuStringW(popup, i, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, items[i].text);
  }
  DestroyMenu(menu);
}

}  // namespace
